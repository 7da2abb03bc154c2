// The simulated amplifier's stream-command parser on arbitrary byte streams: it never crashes or
// stalls, and every rate set it accepts gives a frame within bounds.
#include <array>
#include <cstdint>
#include <cstdlib>

#include "slot_pattern.h"
#include "stream_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qxsim::StreamCommandParser parser;
  std::array<uint8_t, 4> high{0xC0, 0xC0, 0xC0, 0xC0}, low{0xC0, 0xC0, 0xC0, 0xC0};
  for (size_t i = 0; i < size; ++i) {
    const auto cmd = parser.feed(data[i]);
    if (cmd.kind == qxsim::StreamCommand::kRateHigh) high = cmd.channel_bytes;
    if (cmd.kind == qxsim::StreamCommand::kRateLow) low = cmd.channel_bytes;
    if (cmd.kind != qxsim::StreamCommand::kStart) continue;
    std::array<int, 4> divisors{};
    for (int k = 0; k < 4; ++k) divisors[(k + 1) % 4] = qxsim::divisor_from_bytes(high[k], low[k]);
    const auto pattern = qxsim::make_slot_pattern(divisors, 1000);
    if (!pattern.empty() && (pattern.ticks > 1000 || pattern.slots.size() > 4000)) std::abort();
    if (!pattern.empty() && pattern.words_after_ticks(pattern.ticks) != pattern.slots.size())
      std::abort();
  }
  return 0;
}
