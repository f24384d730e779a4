#include "desktop_commands.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <iterator>
#include <utility>

std::string key(std::string_view code, bool down) {
  return std::string(R"({"type":"key","code":")") + std::string(code) + R"(","down":)" +
         (down ? "true" : "false") + "}\n";
}

std::string move(double x, double y) {
  return R"({"type":"move","x":)" + std::to_string(x) + R"(,"y":)" + std::to_string(y) + "}\n";
}

std::string button(double x, double y, int index, bool down) {
  return R"({"type":"button","x":)" + std::to_string(x) + R"(,"y":)" + std::to_string(y) +
         R"(,"button":)" + std::to_string(index) + R"(,"down":)" + (down ? "true" : "false") +
         "}\n";
}

std::string movement(double dx, double dy) {
  return R"({"type":"move","movementX":)" + std::to_string(dx) + R"(,"movementY":)" +
         std::to_string(dy) + "}\n";
}

std::string movement_alone(std::string_view name, std::string_view value) {
  return R"({"type":"move",")" + std::string(name) + R"(":)" + std::string(value) + "}\n";
}

std::string repeated(const std::string& commands, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += commands;
  return all;
}

// The command with a display member put before its closing brace.
static std::string on(std::string_view display, std::string command) {
  return command.insert(command.size() - 2, R"(,"display":")" + std::string(display) + "\"");
}

std::string move_on(std::string_view display, double x, double y) {
  return on(display, move(x, y));
}

std::string button_on(std::string_view display, double x, double y, int index, bool down) {
  return on(display, button(x, y, index, down));
}

std::string wheel(double delta) {
  return R"({"type":"wheel","delta":)" + std::to_string(delta) + "}\n";
}

std::string wheel(double delta, double delta_x) {
  return R"({"type":"wheel","delta":)" + std::to_string(delta) + R"(,"deltaX":)" +
         std::to_string(delta_x) + "}\n";
}

std::string sideways(double delta_x) {
  return R"({"type":"wheel","deltaX":)" + std::to_string(delta_x) + "}\n";
}

std::string sideways_wheel_script() {
  return sideways(-100) + sideways(250) + sideways(60) + wheel(100, -100);
}

std::string text(std::string_view characters) {
  std::string escaped;
  for (char c : characters) escaped += c == '\n' ? "\\n" : c == '\t' ? "\\t" : std::string(1, c);
  return R"({"type":"text","text":")" + escaped + "\"}\n";
}

std::string release() {
  return R"({"type":"release"})"
         "\n";
}

namespace {

// The lines of `seen` that start with `prefix`, each as `kept` has it and
// followed by the label of the expected line at the same place (its text
// from `separator` on), so that a wrong line shows what it stood for.
Seen labelled(const Seen& seen, const Seen& expected, std::string_view prefix,
              std::string (*kept)(const std::string&), std::string_view separator) {
  Seen out;
  size_t next = 0;
  for (const std::string& line : seen) {
    if (!line.starts_with(prefix)) continue;
    std::string label = next < expected.size()
                            ? expected[next].substr(expected[next].find(separator))
                            : std::string(separator) + "(extra)";
    out.push_back(kept(line) + label);
    ++next;
  }
  return out;
}

std::string whole(const std::string& line) {
  return line;
}

// "key down Shift_L with shift" has the keysym "Shift_L".
std::string keysym(const std::string& line) {
  constexpr size_t kStart = sizeof "key down " - 1;
  return line.substr(kStart, line.find(' ', kStart) - kStart);
}

}  // namespace

