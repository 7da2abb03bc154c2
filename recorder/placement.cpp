#include "placement.h"

#include <cmath>
#include <cstdio>

#include "summary.h"

namespace qx470rec {

namespace {

std::string number(double v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

}  // namespace

std::string place_event(Event &e, const qx470reader::ClockMap &map, std::optional<double> first,
                        double end, const std::array<bool, 4> &on) {
  double steady = e.steady;
  // The sender reads the system clock as it is now, so its time maps through today's offset.
  if (e.utc_given) {
    if (!std::isfinite(e.utc)) return "its time @utc=" + number(e.utc) + " is not finite";
    steady = e.utc - map.utc_minus_steady();
  }
  if (!std::isfinite(steady)) return "its time @steady=" + number(steady) + " is not finite";
  if (!first) return "the recording has no sample yet";
  if (steady < *first - kEventGraceSeconds)
    return "its time is " + seconds_text(*first - steady) + " before the recording's first sample";
  if (steady > end + kEventGraceSeconds)
    return "its time is " + seconds_text(steady - end) + " after the recording's last sample";
  std::array<uint64_t, 4> index{};
  for (size_t c = 0; c < 4; ++c)
    if (on[c] && !map.index_at(static_cast<int>(c), steady, index[c]))
      return "the recording has no clock for it";
  e.steady = steady;
  e.utc_time = steady + map.utc_minus_steady();
  e.index = index;
  return {};
}

void place_events(std::vector<Event> &events, const qx470reader::ClockMap &map,
                  std::optional<double> first, double end, const std::array<bool, 4> &on,
                  EventCounts &counts, std::ostream &warn, const char *line_break) {
  // A flood of bad events is counted, not printed line by line.
  constexpr uint64_t kSaid = 10;
  for (Event &e : events) {
    if (e.refused.empty()) e.refused = place_event(e, map, first, end, on);
    if (!e.refused.empty()) {
      if (++counts.refused <= kSaid)
        warn << line_break << "qx470-record: warning: event '" << e.text
             << "' refused: " << e.refused
             << (counts.refused == kSaid ? " (further refusals are only counted)" : "") << "\n";
    } else {
      ++counts.placed;
    }
    if (e.cut && ++counts.cut <= kSaid)
      warn << line_break << "qx470-record: warning: an event line longer than "
           << EventSources::kLineBytes << " bytes was cut to its start\n";
  }
}

void tell_clock_steps(const qx470reader::ClockMap &map, size_t &told, std::ostream &warn,
                      const char *line_break) {
  const auto &segments = map.segments();
  for (; told < segments.size(); ++told) {
    const qx470reader::ClockSegment &s = segments[told];
    if (s.clock_step == 0) continue;
    char text[64];
    std::snprintf(text, sizeof text, "%+.3f s", s.clock_step);
    const int ref = map.reference();
    warn << line_break << "qx470-record: warning: the system clock stepped by " << text
         << "; from sample " << s.first[size_t(ref)] << " of Ch" << ref + 1
         << " on, the recording's times follow the new clock (a new clock segment)\n";
  }
}

}  // namespace qx470rec
