#include "clock_map.h"

#include <cmath>
#include <cstdlib>

namespace qx470reader {

void ClockMap::reset(const Rates &rates) {
  rates_ = rates;
  reference_ = 0;
  while (reference_ < kChannels - 1 && rates_[size_t(reference_)] <= 0) ++reference_;
  segments_.clear();
  pairs_.clear();
  sums_ = {};
}

double ClockMap::nominal_rate() const {
  return rate_of(reference_);
}

void ClockMap::begin_segment(int stream, const std::array<uint64_t, kChannels> &first,
                             double steady, double utc_minus_steady) {
  ClockSegment s;
  s.stream = stream;
  s.first = first;
  s.steady0 = steady;
  s.utc_minus_steady = utc_minus_steady;
  s.seconds_per_sample = nominal_rate() > 0 ? 1.0 / nominal_rate() : 0;
  segments_.push_back(s);
  sums_ = {};
}

void ClockMap::note(uint64_t reference_index, double steady, double utc) {
  if (segments_.empty()) return;
  if (const double step = (utc - steady) - segments_.back().utc_minus_steady;
      std::fabs(step) > kClockStepSeconds)
    split_at_step(reference_index, step);
  ClockSegment &s = segments_.back();
  const double x = static_cast<double>(reference_index - s.first[size_t(reference_)]);
  if (sums_.n == 0) {
    sums_.x0 = x;
    sums_.y0 = steady;
  }
  const double dx = x - sums_.x0, dy = steady - sums_.y0;
  sums_.n += 1;
  sums_.sx += dx;
  sums_.sy += dy;
  sums_.sxx += dx * dx;
  sums_.sxy += dx * dy;
  sums_.syy += dy * dy;
  s.utc_minus_steady = utc - steady;
  ++s.notes;
  refit();
  if (pairs_.empty() || steady - pairs_.back().steady >= 1.0)
    pairs_.push_back({reference_index, steady, utc});
}

// The samples keep their line on the steady clock; only the system time of those from here on
// differs. So the new segment continues the fit, begun at the reference's index here and each
// other channel's index at the same time.
void ClockMap::split_at_step(uint64_t reference_index, double step) {
  ClockSegment next = segments_.back();
  const uint64_t ref_first = next.first[size_t(reference_)];
  const uint64_t moved = reference_index >= ref_first ? reference_index - ref_first : 0;
  for (int c = 0; c < kChannels; ++c)
    if (rate_of(c) > 0)
      next.first[size_t(c)] += static_cast<uint64_t>(
          std::llround(static_cast<double>(moved) * rate_of(c) / nominal_rate()));
  next.steady0 += static_cast<double>(moved) * next.seconds_per_sample;
  next.utc_minus_steady += step;
  next.clock_step = step;
  next.notes = 0;
  segments_.push_back(next);
  // The sums are about their own first note, so they carry over with x shifted by `moved`.
  sums_.x0 -= static_cast<double>(moved);
}

void ClockMap::refit() {
  ClockSegment &s = segments_.back();
  const Sums &m = sums_;
  const double var = m.n * m.sxx - m.sx * m.sx;
  // Until the notes span enough samples to say, the nominal rate stands.
  double b = nominal_rate() > 0 ? 1.0 / nominal_rate() : 0;
  if (m.n >= 2 && var > 0 && m.sxx / m.n - (m.sx / m.n) * (m.sx / m.n) > 0)
    b = (m.n * m.sxy - m.sx * m.sy) / var;
  const double a = (m.sy - b * m.sx) / m.n;  // steady - y0 at dx = 0
  s.seconds_per_sample = b;
  s.steady0 = m.y0 + a - b * m.x0;
  const double sse =
      m.syy - 2 * a * m.sy - 2 * b * m.sxy + m.n * a * a + 2 * a * b * m.sx + b * b * m.sxx;
  s.residual = m.n > 2 ? std::sqrt(std::max(0.0, sse / m.n)) : 0.0;
}

bool ClockMap::steady_of(int channel, uint64_t index, double &steady) const {
  const double scale = rate_of(channel) > 0 ? nominal_rate() / rate_of(channel) : 0;
  // The last segment that begins at or before the index.
  for (auto s = segments_.rbegin(); s != segments_.rend(); ++s) {
    if (index < s->first[size_t(channel)] && std::next(s) != segments_.rend()) continue;
    const double offset = (static_cast<double>(index) - double(s->first[size_t(channel)])) * scale;
    steady = s->steady0 + offset * s->seconds_per_sample;
    return true;
  }
  return false;
}

bool ClockMap::index_at(int channel, double steady, uint64_t &index) const {
  if (rate_of(channel) <= 0) return false;
  const double scale = rate_of(channel) / nominal_rate();
  for (auto s = segments_.rbegin(); s != segments_.rend(); ++s) {
    if (steady < s->steady0 && std::next(s) != segments_.rend()) continue;
    if (s->seconds_per_sample <= 0) return false;
    const double offset = (steady - s->steady0) / s->seconds_per_sample * scale;
    const double at = double(s->first[size_t(channel)]) + offset;
    index = at <= 0 ? 0 : static_cast<uint64_t>(std::llround(at));
    return true;
  }
  return false;
}

double ClockMap::utc_minus_steady() const {
  return segments_.empty() ? 0.0 : segments_.back().utc_minus_steady;
}

}  // namespace qx470reader
