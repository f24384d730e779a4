// Writes a command stream for the benchmarks to standard output:
//   make_commands moves|keys|mixed|text COUNT
// Moves visit ever-changing points; keys are down/up pairs of the letters;
// mixed is mostly moves, with key pairs, clicks and wheel turns among them;
// text commands type kTextLength characters each, from an alphabet of
// letters, a space and characters no US key types (é € ł ß 😀).
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void move(long i) {
  printf("{\"type\":\"move\",\"x\":%.4f,\"y\":%.4f}\n", (i * 7919 % 10007) / 10007.0,
         (i * 104729 % 10009) / 10009.0);
}

void key(long i, bool down) {
  printf("{\"type\":\"key\",\"code\":\"Key%c\",\"down\":%s}\n", static_cast<char>('A' + i % 26),
         down ? "true" : "false");
}

void click(long i, bool down) {
  printf("{\"type\":\"button\",\"x\":0.5,\"y\":0.5,\"button\":%ld,\"down\":%s}\n", i % 3,
         down ? "true" : "false");
}

constexpr int kTextLength = 40;
constexpr const char* kAlphabet[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k",
                                     "l", "m", "n", "o", "p", "q", "r", "s", "t", "u", "v",
                                     "w", "x", "y", "z", " ", "é", "€", "ł", "ß", "😀"};

void text(long i) {
  printf("{\"type\":\"text\",\"text\":\"");
  for (long j = 0; j < kTextLength; ++j) printf("%s", kAlphabet[(i * 7 + j * 5) % 32]);
  printf("\"}\n");
}

void wheel(long i) {
  printf("{\"type\":\"wheel\",\"delta\":%d}\n", i % 2 ? 120 : -120);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: make_commands moves|keys|mixed|text COUNT\n");
    return 2;
  }
  // Every 20 mixed commands: 13 moves, two key presses with their releases, a
  // click (press and release) and a wheel turn.
  const char kMixed[] = "MMMMMMMMMMMMMKKKKCCW";
  const char* kind = argv[1];
  long count = atol(argv[2]);
  bool moves = strcmp(kind, "moves") == 0, keys = strcmp(kind, "keys") == 0;
  if (strcmp(kind, "text") == 0) {
    for (long i = 0; i < count; ++i) text(i);
    return 0;
  }
  for (long i = 0; i < count; ++i) {
    long slot = moves ? 0 : keys ? 13 + i % 2 : i % 20;
    long round = keys ? i / 2 : i / 20 * 2 + (slot - 13) / 2;
    switch (kMixed[slot]) {
      case 'M':
        move(i);
        break;
      case 'K':
        key(round, slot % 2 == 1);
        break;
      case 'C':
        click(i / 20, slot == 17);
        break;
      default:
        wheel(i / 20);
    }
  }
  return 0;
}
