// The amplifier's view of the stream: which channel owns each word. Worked out tick by tick from
// the divisors the amplifier received (in tick t every channel whose divisor divides t delivers
// a sample, channels 1, 2, 3, 0 in turn), independently of the library's schedule code.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace qxsim {

struct SlotPattern {
  struct Slot {
    uint8_t channel;
    uint32_t tick;  // tick of the frame (1 .. ticks) in which the slot's sample is taken
    uint32_t rank;  // how many earlier slots of the same channel the frame has
  };
  std::vector<Slot> slots;              // one frame
  uint32_t ticks = 0;                   // ticks in one frame
  std::array<uint32_t, 4> per_frame{};  // slots of each channel in one frame
  std::vector<uint32_t> words_by_tick;  // slots whose tick is <= t, for t = 0 .. ticks

  bool empty() const { return slots.empty(); }
  // Words of the stream whose ticks have all passed once `ticks_elapsed` ticks have gone by.
  uint64_t words_after_ticks(uint64_t ticks_elapsed) const;
  // Ticks that must pass before `words` words have been produced.
  uint64_t ticks_for_words(uint64_t words) const;
};

// Builds the frame for the given divisors (0: channel off). Every channel off, or a frame longer
// than `max_ticks`, gives an empty pattern.
SlotPattern make_slot_pattern(const std::array<int, 4> &divisors, uint32_t max_ticks);

}  // namespace qxsim
