// Readout costs beside baselines in the same run: Get_DataPoint against loads of the same ring
// positions from precomputed indices, and run reads against a strided gather of the same samples.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "QX470USB.h"
#include "context.h"

namespace {

constexpr int kSamples = 4096;

// All four channels at 100 kS/s, 63 complete blocks: everything below is readable.
void prepare() {
  for (int c = 0; c < 4; ++c) Set_Sample_Rate(c, 100);
  qx::blocks_transferred.store(63);
  for (int b = 0; b < 64; ++b)
    for (uint32_t i = 0; i < qx::kBlockBytes; ++i)
      qx::block_ring[b][i] = static_cast<uint8_t>(b + i);
}

struct Request {
  int32_t channel;
  uint32_t sample;
};

std::vector<Request> random_requests() {
  std::mt19937 rng(1);
  std::vector<Request> r(kSamples);
  for (auto &q : r)
    q = {static_cast<int32_t>(rng() % 4), static_cast<uint32_t>(rng() % (63 * 4096))};
  return r;
}

void BM_GetDataPoint(benchmark::State &state) {
  prepare();
  const auto requests = random_requests();
  for (auto _ : state)
    for (const auto &q : requests) benchmark::DoNotOptimize(Get_DataPoint(q.channel, q.sample));
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_GetDataPoint);

void BM_BaselineIndexedLoad(benchmark::State &state) {
  prepare();
  const auto requests = random_requests();
  std::vector<uint32_t> offsets;
  for (const auto &q : requests) {
    const auto pos = qx::sample_position(qx::device_context.schedule, q.channel, q.sample);
    offsets.push_back((pos.block % 64) * qx::kBlockBytes + 2 * pos.word);
  }
  const uint8_t *ring = &qx::block_ring[0][0];
  for (auto _ : state)
    for (uint32_t off : offsets) benchmark::DoNotOptimize(ring[off] | ring[off + 1] << 8);
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_BaselineIndexedLoad);

// What the single read cannot do without: the mapping of the same requests alone, inlined.
void BM_SampleMappingAlone(benchmark::State &state) {
  prepare();
  const auto requests = random_requests();
  for (auto _ : state)
    for (const auto &q : requests)
      benchmark::DoNotOptimize(qx::sample_position(qx::device_context.schedule,
                                                   qx::schedule_divisions, q.channel, q.sample));
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_SampleMappingAlone);

void BM_GetDataSamples(benchmark::State &state) {
  prepare();
  std::vector<int32_t> out(kSamples);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Get_Data_Samples(out.data(), 0, 10000, kSamples));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_GetDataSamples);

void BM_GetTrigger(benchmark::State &state) {
  prepare();
  std::vector<int32_t> out(kSamples);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Get_Trigger(out.data(), 0, 10000, kSamples, 7, 0));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_GetTrigger);

void BM_BaselineStridedGather(benchmark::State &state) {
  prepare();
  std::vector<int32_t> out(kSamples);
  const auto start = qx::sample_position(qx::device_context.schedule, 0, 10000);
  for (auto _ : state) {
    // Channel 0 is every fourth word; the run crosses one block border.
    uint32_t block = start.block, word = start.word;
    for (int i = 0; i < kSamples; ++i) {
      const uint8_t *p = &qx::block_ring[block % 64][2 * word];
      out[static_cast<size_t>(i)] = p[0] | p[1] << 8;
      if ((word += 4) >= qx::kBlockWords) word -= qx::kBlockWords, ++block;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_BaselineStridedGather);

void BM_SetSampleRateLargestSchedule(benchmark::State &state) {
  Set_Sample_Rate(0, 100);
  Set_Sample_Rate(1, 100);
  Set_Sample_Rate(2, 100);
  for (auto _ : state) {
    Set_Sample_Rate(3, 1);  // 301 slots
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SetSampleRateLargestSchedule);

void BM_ScheduleBuildLargest(benchmark::State &state) {
  qx::Schedule s{};
  qx::ChannelScale scale{};
  s.rate_divisor[0] = s.rate_divisor[1] = s.rate_divisor[2] = 1;
  s.rate_divisor[3] = 100;  // 301 slots over 100 ticks
  for (auto _ : state) {
    qx::rebuild(s, scale);
    benchmark::DoNotOptimize(s.frame_length);
  }
}
BENCHMARK(BM_ScheduleBuildLargest);

}  // namespace

BENCHMARK_MAIN();
