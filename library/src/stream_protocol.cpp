#include "stream_protocol.h"

namespace qx {

namespace {
constexpr int kVisitOrder[4] = {1, 2, 3, 0};

template <std::size_t N>
std::array<uint8_t, N> rate_command(uint8_t command, const int32_t (&divisors)[4],
                                    uint8_t (*channel_byte)(int32_t)) {
  std::array<uint8_t, N> cmd{};
  cmd[0] = command;
  for (int i = 0; i < 4; ++i) cmd[1 + i] = channel_byte(divisors[kVisitOrder[i]]);
  for (std::size_t i = 5; i < N - 1; ++i) cmd[i] = 0xC0;
  cmd[N - 1] = 0x00;
  return cmd;
}
uint8_t high(int32_t d) {
  return high_channel_byte(d);
}
uint8_t low(int32_t d) {
  return low_channel_byte(d);
}
}  // namespace

std::array<uint8_t, 11> rate_high_command(const int32_t (&divisors)[4]) {
  return rate_command<11>(0x8B, divisors, high);
}

std::array<uint8_t, 12> rate_low_command(const int32_t (&divisors)[4]) {
  return rate_command<12>(0x80, divisors, low);
}

}  // namespace qx
