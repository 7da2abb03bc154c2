#include "slot_pattern.h"

#include <numeric>

namespace qxsim {

SlotPattern make_slot_pattern(const std::array<int, 4> &divisors, uint32_t max_ticks) {
  SlotPattern p;
  uint64_t lcm = 1;
  bool any = false;
  for (int d : divisors) {
    if (d <= 0) continue;
    any = true;
    lcm = std::lcm(lcm, static_cast<uint64_t>(d));
    if (lcm > max_ticks) return p;
  }
  if (!any) return p;

  p.ticks = static_cast<uint32_t>(lcm);
  p.words_by_tick.assign(p.ticks + 1, 0);
  static constexpr uint8_t kOrder[4] = {1, 2, 3, 0};
  for (uint32_t t = 1; t <= p.ticks; ++t) {
    for (uint8_t c : kOrder) {
      const int d = divisors[c];
      if (d > 0 && t % static_cast<uint32_t>(d) == 0) {
        p.slots.push_back({c, t, p.per_frame[c]});
        ++p.per_frame[c];
      }
    }
    p.words_by_tick[t] = static_cast<uint32_t>(p.slots.size());
  }
  return p;
}

uint64_t SlotPattern::words_after_ticks(uint64_t ticks_elapsed) const {
  if (empty()) return 0;
  return ticks_elapsed / ticks * slots.size() + words_by_tick[ticks_elapsed % ticks];
}

uint64_t SlotPattern::ticks_for_words(uint64_t words) const {
  if (empty() || words == 0) return 0;
  const uint64_t last = words - 1;  // the word that must be out
  return last / slots.size() * ticks + slots[last % slots.size()].tick;
}

}  // namespace qxsim
