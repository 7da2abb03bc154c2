// The calibration record: the text "cal:%d " in the first 12 bytes of the bridge's EEPROM user
// area. Pure formatting and parsing, so both can be tested and fuzzed without a device.
#pragma once

#include <array>
#include <cstdint>

namespace qx {

constexpr int kCalibrationRecordBytes = 12;

// The record "cal:%d " cut to 12 bytes (zero bytes after the text when it is shorter).
std::array<uint8_t, kCalibrationRecordBytes> format_calibration_record(int32_t value);
// Parses a record within its 12 bytes: "cal:", optional white space, an optional sign, decimal
// digits; ends at the first zero byte. Anything unusable gives 0.
int32_t parse_calibration_record(const uint8_t (&record)[kCalibrationRecordBytes]);

}  // namespace qx
