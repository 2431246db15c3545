// Speed of loading a large master script and splitting its lines into fields,
// and the heap its loaded lines take beside the file's size.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "script/string_list.h"

// Heap accounting for the memory benchmarks: every operator new of this
// program is counted in the heap block that a typical malloc hands out for
// it, so a benchmark can read what a piece of code holds and the most it held.
namespace {

std::atomic<uint64_t> g_heapLive{0};
std::atomic<uint64_t> g_heapPeak{0};

// Room before each block for its size; 16 keeps new's alignment.
constexpr size_t kSizeHeader = 16;

// Heap block that a typical malloc hands out for a request: an 8-byte header,
// 16-byte granularity, 32 bytes at least.
uint64_t HeapBlock(uint64_t request) {
  const uint64_t block = (request + 8 + 15) / 16 * 16;
  return block < 32 ? 32 : block;
}

void* CountedAllocate(size_t size) {
  char* block = static_cast<char*>(std::malloc(size + kSizeHeader));
  if (block == nullptr) throw std::bad_alloc();
  std::memcpy(block, &size, sizeof size);
  const uint64_t live = g_heapLive.fetch_add(HeapBlock(size)) + HeapBlock(size);
  uint64_t peak = g_heapPeak.load();
  while (live > peak && !g_heapPeak.compare_exchange_weak(peak, live)) {
  }
  return block + kSizeHeader;
}

void CountedFree(void* pointer) {
  if (pointer == nullptr) return;
  char* block = static_cast<char*>(pointer) - kSizeHeader;
  size_t size = 0;
  std::memcpy(&size, block, sizeof size);
  g_heapLive.fetch_sub(HeapBlock(size));
  std::free(block);
}

}  // namespace

void* operator new(size_t size) { return CountedAllocate(size); }
void* operator new[](size_t size) { return CountedAllocate(size); }
void operator delete(void* pointer) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer) noexcept { CountedFree(pointer); }
void operator delete(void* pointer, size_t) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer, size_t) noexcept { CountedFree(pointer); }

namespace {

constexpr int kFileLines = 100000;

struct Script {
  std::filesystem::path path;
  uintmax_t bytes = 0;
};

// The realistic script that the speed benchmarks read, and two of short
// lines only, where the cost of each entry beside its text shows most.
enum ScriptKind { kRealistic, kShortLines, kOneByteLines, kScriptKinds };

Script g_scripts[kScriptKinds];
const Script& g_script = g_scripts[kRealistic];

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

// A line of exactly 22 bytes.
std::string ShortLine(int i) {
  char line[32];
  std::snprintf(line, sizeof line, "AddFile, x%04d, y%05d", i % 10000, i % 100000);
  return line;
}

std::string LineOf(ScriptKind kind, int i) {
  switch (kind) {
    case kShortLines:
      return ShortLine(i);
    case kOneByteLines:
      return std::string(1, static_cast<char>('a' + i % 26));
    default:
      return ScriptLine(i);
  }
}

bool WriteScript(ScriptKind kind, Script& script) {
  std::string unique =
      std::to_string(std::filesystem::file_time_type::clock::now().time_since_epoch().count());
  script.path = std::filesystem::temp_directory_path() /
                ("kelvo_script_bench_" + std::to_string(kind) + "_" + unique + ".txt");
  std::ofstream out(script.path, std::ios::binary);
  for (int i = 0; i < kFileLines; ++i) out << LineOf(kind, i) << '\n';
  out.close();
  if (!out) return false;
  script.bytes = std::filesystem::file_size(script.path);
  return true;
}

void SplitAll(const StringList& lines, StringList& fields) {
  for (unsigned i = 0; i < lines.GetCount(); ++i) {
    fields.Split(lines.GetValue(i).data(), ",", true, false, true);
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

// The scan that tells how a script is read, which a run makes once more
// before it loads the script: its cost against BM_LoadFile's.
void BM_ReadingOfFile(benchmark::State& state) {
  const std::string path = g_script.path.string();
  for (auto _ : state) benchmark::DoNotOptimize(ReadingOfFile(path.c_str()));
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
      fields.Split(lines.GetValue(i).data(), ",", true, false, true);
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
      fields.Split(lines.GetValue(i).data(), ",", true, false, true);
      benchmark::DoNotOptimize(fields.GetCount());
    }
  }
  state.SetItemsProcessed(state.iterations() * kFileLines);
}

// Heap that the loaded lines hold against the file's size, and the most that
// loading held at any time. Argument: the ScriptKind.
void BM_LoadedLinesMemory(benchmark::State& state) {
  const Script& script = g_scripts[state.range(0)];
  const std::string path = script.path.string();
  uint64_t held = 0;
  uint64_t peak = 0;
  unsigned count = 0;
  for (auto _ : state) {
    const uint64_t before = g_heapLive.load();
    g_heapPeak.store(before);
    StringList lines;
    lines.LoadFile(path.c_str(), true);
    held = g_heapLive.load() - before;
    peak = g_heapPeak.load() - before;
    count = lines.GetCount();
  }
  const double fileBytes = static_cast<double>(script.bytes);
  state.counters["file_bytes"] = fileBytes;
  state.counters["lines_kept"] = count;
  state.counters["memory_bytes"] = static_cast<double>(held);
  state.counters["memory_per_file_byte"] = static_cast<double>(held) / fileBytes;
  state.counters["peak_per_file_byte"] = static_cast<double>(peak) / fileBytes;
}

BENCHMARK(BM_LoadFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadingOfFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplitLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplitLinesFreshList)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAndSplit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadedLinesMemory)
    ->ArgName("script")
    ->Arg(kRealistic)
    ->Arg(kShortLines)
    ->Arg(kOneByteLines)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bool written = true;
  for (int kind = 0; kind < kScriptKinds; ++kind) {
    written = written && WriteScript(static_cast<ScriptKind>(kind), g_scripts[kind]);
  }
  if (written) {
    benchmark::RunSpecifiedBenchmarks();
  } else {
    std::fprintf(stderr, "cannot write the benchmark scripts\n");
  }
  benchmark::Shutdown();
  std::error_code ignored;
  for (const Script& script : g_scripts) std::filesystem::remove(script.path, ignored);
  return written ? 0 : 1;
}
