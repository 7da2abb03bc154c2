#include "schedule.h"

namespace qx {

namespace {
constexpr int kVisitOrder[kChannels] = {1, 2, 3, 0};
// A frame spans the least common multiple of the divisors, at most 100 ticks for the supported
// rates; the bound only guards against a corrupted divisor.
constexpr int kMaxTicks = 100;
}  // namespace

namespace {
struct RateDivisor {
  int32_t rate, divisor;
};
constexpr RateDivisor kRateTable[] = {{1, 100}, {2, 50}, {5, 20}, {10, 10},
                                      {20, 5},  {50, 2}, {100, 1}};
}  // namespace

int32_t divisor_for_rate(int32_t rate) {
  if (rate > 100)
    rate = 100;
  else if (rate >= 51 && rate <= 99)
    rate = 50;
  else if (rate >= 21 && rate <= 49)
    rate = 20;
  else if (rate >= 11 && rate <= 19)
    rate = 10;
  else if (rate >= 6 && rate <= 9)
    rate = 5;
  else if (rate == 3 || rate == 4)
    rate = 2;
  for (const auto &e : kRateTable)
    if (e.rate == rate) return e.divisor;
  return 0;  // 0 or below: off
}

int32_t rate_for_divisor(int32_t divisor) {
  for (const auto &e : kRateTable)
    if (e.divisor == divisor) return e.rate;
  return 0;
}

void rebuild(Schedule &s, ChannelScale &scale) {
  int32_t countdown[kChannels];
  for (int c = 0; c < kChannels; ++c) {
    countdown[c] = s.rate_divisor[c];
    s.channel_slots[c] = 0;
  }
  s.frame_length = 0;

  for (int tick = 0; tick < kMaxTicks; ++tick) {
    for (int c : kVisitOrder) {
      if (--countdown[c] == 0) {
        if (s.channel_slots[c] < kSlotTableSize)
          s.slot_table[c][s.channel_slots[c]++] = s.frame_length++;
        countdown[c] = s.rate_divisor[c];
      } else if (countdown[c] < 0) {
        countdown[c] = 0;  // a channel that is off
      }
    }
    bool complete = true;
    for (int c = 0; c < kChannels; ++c) complete = complete && countdown[c] == s.rate_divisor[c];
    if (complete) break;
  }

  // A cycle is the shortest run of whole blocks that also holds whole frames.
  s.cycle_words = static_cast<int32_t>(kBlockWords);
  if (s.frame_length == 0) return;  // all off: the previous cycle figures stay
  while (s.cycle_words % s.frame_length != 0) s.cycle_words += static_cast<int32_t>(kBlockWords);
  s.cycle_blocks = s.cycle_words / static_cast<int32_t>(kBlockWords);
  for (int c = 0; c < kChannels; ++c) {
    s.sample_modulus[c] = s.channel_slots[c] * s.cycle_words / s.frame_length;
    scale[c] = (static_cast<int32_t>(kBlockWords) / s.frame_length) * s.channel_slots[c];
  }
}

ScheduleDivisions divisions_of(const Schedule &s) {
  ScheduleDivisions d;
  for (int c = 0; c < kChannels; ++c) {
    ChannelDivision &cd = d.channel[c];
    cd.slots = s.channel_slots[c] > 0 ? static_cast<uint32_t>(s.channel_slots[c]) : 1;
    cd.by_slots = libdivide::divider<uint32_t>(cd.slots);
  }
  return d;
}

void set_rate(Schedule &s, ChannelScale &scale, int32_t channel, int32_t rate) {
  if (channel < 0 || channel >= kChannels) channel = 0;
  s.rate_divisor[channel] = divisor_for_rate(rate);
  rebuild(s, scale);
}

int32_t sample_rate(const Schedule &s, int32_t channel) {
  return rate_for_divisor(divisor_of(s, channel));
}

int32_t sample_modulus_64(const Schedule &s, int32_t channel) {
  if (channel < 0 || channel >= kChannels) return 0;
  return static_cast<int32_t>(64u * static_cast<uint32_t>(s.sample_modulus[channel]));
}

void set_boundary(Schedule &s, int32_t steps) {
  store_boundary(s, static_cast<uint32_t>(steps) * static_cast<uint32_t>(s.cycle_blocks) * 64u);
}

int32_t position_estimate(const Schedule &s, const ChannelScale &scale, int32_t channel,
                          uint32_t blocks) {
  if (channel < 0 || channel >= kChannels) return 0;
  return static_cast<int32_t>((blocks - boundary_of(s)) * static_cast<uint32_t>(scale[channel]));
}

}  // namespace qx
