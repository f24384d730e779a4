// The agent's own work per line, stage by stage, on the stand-in platform
// (which posts nothing): framing, character counting, decoding, handling.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "app/dispatch.h"
#include "app/framing.h"
#include "platform/standin.h"

namespace {

constexpr const char* kMixed[] = {
    R"({"type":"move","x":0.7048,"y":0.0983})",
    R"({"type":"move","x":0.4962,"y":0.5618})",
    R"({"type":"move","x":0.3740,"y":0.3904})",
    R"({"type":"key","code":"KeyA","down":true})",
    R"({"type":"key","code":"KeyA","down":false})",
    R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})",
    R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":false})",
    R"({"type":"wheel","delta":-120})",
};

std::string stream(size_t lines) {
  std::string text;
  for (size_t i = 0; i < lines; ++i) (text += kMixed[i % std::size(kMixed)]) += '\n';
  return text;
}

// Lines handed to the decoder need readable padding after them.
std::vector<std::string> padded_lines() {
  std::vector<std::string> lines;
  for (const char* line : kMixed) {
    std::string padded = std::string(line) + std::string(kLinePadding, ' ');
    lines.push_back(padded);
  }
  return lines;
}

void BM_Framing(benchmark::State& state) {
  std::string text = stream(10000);
  LineReader reader;
  for (auto _ : state) {
    std::string_view input = text;
    while (std::optional<std::string_view> line = next_line(reader, input)) {
      benchmark::DoNotOptimize(line->data());
    }
  }
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_Framing);

// Only lines longer than 1000 bytes are segmented into characters.
void BM_FramingLongLine(benchmark::State& state) {
  std::string line;
  for (int i = 0; i < 999; ++i) line += "e\xCC\x81";
  line += '\n';
  LineReader reader;
  for (auto _ : state) {
    std::string_view input = line;
    benchmark::DoNotOptimize(next_line(reader, input));
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * line.size());
}
BENCHMARK(BM_FramingLongLine);

void BM_Decode(benchmark::State& state) {
  std::vector<std::string> lines = padded_lines();
  size_t i = 0;
  for (auto _ : state) {
    std::string_view line(lines[i].data(), lines[i].size() - kLinePadding);
    Command command;
    benchmark::DoNotOptimize(decode_command(line, command));
    i = (i + 1) % lines.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Decode);

void BM_DecodeAndHandle(benchmark::State& state) {
  standin::configure({});
  std::vector<std::string> lines = padded_lines();
  size_t i = 0;
  for (auto _ : state) {
    dispatch_line(std::string_view(lines[i].data(), lines[i].size() - kLinePadding));
    i = (i + 1) % lines.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeAndHandle);

}  // namespace

BENCHMARK_MAIN();
