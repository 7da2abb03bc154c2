#include "calibration_record.h"

#include <cstdio>
#include <cstring>

namespace qx {

namespace {
bool is_space(uint8_t c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
}  // namespace

std::array<uint8_t, kCalibrationRecordBytes> format_calibration_record(int32_t value) {
  char text[24] = {};  // "cal:-2147483648 " is 16 characters
  std::snprintf(text, sizeof text, "cal:%d ", static_cast<int>(value));
  std::array<uint8_t, kCalibrationRecordBytes> record{};
  std::memcpy(record.data(), text, record.size());
  return record;
}

int32_t parse_calibration_record(const uint8_t (&record)[kCalibrationRecordBytes]) {
  constexpr int n = kCalibrationRecordBytes;
  int i = 0;
  for (const char c : {'c', 'a', 'l', ':'}) {
    if (record[i] != static_cast<uint8_t>(c)) return 0;
    ++i;
  }
  while (i < n && is_space(record[i])) ++i;
  bool negative = false;
  if (i < n && (record[i] == '+' || record[i] == '-')) negative = record[i++] == '-';
  // At most 8 digits fit after "cal:", so the value always fits in 32 bits.
  int64_t value = 0;
  int digits = 0;
  for (; i < n && record[i] >= '0' && record[i] <= '9'; ++i, ++digits)
    value = value * 10 + (record[i] - '0');
  if (digits == 0) return 0;
  return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace qx
