#include "readout.h"

#include <atomic>

#include "context.h"
#include "tsan.h"

namespace qx {

namespace {

bool channel_on(const Schedule &s, int32_t channel) {
  // A schedule with no slots for an "on" channel cannot be mapped; treat it as off.
  return divisor_of(s, channel) != 0 && s.channel_slots[channel] > 0 &&
         s.sample_modulus[channel] > 0;
}

// Status of a block, relative to the boundary, against a block count `done` (also relative).
// Readable are the 63 most recently completed blocks; the 64th shares its ring block with the
// one being filled.
inline int32_t block_status(uint32_t block, uint32_t done) {
  if (block >= done) return kNotYetAvailable;
  if (done - block > 63) return kNoLongerAvailable;
  return 0;
}

// Reads one word of the ring, then checks that its block did not leave the readable window while
// the bytes were read (the acquisition thread may have begun refilling that ring block).
inline int32_t read_word(SamplePosition pos, uint32_t boundary) {
  const uint8_t *p = &block_ring[pos.block % kRingBlocks][2 * pos.word];
  const int32_t value = load_ring_sample(p);
  const uint32_t done = reload_after_reads(blocks_transferred) - boundary;
  if (done - pos.block - 1 > 62) return kNoLongerAvailable;
  return value;
}

}  // namespace

int32_t get_data_point(int32_t channel, uint32_t sample) {
  const uint32_t count = blocks_transferred.load(std::memory_order_acquire);
  if (count == 0) return kNothingTransferred;
  const Schedule &s = device_context.schedule;
  if (!channel_on(s, channel)) return kChannelOff;
  const SamplePosition pos = sample_position(s, schedule_divisions, channel, sample);
  const uint32_t boundary = boundary_of(s);
  if (const int32_t st = block_status(pos.block, count - boundary)) return st;
  return read_word(pos, boundary);
}

int32_t get_data_samples(int32_t *values, int32_t channel, uint32_t first, int32_t count) {
  if (count <= 0 || !values) return 0;
  const Schedule &s = device_context.schedule;
  if (blocks_transferred.load(std::memory_order_acquire) == 0 || !channel_on(s, channel)) return 0;
  // Availability is tested once per stretch of samples in one block: a block can only become
  // readable during a run, and the count is read again after the stretch, so the result is the
  // one that a get_data_point per sample would give. A stretch goes through a small buffer so
  // that nothing past the samples returned is ever written.
  constexpr int32_t kStretch = 256;
  const uint32_t boundary = boundary_of(s);
  PositionCursor cursor(s, channel, first);
  int32_t stored = 0;
  while (stored < count) {
    const uint32_t block = cursor.block();
    const uint32_t done = blocks_transferred.load(std::memory_order_acquire) - boundary;
    if (block_status(block, done) != 0) break;
    const uint8_t *ring = block_ring[block % kRingBlocks];
    int32_t stretch[kStretch];
    const int32_t limit = count - stored < kStretch ? count - stored : kStretch;
    const int32_t n = cursor.gather(
        stretch, limit, [ring](uint32_t word) { return load_ring_sample(ring + 2 * word); });
    if (reload_after_reads(blocks_transferred) - boundary - block - 1 > 62) break;
    for (int32_t k = 0; k < n; ++k) values[stored + k] = stretch[k];
    stored += n;
  }
  return stored;
}

int32_t get_trigger(int32_t *values, int32_t channel, uint32_t first, int32_t count, int32_t type,
                    int32_t level) {
  // The search looks only at the stored run, in order, so reading the run first gives the same
  // result as testing each sample as it is read.
  const int32_t stored = get_data_samples(values, channel, first, count);
  const int32_t lv = level & 0xFFFF;
  int32_t result = 0;
  for (int32_t i = 1; i < stored && result == 0; ++i) {
    const int32_t p = values[i - 1];
    const int32_t v = values[i];
    bool hit = false;
    switch (type) {
      case 0:
        hit = p < lv && v >= lv;
        break;
      case 1:
        hit = p > lv && v <= lv;
        break;
      case 2:
        hit = v >= lv;
        break;
      case 3:
        hit = v <= lv;
        break;
      default:
        return 0;
    }
    if (hit) result = v;
  }
  return result;
}

int32_t get_current_data_point(int32_t channel) {
  if (!running.load(std::memory_order_acquire)) return 0;
  return position_estimate(device_context.schedule, channel_scale, channel,
                           blocks_transferred.load(std::memory_order_acquire));
}

}  // namespace qx
