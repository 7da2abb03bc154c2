// The readout on arbitrary schedules, ring contents, counters, boundaries and arguments: every
// result is a status or the ring's bytes at the sample's place, runs agree with single reads, and
// nothing outside the tables or the caller's array is touched.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "context.h"
#include "readout.h"
#include "schedule.h"

namespace {

struct Input {
  const uint8_t *p;
  size_t n;
  template <class T>
  T take() {
    T v{};
    const size_t k = n < sizeof v ? n : sizeof v;
    std::memcpy(&v, p, k);
    p += k;
    n -= k;
    return v;
  }
};

// The plain definition: relative block and word by the 64-bit formula, then the window.
int32_t expected_point(int32_t c, uint32_t n) {
  const qx::Schedule &s = qx::device_context.schedule;
  const uint32_t count = qx::blocks_transferred.load();
  if (count == 0) return -1;
  if (c < 0 || c > 3 || s.rate_divisor[c] == 0) return -2;
  const auto slots = static_cast<uint64_t>(s.channel_slots[c]);
  const uint64_t word = n / slots * static_cast<uint64_t>(s.frame_length) +
                        static_cast<uint64_t>(s.slot_table[c][n % slots]);
  const uint64_t block = word / 16384;
  const uint32_t done = count - s.boundary_block;
  if (block >= done) return -3;
  if (done - block > 63) return -4;
  const uint8_t *b = &qx::block_ring[block % 64][2 * (word % 16384)];
  return b[0] | b[1] << 8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in{data, size};
  qx::Schedule built = qx::device_context.schedule;
  qx::ChannelScale scale;
  std::memcpy(scale, qx::channel_scale, sizeof scale);
  const int rate_calls = in.take<uint8_t>() % 8;
  for (int i = 0; i < rate_calls; ++i) {
    const auto channel = in.take<int32_t>();
    const auto rate = in.take<int32_t>();
    qx::set_rate(built, scale, channel, rate);
  }
  qx::set_boundary(built, in.take<int16_t>());
  qx::publish_schedule(built, scale);
  qx::blocks_transferred.store(in.take<uint32_t>());
  const auto seed = in.take<uint32_t>();
  for (int b = 0; b < 64; ++b)
    std::memset(qx::block_ring[b], static_cast<int>((seed + static_cast<uint32_t>(b) * 37) & 0xFF),
                64);
  qx::block_ring[seed % 64][seed % qx::kBlockBytes] = static_cast<uint8_t>(seed >> 8);

  while (in.n > 0) {
    const auto channel = in.take<int32_t>() % 6 - 1;
    const auto first = in.take<uint32_t>();
    const auto count = static_cast<int32_t>(in.take<int16_t>()) % 600;
    const auto type = static_cast<int32_t>(in.take<int8_t>());
    const auto level = in.take<int32_t>();
    const int32_t v = qx::get_data_point(channel, first);
    if (v != expected_point(channel, first)) std::abort();
    std::vector<int32_t> out(count > 0 ? static_cast<size_t>(count) : 0, -99);
    int32_t *array = out.empty() ? nullptr : out.data();
    const int32_t got = qx::get_data_samples(array, channel, first, count);
    if (got < 0 || got > (count > 0 ? count : 0)) std::abort();
    for (int32_t i = 0; i < got; ++i)
      if (out[static_cast<size_t>(i)] != expected_point(channel, first + static_cast<uint32_t>(i)))
        std::abort();
    if (got < count && expected_point(channel, first + static_cast<uint32_t>(got)) >= 0)
      std::abort();
    for (size_t i = static_cast<size_t>(got); i < out.size(); ++i)
      if (out[i] != -99) std::abort();
    qx::get_trigger(array, channel, first, count, type, level);
    qx::get_current_data_point(channel);
  }
  return 0;
}
