#include "clock_check.h"

#include <algorithm>
#include <cmath>

namespace qx470reader {

namespace {
// A shortfall against the clock is reported once it exceeds a few blocks (the buffers below the
// library and the host's own jitter) plus a share for the amplifier's crystal against the host's,
// and has stayed for a second: a process that was stalled catches up faster than real time.
constexpr double kClockSlackBlocks = 4.0;
constexpr double kClockSlackShare = 0.002;
constexpr double kClockPersistSeconds = 1.0;

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}
}  // namespace

void ClockCheck::restart(Clock::time_point now) {
  last_look_ = last_change_ = now;
  quiet_seconds_ = active_seconds_ = anchor_blocks_ = credited_blocks_ = suspect_blocks_ = 0;
  anchored_ = suspect_ = false;
}

double ClockCheck::look(uint32_t blocks, Clock::time_point now, bool changed,
                        double block_seconds) {
  const double looked_after = seconds(now - last_look_);
  last_look_ = now;
  if (!anchored_) {
    if (blocks > 0) {
      anchored_ = true;
      anchor_blocks_ = blocks;
      last_change_ = now;
    }
    return 0;
  }
  if (!changed) {
    quiet_seconds_ += looked_after;
    return 0;
  }
  active_seconds_ += looked_after + (quiet_seconds_ <= 2 * block_seconds ? quiet_seconds_ : 0.0);
  quiet_seconds_ = 0;
  last_change_ = now;
  const double expected = active_seconds_ / block_seconds;
  const double shortfall = expected - (blocks - anchor_blocks_ + credited_blocks_);
  if (shortfall <= kClockSlackBlocks + kClockSlackShare * expected) {
    suspect_ = false;
    return 0;
  }
  if (!suspect_ || shortfall < suspect_blocks_ - 1) {  // first seen, or still catching up
    suspect_ = true;
    suspect_blocks_ = shortfall;
    suspect_since_ = now;
    return 0;
  }
  if (seconds(now - suspect_since_) < std::max(kClockPersistSeconds, 2 * block_seconds)) return 0;
  // It stayed: blocks that the clock says were sent never came, and no layer said so.
  const double whole = std::floor(shortfall);
  credited_blocks_ += whole;
  suspect_ = false;
  return whole;
}

}  // namespace qx470reader