Script modifier_pairs() {
  struct Modifier {
    const char* code;
    const char* word;
  } modifiers[] = {
      {"ShiftLeft", "shift"},      {"ShiftRight", "shift"}, {"ControlLeft", "control"},
      {"ControlRight", "control"}, {"AltLeft", "mod1"},     {"AltRight", "mod1"},
      {"MetaLeft", "mod4"},        {"MetaRight", "mod4"},
  };
  Script script;
  for (size_t i = 0; i < std::size(modifiers); ++i) {
    for (size_t j = i + 1; j < std::size(modifiers); ++j) {
      script.commands += key(modifiers[i].code, true) + key(modifiers[j].code, true) +
                         key("KeyA", true) + key("KeyA", false) + key(modifiers[j].code, false) +
                         key(modifiers[i].code, false);
      std::string first = modifiers[i].word, second = modifiers[j].word;
      std::string both = first == second ? first : first + "+" + second;
      script.expected.push_back("key down a with " + both + " (" + modifiers[i].code + "+" +
                                modifiers[j].code + ")");
    }
  }
  return script;
}

Seen pair_presses(const Seen& seen, const Script& script) {
  return labelled(seen, script.expected, "key down a", whole, " (");
}

Script every_key() {
  static const std::pair<const char*, const char*> kUsKeysyms[] = {
      {"KeyA", "a"},
      {"KeyB", "b"},
      {"KeyC", "c"},
      {"KeyD", "d"},
      {"KeyE", "e"},
      {"KeyF", "f"},
      {"KeyG", "g"},
      {"KeyH", "h"},
      {"KeyI", "i"},
      {"KeyJ", "j"},
      {"KeyK", "k"},
      {"KeyL", "l"},
      {"KeyM", "m"},
      {"KeyN", "n"},
      {"KeyO", "o"},
      {"KeyP", "p"},
      {"KeyQ", "q"},
      {"KeyR", "r"},
      {"KeyS", "s"},
      {"KeyT", "t"},
      {"KeyU", "u"},
      {"KeyV", "v"},
      {"KeyW", "w"},
      {"KeyX", "x"},
      {"KeyY", "y"},
      {"KeyZ", "z"},
      {"Digit0", "0"},
      {"Digit1", "1"},
      {"Digit2", "2"},
      {"Digit3", "3"},
      {"Digit4", "4"},
      {"Digit5", "5"},
      {"Digit6", "6"},
      {"Digit7", "7"},
      {"Digit8", "8"},
      {"Digit9", "9"},
      {"Minus", "minus"},
      {"Equal", "equal"},
      {"BracketLeft", "bracketleft"},
      {"BracketRight", "bracketright"},
      {"Backslash", "backslash"},
      {"Semicolon", "semicolon"},
      {"Quote", "apostrophe"},
      {"Backquote", "grave"},
      {"Comma", "comma"},
      {"Period", "period"},
      {"Slash", "slash"},
      {"Enter", "Return"},
      {"Tab", "Tab"},
      {"Space", "space"},
      {"Backspace", "BackSpace"},
      {"Escape", "Escape"},
      {"ShiftLeft", "Shift_L"},
      {"ShiftRight", "Shift_R"},
      {"ControlLeft", "Control_L"},
      {"ControlRight", "Control_R"},
      {"AltLeft", "Alt_L"},
      {"AltRight", "Alt_R"},
      {"MetaLeft", "Super_L"},
      {"MetaRight", "Super_R"},
      {"F1", "F1"},
      {"F2", "F2"},
      {"F3", "F3"},
      {"F4", "F4"},
      {"F5", "F5"},
      {"F6", "F6"},
      {"F7", "F7"},
      {"F8", "F8"},
      {"F9", "F9"},
      {"F10", "F10"},
      {"F11", "F11"},
      {"F12", "F12"},
      {"Insert", "Insert"},
      {"Delete", "Delete"},
      {"Home", "Home"},
      {"End", "End"},
      {"PageUp", "Prior"},
      {"PageDown", "Next"},
      {"ArrowLeft", "Left"},
      {"ArrowRight", "Right"},
      {"ArrowUp", "Up"},
      {"ArrowDown", "Down"},
      {"CapsLock", "Caps_Lock"},
  };
  static_assert(std::size(kUsKeysyms) == 83);
  Script script;
  for (const auto& [code, keysym] : kUsKeysyms) {
    int times = std::string_view(code) == "CapsLock" ? 2 : 1;
    for (int i = 0; i < times; ++i) {
      script.commands += key(code, true) + key(code, false);
      script.expected.push_back(std::string(keysym) + " " + code);
    }
  }
  return script;
}

