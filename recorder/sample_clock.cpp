#include "sample_clock.h"

#include <algorithm>

namespace qx470rec {

size_t SampleClock::segment_of(const qx470reader::ClockMap &map, uint64_t index) const {
  const auto &segments = map.segments();
  for (size_t s = segments.size(); s-- > 1;)
    if (index >= segments[s].first[size_t(channel_)]) return s;
  return 0;
}

double SampleClock::next(const qx470reader::ClockMap &map, uint64_t index) {
  double target = 0, before = 0;
  if (!map.steady_of(channel_, index, target)) return at(map, index);
  const size_t segment = segment_of(map, index);
  if (index > 0 && map.steady_of(channel_, index - 1, before) && target > before)
    period_ = target - before;
  if (!started_ || index != last_index_ + 1 || segment != segment_) {
    started_ = true;
    last_time_ = target;
  } else {
    const double predicted = last_time_ + period_;
    const double pull = kPullPerSample * period_;
    last_time_ = predicted + std::clamp(target - predicted, -pull, pull);
  }
  last_index_ = index;
  segment_ = segment;
  return last_time_;
}

double SampleClock::at(const qx470reader::ClockMap &map, uint64_t index) const {
  if (!started_) {
    double t = 0;
    map.steady_of(channel_, index, t);
    return t;
  }
  return last_time_ + (double(index) - double(last_index_)) * period_;
}

}  // namespace qx470rec
