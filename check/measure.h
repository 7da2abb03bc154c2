// Acquisitions for the self-check through the reader library, as any host takes them, and the
// figures of a channel's samples, kept as they arrive so that a long run holds no samples.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "qx470_reader.h"

namespace qx470check {

// One frequency's share of a signal, by the Goertzel recurrence.
class Tone {
 public:
  Tone(double hz, double sample_rate);
  void add(double x) {
    const double s = x + coeff_ * s1_ - s2_;
    s2_ = s1_;
    s1_ = s;
  }
  // RMS of the tone over `n` samples.
  double rms(uint64_t n) const;

 private:
  double coeff_, s1_ = 0, s2_ = 0;
};

struct ChannelStats {
  ChannelStats() : ChannelStats(1000.0) {}
  explicit ChannelStats(double sample_rate);
  void add(int32_t code);
  double mean_counts() const;  // from mid-scale
  double rms_counts() const;   // about the mean
  uint64_t n = 0;
  int32_t min = 65535, max = 0;
  uint64_t at_ends = 0;  // codes 0 or 65535
  Tone hz50, hz60;

 private:
  double sum_ = 0, sum_squares_ = 0;
};

struct Acquisition {
  std::array<int32_t, 4> rates_ks{};
  std::array<ChannelStats, 4> stats;
  std::array<uint64_t, 4> samples{}, lost{};
  std::vector<qx470_gap> gaps;
  double seconds = 0;      // host time from start to the last sample
  double cpu_seconds = 0;  // this process's, meanwhile
  double ppm = 0;          // the rate against the host clock
  double ppm_error = 0;    // its standard error, from the notes' spread about the fitted line
  double timed_s = 0;      // the stretch the rate was fitted over; 0 when not fitted
  std::string error;       // empty when the run took every sample it asked for
  bool interrupted = false;
};

// Stream words a block holds: a rate set with fewer words per second takes longer for one.
inline constexpr double kBlockWords = 16384;
double block_seconds(const std::array<int32_t, 4> &rates_ks);

// Takes `seconds` of every channel that is on; `stop` ends it early (interrupted).
Acquisition acquire(const std::array<int32_t, 4> &rates_ks, double seconds,
                    const std::atomic<bool> &stop);

}  // namespace qx470check