Seen landed_keys(const Seen& seen, const Script& script) {
  return labelled(seen, script.expected, "key down ", keysym, " ");
}

namespace {

std::string typed(std::string_view code) {
  return key(code, true) + key(code, false);
}

std::string evdev(int code, int value) {
  return "KEY " + std::to_string(code) + " " + std::to_string(value);
}

}  // namespace

std::vector<RepeatCase> repeat_cases() {
  const std::string a = typed("KeyA");
  const Seen plain_a{"key down a", "key up a"};
  const Seen evdev_a{evdev(KEY_A, 1), evdev(KEY_A, 0)};
  auto with = [](Seen first, const Seen& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
  };
  return {
      // Longer than any system's delay before it repeats a held key.
      {"a key held down for 1.3 s", key("KeyA", true), std::chrono::milliseconds(1300),
       key("KeyA", false), plain_a, evdev_a},
      {"a key down three times, then up",
       key("KeyA", true) + key("KeyA", true) + key("KeyA", true) + key("KeyA", false),
       {},
       "",
       with(with(plain_a, plain_a), plain_a),
       with(with(evdev_a, evdev_a), evdev_a)},
      {"Shift down twice, then up",
       key("ShiftLeft", true) + key("ShiftLeft", true) + key("ShiftLeft", false) + a,
       {},
       "",
       with({"key down Shift_L", "key up Shift_L with shift"}, plain_a),
       with({evdev(KEY_LEFTSHIFT, 1), evdev(KEY_LEFTSHIFT, 0)}, evdev_a)},
      {"Control down three times, then up",
       key("ControlLeft", true) + key("ControlLeft", true) + key("ControlLeft", true) +
           key("ControlLeft", false) + a,
       {},
       "",
       with({"key down Control_L", "key up Control_L with control"}, plain_a),
       with({evdev(KEY_LEFTCTRL, 1), evdev(KEY_LEFTCTRL, 0)}, evdev_a)},
      {"Shift down twice, then a release",
       key("ShiftLeft", true) + key("ShiftLeft", true) + release() + a,
       {},
       "",
       with({"key down Shift_L", "key up Shift_L with shift"}, plain_a),
       with({evdev(KEY_LEFTSHIFT, 1), evdev(KEY_LEFTSHIFT, 0)}, evdev_a)},
      // Held down, Caps Lock locks once; pressed again, it unlocks.
      {"Caps Lock down twice, up, A, then Caps Lock pressed again",
       key("CapsLock", true) + key("CapsLock", true) + key("CapsLock", false) + a +
           typed("CapsLock") + a,
       {},
       "",
       with({"key down Caps_Lock", "key up Caps_Lock with lock", "key down a with lock",
             "key up a with lock", "key down Caps_Lock with lock", "key up Caps_Lock with lock"},
            plain_a),
       with(with({evdev(KEY_CAPSLOCK, 1), evdev(KEY_CAPSLOCK, 0)}, evdev_a),
            with({evdev(KEY_CAPSLOCK, 1), evdev(KEY_CAPSLOCK, 0)}, evdev_a))},
  };
}

Seen starting_with(const Seen& seen, std::string_view prefix) {
  Seen kept;
  for (const std::string& line : seen) {
    if (line.starts_with(prefix)) kept.push_back(line);
  }
  return kept;
}

std::string differences(const Seen& got, const Seen& expected) {
  std::string text;
  for (size_t i = 0; i < std::max(got.size(), expected.size()); ++i) {
    std::string one = i < got.size() ? got[i] : "(nothing)";
    std::string other = i < expected.size() ? expected[i] : "(nothing)";
    if (one != other) text += "\n  " + std::to_string(i) + ": " + one + ", expected " + other;
  }
  return text;
}
