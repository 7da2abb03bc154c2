// The blocks of the current stream against the steady clock: a stream that brings fewer blocks
// than the time says were sent, by more than the buffers and the crystals explain and for longer
// than a stalled reader takes to catch up, lost them without any layer saying so.
#pragma once

#include <chrono>
#include <cstdint>

namespace qx470reader {

class ClockCheck {
 public:
  using Clock = std::chrono::steady_clock;

  // Forgets the stream (a start, a restart, a new stream): time counts again from its first block.
  void restart(Clock::time_point now);
  // One look at the block count; `changed`: it moved since the last look. Time counts while
  // blocks come and while the reader did not look (a stalled process: the amplifier went on
  // sending); a stretch in which the reader looked and nothing came counts only while it is as
  // short as the time between two blocks. Returns the whole blocks found missing now (a verdict
  // given once per shortfall), else 0.
  double look(uint32_t blocks, Clock::time_point now, bool changed, double block_seconds);
  // When the count was last seen to change (or the stream's first block).
  Clock::time_point last_change() const { return last_change_; }

 private:
  Clock::time_point last_look_{};
  Clock::time_point last_change_{};
  double quiet_seconds_ = 0;   // since the count last changed, while the reader looked
  double active_seconds_ = 0;  // of the current stream since its first block
  double anchor_blocks_ = 0;   // blocks at the first look of the current stream with data
  bool anchored_ = false;
  double credited_blocks_ = 0;  // shortfall already reported
  double suspect_blocks_ = 0;   // a shortfall seen, waiting to see whether it stays
  Clock::time_point suspect_since_{};
  bool suspect_ = false;
};

}  // namespace qx470reader
