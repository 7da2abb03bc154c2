// The acquisition path unpaced over the simulator: bytes per second from the bridge into the
// ring, beside a plain memcpy of the same volume into the same ring.
#include <benchmark/benchmark.h>

#include <cstring>
#include <thread>
#include <vector>

#include "QX470USB.h"
#include "context.h"
#include "qxsim.h"

namespace {

constexpr uint32_t kBlocksPerIteration = 64;

void BM_AcquisitionUnpaced(benchmark::State &state) {
  qxsim_reset();
  qxsim_set_speed(0);
  qxsim_set_signal(1);
  for (int c = 0; c < 4; ++c) Set_Sample_Rate(c, 100);
  if (Start_Acquisition(0) != 1) return state.SkipWithError("start failed");
  while (Get_Blocks_Transferred() == 0) std::this_thread::yield();
  for (auto _ : state) {
    const uint32_t start = Get_Blocks_Transferred();
    while (Get_Blocks_Transferred() - start < kBlocksPerIteration) std::this_thread::yield();
  }
  Stop_Acquisition();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlocksPerIteration *
                          qx::kBlockBytes);
}
BENCHMARK(BM_AcquisitionUnpaced)->UseRealTime();

void BM_BaselineMemcpyIntoRing(benchmark::State &state) {
  std::vector<uint8_t> source(qx::kBlockBytes, 0x5A);
  uint32_t block = 0;
  for (auto _ : state) {
    for (uint32_t i = 0; i < kBlocksPerIteration; ++i, ++block)
      std::memcpy(qx::block_ring[block % 64], source.data(), qx::kBlockBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlocksPerIteration *
                          qx::kBlockBytes);
}
BENCHMARK(BM_BaselineMemcpyIntoRing)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
