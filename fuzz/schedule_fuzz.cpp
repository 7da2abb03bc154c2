// Rate-setting sequences of any channels and rates, then sample positions: the cycle-reduced
// mapping, its form with reciprocals and the incremental walk all equal the plain formula in
// 64-bit arithmetic.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "schedule.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qx::Schedule s{};
  qx::ChannelScale scale{};
  size_t i = 0;
  for (; i + 8 <= size && i < 8 * 16; i += 8) {
    int32_t channel, rate;
    std::memcpy(&channel, data + i, 4);
    std::memcpy(&rate, data + i + 4, 4);
    qx::set_rate(s, scale, channel, rate);
    if (s.frame_length > 301 || s.cycle_blocks > 301) std::abort();
  }
  for (; i + 5 <= size; i += 5) {
    const int c = data[i] % 4;
    uint32_t n;
    std::memcpy(&n, data + i + 1, 4);
    if (s.rate_divisor[c] == 0) continue;
    const auto slots = static_cast<uint64_t>(s.channel_slots[c]);
    const uint64_t word = n / slots * static_cast<uint64_t>(s.frame_length) +
                          static_cast<uint64_t>(s.slot_table[c][n % slots]);
    const auto pos = qx::sample_position(s, c, n);
    if (pos.block != word / 16384 || pos.word != word % 16384) std::abort();
    const auto fast = qx::sample_position(s, qx::divisions_of(s), c, n);
    if (fast.block != pos.block || fast.word != pos.word) std::abort();
    qx::PositionCursor cursor(s, c, n);
    for (uint32_t k = 0; k < 3; ++k, cursor.advance()) {
      const auto want = qx::sample_position(s, c, n + k);
      if (cursor.position().block != want.block || cursor.position().word != want.word)
        std::abort();
    }
  }
  return 0;
}
