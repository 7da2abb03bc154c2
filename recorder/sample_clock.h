// Each sample's time on the LSL clock (the host's steady clock), for the outlet and XDF files.
// The clock map gives it, but a refit of the map (many at the start, as notes come) would make
// the times jump between one batch and the next. So the times step from one sample to the next
// by the map's own period, and are pulled toward the map by at most a thousandth of a period
// each sample: jitter-free steps that follow the map within a second of any refinement. A new
// segment of the map (a new stream, a step of the system clock) starts afresh at the map's time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "clock_map.h"

namespace qx470rec {

class SampleClock {
 public:
  explicit SampleClock(int channel) : channel_(channel) {}
  // The time of the channel's sample `index`, the one after the last asked (else it starts
  // afresh there).
  double next(const qx470reader::ClockMap &map, uint64_t index);
  // The time of a sample near the last one, on the same steps, without moving on (markers).
  double at(const qx470reader::ClockMap &map, uint64_t index) const;

  static constexpr double kPullPerSample = 1e-3;  // of a period

 private:
  size_t segment_of(const qx470reader::ClockMap &map, uint64_t index) const;

  int channel_;
  bool started_ = false;
  uint64_t last_index_ = 0;
  double last_time_ = 0;
  double period_ = 0;
  size_t segment_ = 0;
};

}  // namespace qx470rec
