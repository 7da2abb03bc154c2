// What the reader's clock map costs for each block it notes, beside reading the clocks it needs
// anyway (the baseline): at 800 kB/s a block arrives 24 times a second.
#include <benchmark/benchmark.h>

#include <chrono>

#include "clock_map.h"

namespace {

double steady() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
double utc() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void BM_BaselineReadTheClocks(benchmark::State &state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(steady());
    benchmark::DoNotOptimize(utc());
  }
}
BENCHMARK(BM_BaselineReadTheClocks);

void BM_ClockMapNote(benchmark::State &state) {
  qx470reader::ClockMap map;
  map.reset({100, 100, 100, 100});
  map.begin_segment(1, {0, 0, 0, 0}, steady(), utc() - steady());
  uint64_t end = 0;
  for (auto _ : state) {
    end += 4096;
    map.note(end, steady(), utc());
  }
  state.counters["pairs"] = static_cast<double>(map.pairs().size());
}
BENCHMARK(BM_ClockMapNote);

}  // namespace

BENCHMARK_MAIN();
