// Speed of loading a large master script and splitting its lines into fields,
// and the memory its loaded lines take beside the file's size.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "script/string_list.h"

namespace {

constexpr int kFileLines = 100000;

struct Script {
  std::filesystem::path path;
  uintmax_t bytes = 0;
};

Script g_script;

// One line of a realistic script: mostly file entries with a quoted pool
// name, now and then an interval, a comment, a blank or an indented line.
std::string ScriptLine(int i) {
  char number[16];
  std::snprintf(number, sizeof number, "%04d", i % 10000);
  switch (i % 20) {
    case 0:
      return "// titles from " + std::string(number);
    case 7:
      return "";
    case 13:
      return "SetInterval, " + std::to_string(30 + i % 90);
    case 17:
      return "    AddFile, bgm\\loop_" + std::string(number) + ".ogg, bgm\\alt_" + number + ".ogg";
    default:
      return "AddFile, music\\title_" + std::string(number) + ".ogg, \"pool\\a, b_" + number +
             ".ogg\"";
  }
}

bool WriteScript(Script& script) {
  std::string unique =
      std::to_string(std::filesystem::file_time_type::clock::now().time_since_epoch().count());
  script.path = std::filesystem::temp_directory_path() / ("kelvo_script_bench_" + unique + ".txt");
  std::ofstream out(script.path, std::ios::binary);
  for (int i = 0; i < kFileLines; ++i) out << ScriptLine(i) << '\n';
  out.close();
  if (!out) return false;
  script.bytes = std::filesystem::file_size(script.path);
  return true;
}

void SplitAll(const StringList& lines, StringList& fields) {
  for (unsigned i = 0; i < lines.GetCount(); ++i) {
    fields.Split(lines.GetValue(i).c_str(), ",", true, false, true);
    benchmark::DoNotOptimize(fields.GetCount());
  }
}

void BM_LoadFile(benchmark::State& state) {
  const std::string path = g_script.path.string();
  StringList lines;
  for (auto _ : state) {
    lines.LoadFile(path.c_str(), true);
    benchmark::DoNotOptimize(lines.GetCount());
  }
  state.SetItemsProcessed(state.iterations() * kFileLines);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(g_script.bytes));
}

// The split of every loaded line into one reused list of fields.
void BM_SplitLines(benchmark::State& state) {
  StringList lines;
  lines.LoadFile(g_script.path.string().c_str(), true);
  StringList fields;
  for (auto _ : state) SplitAll(lines, fields);
  state.SetItemsProcessed(state.iterations() * lines.GetCount());
}

// As the script reader does it: a fresh list of fields for every line.
void BM_SplitLinesFreshList(benchmark::State& state) {
  StringList lines;
  lines.LoadFile(g_script.path.string().c_str(), true);
  for (auto _ : state) {
    for (unsigned i = 0; i < lines.GetCount(); ++i) {
      StringList fields;
      fields.Split(lines.GetValue(i).c_str(), ",", true, false, true);
      benchmark::DoNotOptimize(fields.GetCount());
    }
  }
  state.SetItemsProcessed(state.iterations() * lines.GetCount());
}

// Loading and splitting, counted in lines of the file.
void BM_LoadAndSplit(benchmark::State& state) {
  const std::string path = g_script.path.string();
  for (auto _ : state) {
    StringList lines;
    lines.LoadFile(path.c_str(), true);
    for (unsigned i = 0; i < lines.GetCount(); ++i) {
      StringList fields;
      fields.Split(lines.GetValue(i).c_str(), ",", true, false, true);
      benchmark::DoNotOptimize(fields.GetCount());
    }
  }
  state.SetItemsProcessed(state.iterations() * kFileLines);
}

// Heap block that a typical malloc hands out for a request: an 8-byte header,
// 16-byte granularity, 32 bytes at least.
uint64_t HeapBlock(uint64_t request) {
  const uint64_t block = (request + 8 + 15) / 16 * 16;
  return block < 32 ? 32 : block;
}

// Memory of the loaded lines against the file's size: the container's blocks
// of string objects (512 bytes each in libstdc++'s deque) and its table of
// blocks, and each line's text where it does not fit inside its string object.
void BM_LoadedLinesMemory(benchmark::State& state) {
  StringList lines;
  for (auto _ : state) lines.LoadFile(g_script.path.string().c_str(), true);
  uint64_t texts = 0;
  for (unsigned i = 0; i < lines.GetCount(); ++i) {
    const std::string& line = lines.GetValue(i);
    const char* object = reinterpret_cast<const char*>(&line);
    const bool inside = line.data() >= object && line.data() < object + sizeof line;
    if (!inside) texts += HeapBlock(line.capacity() + 1);
  }
  const uint64_t perBlock = 512 / sizeof(std::string);
  const uint64_t blocks = (lines.GetCount() + perBlock - 1) / perBlock;
  const uint64_t container = blocks * HeapBlock(512) + HeapBlock((blocks + 2) * sizeof(void*));
  const double total = static_cast<double>(texts + container);
  state.counters["file_bytes"] = static_cast<double>(g_script.bytes);
  state.counters["lines_kept"] = lines.GetCount();
  state.counters["memory_bytes"] = total;
  state.counters["memory_per_file_byte"] = total / static_cast<double>(g_script.bytes);
}

BENCHMARK(BM_LoadFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplitLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplitLinesFreshList)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAndSplit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadedLinesMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!WriteScript(g_script)) {
    std::fprintf(stderr, "cannot write the benchmark script\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove(g_script.path, ignored);
  return 0;
}
