// The four commands that the library writes to the stream channel. Every data byte carries 0xC0
// in its top two bits; every command ends with 0x00.
#pragma once

#include <array>
#include <cstdint>

namespace qx {

constexpr std::array<uint8_t, 3> kStopCommand = {0x4A, 0xC0, 0x00};
constexpr std::array<uint8_t, 3> kStartCommand = {0x4A, 0xC1, 0x00};

// Channel bytes for a divisor: the top two bits and the low six bits of the 8-bit divisor.
constexpr uint8_t high_channel_byte(int32_t divisor) {
  return static_cast<uint8_t>(0xC0 | ((divisor >> 6) & 0x03));
}
constexpr uint8_t low_channel_byte(int32_t divisor) {
  return static_cast<uint8_t>(0xC0 | (divisor & 0x3F));
}

// `divisors` indexed by channel; the commands carry channels 1, 2, 3, 0 in bytes 1 to 4.
std::array<uint8_t, 11> rate_high_command(const int32_t (&divisors)[4]);
std::array<uint8_t, 12> rate_low_command(const int32_t (&divisors)[4]);

}  // namespace qx
