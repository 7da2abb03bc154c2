// The sampling schedule: rates, the interleaved slot pattern, and the mapping of (channel, sample
// number) to a block and a word. Pure arithmetic on the fields passed in: no I/O, no globals.
#pragma once

#include <cstdint>

namespace qx {

constexpr int kChannels = 4;
constexpr int kSlotTableSize = 200;
constexpr uint32_t kBlockWords = 16384;
constexpr uint32_t kBlockBytes = 2 * kBlockWords;
constexpr int kRingBlocks = 64;

// The schedule fields of the device context, in their order there.
struct Schedule {
  int32_t rate_divisor[kChannels];
  int32_t frame_length;
  int32_t cycle_blocks;
  int32_t channel_slots[kChannels];
  int32_t sample_modulus[kChannels];
  int32_t slot_table[kChannels][kSlotTableSize];
  int32_t cycle_words;
  uint32_t boundary_block;
};

// Per channel: samples that one block is counted as, (16384 div frame_length) x slots.
using ChannelScale = int32_t[kChannels];

struct SamplePosition {
  uint32_t block;  // relative to the boundary
  uint32_t word;   // within the block
};

// Rate in kS/s -> divisor of the 100 kS/s base rate, rounding down to a supported rate; 0 off.
int32_t divisor_for_rate(int32_t rate);
// Divisor -> rate in kS/s; anything outside the table gives 0.
int32_t rate_for_divisor(int32_t divisor);

// Divisor of a channel; channels outside 0..3 are off.
inline int32_t divisor_of(const Schedule &s, int32_t channel) {
  return channel >= 0 && channel < kChannels ? s.rate_divisor[channel] : 0;
}

// Stores the divisor for `rate` (channels outside 0..3 set channel 0) and rebuilds the schedule.
void set_rate(Schedule &s, ChannelScale &scale, int32_t channel, int32_t rate);
// Schedule build from the four divisors, then the cycle and derived values.
void rebuild(Schedule &s, ChannelScale &scale);

int32_t sample_rate(const Schedule &s, int32_t channel);
// 64 x sample_modulus: the channel's samples between two boundaries; 0 outside 0..3.
int32_t sample_modulus_64(const Schedule &s, int32_t channel);
// boundary_block := steps x cycle_blocks x 64 (modulo 2^32).
void set_boundary(Schedule &s, int32_t steps);

// Place of sample n of channel c, which must be on. Reduced by whole cycles, so every
// intermediate value stays within 32 bits.
inline SamplePosition sample_position(const Schedule &s, int32_t c, uint32_t n) {
  const auto m = static_cast<uint32_t>(s.sample_modulus[c]);
  const auto slots = static_cast<uint32_t>(s.channel_slots[c]);
  const uint32_t q = n / m;
  const uint32_t r = n % m;
  const uint32_t p = (r / slots) * static_cast<uint32_t>(s.frame_length) +
                     static_cast<uint32_t>(s.slot_table[c][r % slots]);
  return {q * static_cast<uint32_t>(s.cycle_blocks) + p / kBlockWords, p % kBlockWords};
}

// Walks the positions of consecutive sample numbers of one channel without dividing per step.
class PositionCursor {
 public:
  PositionCursor(const Schedule &s, int32_t channel, uint32_t first) : s_(s), c_(channel) {
    seek(first);
  }
  SamplePosition position() const {
    const uint32_t p = frame_word_ + static_cast<uint32_t>(s_.slot_table[c_][slot_]);
    return {cycle_block_ + p / kBlockWords, p % kBlockWords};
  }
  void advance() {
    if (++n_ == 0) return seek(0);  // sample numbers wrap modulo 2^32, cycles do not
    if (++slot_ < static_cast<uint32_t>(s_.channel_slots[c_])) return;
    slot_ = 0;
    frame_word_ += static_cast<uint32_t>(s_.frame_length);
    if (++frame_ < frames_per_cycle_) return;
    frame_ = 0;
    frame_word_ = 0;
    cycle_block_ += static_cast<uint32_t>(s_.cycle_blocks);
  }

 private:
  void seek(uint32_t n) {
    const auto m = static_cast<uint32_t>(s_.sample_modulus[c_]);
    const auto slots = static_cast<uint32_t>(s_.channel_slots[c_]);
    n_ = n;
    cycle_block_ = n / m * static_cast<uint32_t>(s_.cycle_blocks);
    frame_ = n % m / slots;
    frame_word_ = frame_ * static_cast<uint32_t>(s_.frame_length);
    slot_ = n % m % slots;
    frames_per_cycle_ = m / slots;
  }
  const Schedule &s_;
  int32_t c_;
  uint32_t n_ = 0, cycle_block_ = 0, frame_ = 0, frame_word_ = 0, slot_ = 0, frames_per_cycle_ = 1;
};

// (T - boundary_block) x channel_scale[c] as a 32-bit product; 0 for a channel outside 0..3.
int32_t position_estimate(const Schedule &s, const ChannelScale &scale, int32_t channel,
                          uint32_t blocks);

}  // namespace qx
