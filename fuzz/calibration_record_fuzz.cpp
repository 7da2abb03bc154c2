// The calibration record parser on arbitrary bytes: it reads only its 12 bytes, and a record it
// wrote itself reads back as the value cut to what fits.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "calibration_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Exactly 12 bytes on the heap, so that any read past them is caught.
  auto *record = static_cast<uint8_t(*)[qx::kCalibrationRecordBytes]>(std::malloc(12));
  std::memset(record, 0, 12);
  std::memcpy(record, data, size < 12 ? size : 12);
  qx::parse_calibration_record(*record);
  std::free(record);

  if (size >= 4) {
    int32_t value;
    std::memcpy(&value, data, 4);
    const auto formatted = qx::format_calibration_record(value);
    uint8_t copy[12];
    std::memcpy(copy, formatted.data(), 12);
    // At most eight characters of the number fit after "cal:".
    int64_t expected = value;
    const bool negative = value < 0;
    int64_t magnitude = negative ? -expected : expected;
    int chars = negative ? 2 : 1;
    for (int64_t m = magnitude; m >= 10; m /= 10) ++chars;
    for (; chars > 8; --chars) magnitude /= 10;
    expected = negative ? -magnitude : magnitude;
    if (qx::parse_calibration_record(copy) != expected) std::abort();
  }
  return 0;
}
