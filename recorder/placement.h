// Where an event goes: the samples the clock map gives for its time. A time that is not finite,
// or that lies outside the recording (before its first sample or after its last, beyond a
// second's grace), is refused with the reason rather than moved to a sample it did not fall on.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "clock_map.h"
#include "events.h"

namespace qx470rec {

// How far outside the recording an event's time may lie, seconds: a sender's clock read a moment
// before the first sample, or an event stamped as the last block arrives.
constexpr double kEventGraceSeconds = 1.0;

// Fills e.steady, e.utc_time and e.index for each channel that is `on`, from the map. `first`:
// the steady time of the recording's first sample; `end`: of its last so far (now, while it
// runs). Returns an empty string, or why the event is refused (e is then unchanged).
std::string place_event(Event &e, const qx470reader::ClockMap &map, std::optional<double> first,
                        double end, const std::array<bool, 4> &on);

// A step of the system clock (someone set it) starts a clock segment: the samples before keep
// their time, and the user learns here why the times jump. `told`: segments said so far.
void tell_clock_steps(const qx470reader::ClockMap &map, size_t &told, std::ostream &warn,
                      const char *line_break);

struct EventCounts {
  uint64_t placed = 0, refused = 0, cut = 0;
};

// Places each event or refuses it (e.refused then says why), counting both, and says the first
// few refusals and cut lines on `warn`, each line after `line_break`.
void place_events(std::vector<Event> &events, const qx470reader::ClockMap &map,
                  std::optional<double> first, double end, const std::array<bool, 4> &on,
                  EventCounts &counts, std::ostream &warn, const char *line_break);

}  // namespace qx470rec
