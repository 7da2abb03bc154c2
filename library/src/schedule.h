// The sampling schedule: rates, the interleaved slot pattern, and the mapping of (channel, sample
// number) to a block and a word. Pure arithmetic on the fields passed in: no I/O, no globals.
#pragma once

#include <libdivide.h>

#include <atomic>
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
// The boundary is set by the host and, when it realigns the stream, by the acquisition thread:
// it is read and written whole.
inline uint32_t boundary_of(const Schedule &s) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(s.boundary_block))
      .load(std::memory_order_relaxed);
}
inline void store_boundary(Schedule &s, uint32_t block) {
  std::atomic_ref<uint32_t>(s.boundary_block).store(block, std::memory_order_relaxed);
}

// Place of sample n of channel c, which must be on. Reduced by whole cycles, so every
// intermediate value stays within 32 bits. The plain form, with two divisions.
inline SamplePosition sample_position(const Schedule &s, int32_t c, uint32_t n) {
  const auto m = static_cast<uint32_t>(s.sample_modulus[c]);
  const auto slots = static_cast<uint32_t>(s.channel_slots[c]);
  const uint32_t q = n / m;
  const uint32_t r = n % m;
  const uint32_t p = (r / slots) * static_cast<uint32_t>(s.frame_length) +
                     static_cast<uint32_t>(s.slot_table[c][r % slots]);
  return {q * static_cast<uint32_t>(s.cycle_blocks) + p / kBlockWords, p % kBlockWords};
}

// The division of the mapping for one channel, as a multiply-and-shift reciprocal made at each
// schedule build. It keeps the divisor it was made for, so a remainder is always taken against
// that divisor and a slot index stays within the slot table even if the schedule is rebuilt
// under a reader.
struct ChannelDivision {
  uint32_t slots = 1;
  libdivide::divider<uint32_t> by_slots{1};
};
struct ScheduleDivisions {
  ChannelDivision channel[kChannels];
};
// A channel without slots (one that is off) gets 1, which the readout never uses.
ScheduleDivisions divisions_of(const Schedule &s);

// The same place as sample_position, with one reciprocal instead of two divisions: the word in
// the whole stream fits in 64 bits (below 2^32 x 301), so no reduction by cycles is needed.
inline SamplePosition sample_position(const Schedule &s, const ScheduleDivisions &d, int32_t c,
                                      uint32_t n) {
  const ChannelDivision &cd = d.channel[c];
  const uint32_t f = n / cd.by_slots;
  const uint32_t slot = n - f * cd.slots;
  const uint64_t word = static_cast<uint64_t>(f) * static_cast<uint32_t>(s.frame_length) +
                        static_cast<uint32_t>(s.slot_table[c][slot]);
  return {static_cast<uint32_t>(word / kBlockWords), static_cast<uint32_t>(word % kBlockWords)};
}

// Walks the positions of consecutive sample numbers of one channel without dividing per step.
// Positions run on across cycles without a jump (a cycle is whole blocks of whole frames), so
// only the wrap of the sample number to 0 needs a fresh start.
class PositionCursor {
 public:
  PositionCursor(const Schedule &s, int32_t channel, uint32_t first)
      : table_(s.slot_table[channel]),
        slots_(s.channel_slots[channel]),
        frame_length_(s.frame_length),
        s_(s),
        c_(channel) {
    seek(first);
  }
  SamplePosition position() const { return {block_, word_}; }
  uint32_t block() const { return block_; }
  uint32_t word() const { return word_; }
  void advance() {
    if (++n_ == 0) return seek(0);  // sample numbers wrap modulo 2^32, cycles do not
    step();
  }
  // Hands `load(word)` of up to `limit` consecutive samples to `out` while they lie in the
  // current block, and leaves the cursor on the next sample. Returns how many.
  template <class Load>
  int32_t gather(int32_t *out, int32_t limit, Load load) {
    const uint32_t to_wrap = 0u - n_;  // 0: n_ is 0 and a whole 2^32 samples lie ahead
    if (to_wrap != 0 && to_wrap < static_cast<uint32_t>(limit))
      limit = static_cast<int32_t>(to_wrap);
    int32_t n = 0;
    if (slots_ == 1) {
      // One slot per frame, the common case: a plain stride through the block.
      int32_t w = static_cast<int32_t>(word_);
      do {
        out[n++] = load(static_cast<uint32_t>(w));
        w += frame_length_;
      } while (n < limit && w < kBlock);
      frame_base_ += n * frame_length_;
      settle();
    } else {
      const uint32_t block = block_;
      do {
        out[n++] = load(word_);
        step();
      } while (n < limit && block_ == block);
    }
    n_ += static_cast<uint32_t>(n);
    if (n_ == 0) seek(0);
    return n;
  }

 private:
  static constexpr int32_t kBlock = static_cast<int32_t>(kBlockWords);
  void step() {
    if (++slot_ == slots_) {
      slot_ = 0;
      frame_base_ += frame_length_;
    }
    settle();
  }
  // Word of the current sample, with the frame start moved into the block that holds it.
  void settle() {
    int32_t w = frame_base_ + table_[slot_];
    if (w >= kBlock) {
      w -= kBlock;
      frame_base_ -= kBlock;
      ++block_;
    }
    word_ = static_cast<uint32_t>(w);
  }
  void seek(uint32_t n) {
    const auto m = static_cast<uint32_t>(s_.sample_modulus[c_]);
    const auto slots = static_cast<uint32_t>(slots_);
    const uint32_t r = n % m;
    const uint32_t frame_word = r / slots * static_cast<uint32_t>(frame_length_);
    n_ = n;
    slot_ = static_cast<int32_t>(r % slots);
    block_ = n / m * static_cast<uint32_t>(s_.cycle_blocks) + frame_word / kBlockWords;
    frame_base_ = static_cast<int32_t>(frame_word % kBlockWords);
    settle();
  }
  const int32_t *table_;
  int32_t slots_, frame_length_;
  const Schedule &s_;
  int32_t c_;
  uint32_t n_ = 0, block_ = 0, word_ = 0;
  int32_t slot_ = 0, frame_base_ = 0;
};

// (T - boundary_block) x channel_scale[c] as a 32-bit product; 0 for a channel outside 0..3.
int32_t position_estimate(const Schedule &s, const ChannelScale &scale, int32_t channel,
                          uint32_t blocks);

}  // namespace qx
