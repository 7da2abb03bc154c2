// Whether the stream still comes, as the recorder tells it: the reader's stall watch, passes
// that waited for the output (no news either way), and a process that was itself stopped
// (SIGSTOP, Ctrl-Z), whose quiet time is not the amplifier's.
#pragma once

#include <chrono>
#include <cstdint>

#include "device.h"
#include "session_io.h"

namespace qx470rec {

class StreamHealth {
 public:
  using Clock = std::chrono::steady_clock;
  StreamHealth(double block_seconds, Clock::time_point start, const SessionIo &io);

  // Before each pass of the loop: says so when the process was stopped since the last one.
  void before_pass();
  // The last pass stopped for a full write queue.
  void output_held() { held_ = true; }
  // True when the stream has stopped for good: the amplifier is gone, or silent too long.
  bool stopped(uint32_t blocks_seen);
  bool stalled() const { return stalled_; }
  double quiet_seconds() const { return watch_.quiet_seconds(); }

 private:
  const char *line_break() const { return io_.progress ? "\n" : ""; }

  const SessionIo &io_;
  qx470reader::StallWatch watch_;
  bool held_ = false;
  bool stalled_ = false;
  unsigned resumed_seen_ = 0;
  Clock::time_point last_pass_;
};

}  // namespace qx470rec
