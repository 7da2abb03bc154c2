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
  double target = 0, after = 0;
  if (!map.steady_of(channel_, index, target)) return at(map, index);
  const size_t segment = segment_of(map, index);
  // The map's period here: its line has one slope within a segment.
  if (segment_of(map, index + 1) == segment && map.steady_of(channel_, index + 1, after) &&
      after > target)
    period_ = std::clamp(after - target, nominal_ * (1 - kMostRateError),
                         nominal_ * (1 + kMostRateError));
  const bool restart = !started_ || index != last_index_ + 1 || segment != segment_;
  if (restart) {
    started_ = true;
    last_time_ = target;
  } else {
    const double predicted = last_time_ + period_;
    const double pull = kPullPerSample * period_;
    last_time_ = predicted + std::clamp(target - predicted, -pull, pull);
  }
  last_index_ = index;
  segment_ = segment;
  if (restart || index % kAnchorEvery == 0) {
    anchors_.push_back({index, last_time_, period_});
    if (anchors_.size() > kAnchors) anchors_.pop_front();
  }
  return last_time_;
}

double SampleClock::at(const qx470reader::ClockMap &map, uint64_t index) const {
  if (!started_) {
    double t = 0;
    map.steady_of(channel_, index, t);
    return t;
  }
  // The last time kept at or before the index (the first for one before them all), on its steps.
  auto after = std::upper_bound(anchors_.begin(), anchors_.end(), index,
                                [](uint64_t i, const Anchor &a) { return i < a.index; });
  if (after != anchors_.begin()) --after;
  const Anchor &a = index > last_index_ ? Anchor{last_index_, last_time_, period_} : *after;
  return a.time + (double(index) - double(a.index)) * a.period;
}

}  // namespace qx470rec
