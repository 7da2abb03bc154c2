// What the live bench sends: the run's state as JSON, and a page's frames of envelopes.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "live_tap.h"

namespace qx470rec {

// GET /api/status: the device, the files, the counts and each channel's rate and label.
nlohmann::ordered_json status_json(const LiveStatus &s, const LiveTap &tap);

// One frame for a page: the length of a JSON header, the header, zeros to a multiple of four
// bytes, then each channel's column minima and maxima in volts as float32 (NaN: no sample).
std::string make_frame(const LiveTap &tap, double window, int columns, uint64_t seq);

}  // namespace qx470rec
