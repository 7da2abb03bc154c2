// The Lab Streaming Layer's data protocol 1.10 as bytes, for the outlet, the inlet and the tests:
// each sample a tag (its time given, or deduced from the one before), the time as a double, then
// the values in the host's order (both sides say they are little-endian), strings with their
// length before them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qx470rec::lsl {

constexpr uint8_t kDeducedTimestamp = 1;
constexpr uint8_t kTransmittedTimestamp = 2;
// The two samples every feed begins with, so that an inlet knows the sides agree on the bytes.
constexpr double kTestPatternTime = 123456.789;
constexpr int kTestPatternOffsets[2] = {4, 2};

template <typename T>
void put(std::string &out, T v) {
  char b[sizeof v];
  std::memcpy(b, &v, sizeof v);
  out.append(b, sizeof v);
}

inline void put_time(std::string &out, double t) {
  put<uint8_t>(out, kTransmittedTimestamp);
  put<double>(out, t);
}

// A string value: a byte that says how many bytes the length takes (1, 4 or 8), the length, the
// bytes.
inline void put_string(std::string &out, const std::string &s) {
  if (s.size() <= 0xff) {
    put<uint8_t>(out, 1);
    put<uint8_t>(out, uint8_t(s.size()));
  } else if (s.size() <= 0xffffffffu) {
    put<uint8_t>(out, 4);
    put<uint32_t>(out, uint32_t(s.size()));
  } else {
    put<uint8_t>(out, 8);
    put<uint64_t>(out, uint64_t(s.size()));
  }
  out += s;
}

// The test pattern with `offset`: channel k of a float stream holds (k + offset), negated for odd
// k; of a string stream the text of (k + 10), negated for odd k.
inline void put_test_pattern(std::string &out, bool strings, int channels, int offset) {
  put_time(out, kTestPatternTime);
  for (int k = 0; k < channels; ++k) {
    const int sign = k % 2 == 0 ? 1 : -1;
    if (strings)
      put_string(out, std::to_string((k + 10) * sign));
    else
      put<float>(out, float(k + offset) * float(sign));
  }
}

}  // namespace qx470rec::lsl
