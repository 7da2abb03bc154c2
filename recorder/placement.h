// Where an event goes: the samples the clock map gives for its time. A time that is not finite,
// or that lies outside the recording (before its first sample or after its last, beyond a
// second's grace), is refused with the reason rather than moved to a sample it did not fall on.
#pragma once

#include <array>
#include <optional>
#include <string>

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

}  // namespace qx470rec
