// Speed of the generator's index draw beside the standard library's MT19937
// with the same scaling, and of filling and visiting a large destination table.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "random/mersenne_twister.h"
#include "rotate/replacement_table.h"

namespace {

constexpr int64_t kDraws = 10000000;
constexpr int kListSize = 7;
constexpr int kDestinations = 100000;

void BM_RandomIndex(benchmark::State& state) {
  MersenneTwister generator;
  generator.Seed(5489);
  for (auto _ : state) {
    int sum = 0;
    for (int64_t i = 0; i < kDraws; ++i) {
      sum += generator.RandomIndex(kListSize);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.counters["draws/s"] = benchmark::Counter(static_cast<double>(kDraws),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_RandomIndex)->Unit(benchmark::kMillisecond);

void BM_StdMt19937SameScaling(benchmark::State& state) {
  std::mt19937 generator(5489);
  for (auto _ : state) {
    int sum = 0;
    for (int64_t i = 0; i < kDraws; ++i) {
      sum += MersenneTwister::ScaleWord(static_cast<uint32_t>(generator()), kListSize);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.counters["draws/s"] = benchmark::Counter(static_cast<double>(kDraws),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_StdMt19937SameScaling)->Unit(benchmark::kMillisecond);

void BM_TableFillAndVisit(benchmark::State& state) {
  std::vector<std::string> names;
  names.reserve(kDestinations);
  for (int i = 0; i < kDestinations; ++i) {
    names.push_back("C:\\game\\music\\track" + std::to_string(i) + ".ogg");
  }
  for (auto _ : state) {
    ReplacementTable table;
    for (const std::string& name : names) {
      table.AddSource(name, "pool\\source.ogg");
    }
    size_t visited = 0;
    table.ForEach([&visited](const std::string&, const std::vector<std::string>& sources) {
      visited += sources.size();
    });
    benchmark::DoNotOptimize(visited);
  }
  state.counters["destinations"] = kDestinations;
}
BENCHMARK(BM_TableFillAndVisit)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
