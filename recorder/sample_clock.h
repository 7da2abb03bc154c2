// Each sample's time on the LSL clock (the host's steady clock), for the outlet and XDF files.
// The clock map gives it, but a refit of the map (many at the start, as notes come) would make
// the times jump between one batch and the next. So the times step from one sample to the next
// by the map's own period, and are pulled toward the map by at most a thousandth of a period
// each sample: jitter-free steps that follow the map within a second of any refinement. A new
// segment of the map (a new stream, a step of the system clock) starts afresh at the map's time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "clock_map.h"

namespace qx470rec {

class SampleClock {
 public:
  // `rate`: the channel's nominal rate, samples/s.
  SampleClock(int channel, double rate) : channel_(channel), nominal_(1.0 / rate) {}
  // The time of the channel's sample `index`, the one after the last asked (else it starts
  // afresh there).
  double next(const qx470reader::ClockMap &map, uint64_t index);
  // The time a sample was given, or would be on the same steps, without moving on (markers):
  // within a quarter of a period for the last minute or so of samples.
  double at(const qx470reader::ClockMap &map, uint64_t index) const;

  static constexpr double kPullPerSample = 1e-3;  // of a period
  // How far the period may be from the nominal one: a map of a few notes can slope anywhere,
  // a crystal is off by tens of ppm.
  static constexpr double kMostRateError = 1e-3;
  static constexpr uint64_t kAnchorEvery = 256;  // samples between the times kept
  static constexpr size_t kAnchors = 1 << 15;

 private:
  size_t segment_of(const qx470reader::ClockMap &map, uint64_t index) const;

  int channel_;
  double nominal_;
  bool started_ = false;
  uint64_t last_index_ = 0;
  double last_time_ = 0;
  double period_ = nominal_;
  size_t segment_ = 0;
  struct Anchor {
    uint64_t index;
    double time, period;
  };
  std::deque<Anchor> anchors_;  // times given, every kAnchorEvery samples and at each restart
};

}  // namespace qx470rec
