// Where each sample lies on the host's clocks. The reader notes, for each block it sees arrive,
// the steady clock and the system time (UTC); a straight line fitted through those notes gives
// the host time of any sample and the sample at any host time, and the amplifier's rate as the
// host's clock measures it. A new stream (a restart, a realignment) or a loss that shifted the
// indexes starts a new segment with a line of its own.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "rates.h"

namespace qx470reader {

// One note: the reference channel's sample index at the end of a block that had just arrived,
// and when the host saw it (seconds of the steady clock, and of the system clock since 1970).
struct ClockPair {
  uint64_t index = 0;
  double steady = 0;
  double utc = 0;
};

// The fit of one segment: steady = steady0 + (index - first_index) * seconds_per_sample for the
// reference channel; the other channels by their rates from their own first index.
struct ClockSegment {
  int stream = 0;
  std::array<uint64_t, kChannels> first{};  // each channel's first index in the segment
  double steady0 = 0;                       // fitted steady time of the reference's first_index
  double seconds_per_sample = 0;            // of the reference channel, as measured
  double residual = 0;                      // root mean square of the notes about the line, s
  double utc_minus_steady = 0;              // the system clock against the steady one
  uint64_t notes = 0;
  // The system clock stepped by this much (seconds) against the steady one where this segment
  // begins; the samples before keep the time they had. 0 for a new stream.
  double clock_step = 0;
};

// A change of the system clock against the steady one larger than this (seconds) is a step
// (someone set the clock, or NTP stepped it), not the slow slewing a fit follows.
constexpr double kClockStepSeconds = 0.05;

class ClockMap {
 public:
  // Forgets everything: rates in kS/s; the reference is the first channel that is on.
  void reset(const Rates &rates);
  // A new segment whose first samples were taken about `steady`: the line starts there at the
  // nominal rate, until notes say better.
  void begin_segment(int stream, const std::array<uint64_t, kChannels> &first, double steady,
                     double utc_minus_steady);
  // A block's arrival. A step of the system clock starts a new segment here, on the same line.
  void note(uint64_t reference_index, double steady, double utc);

  int reference() const { return reference_; }
  // Host steady time of the channel's sample `index`, and the channel's sample at steady time
  // `steady` (rounded to the nearest), from the segment they fall in. False with no segment.
  bool steady_of(int channel, uint64_t index, double &steady) const;
  bool index_at(int channel, double steady, uint64_t &index) const;
  double utc_minus_steady() const;

  // Pairs about one a second, for files; every segment's fit.
  const std::vector<ClockPair> &pairs() const { return pairs_; }
  const std::vector<ClockSegment> &segments() const { return segments_; }
  // The reference channel's nominal rate, samples/s.
  double nominal_rate() const;

 private:
  struct Sums {  // about the segment's first note, for precision
    double x0 = 0, y0 = 0;
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
  };
  void refit();
  void split_at_step(uint64_t reference_index, double step);
  double rate_of(int channel) const { return rates_[size_t(channel)] * 1000.0; }

  Rates rates_{};
  int reference_ = 0;
  std::vector<ClockSegment> segments_;
  Sums sums_;
  std::vector<ClockPair> pairs_;
};

}  // namespace qx470reader
