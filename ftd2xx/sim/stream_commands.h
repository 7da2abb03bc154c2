// Parser for the commands the library writes to the stream channel. Pure: it keeps only its own
// parse state, so it can be fed arbitrary bytes (and fuzzed) without a device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qxsim {

enum class StreamCommand { kNone, kStop, kStart, kRateHigh, kRateLow };

struct ParsedCommand {
  StreamCommand kind = StreamCommand::kNone;
  // Channel bytes in the order the command carries them: channels 1, 2, 3, 0.
  std::array<uint8_t, 4> channel_bytes{};
};

class StreamCommandParser {
 public:
  // Feeds one byte; returns the command that this byte completed, if any.
  ParsedCommand feed(uint8_t byte);
  void reset() { length_ = 0; }

 private:
  ParsedCommand restart_with(uint8_t byte);
  std::array<uint8_t, 12> buf_{};
  std::size_t length_ = 0;    // bytes of the command collected so far
  std::size_t expected_ = 0;  // total length of the command being collected
};

// Divisor of a channel from its rate-high and rate-low channel bytes.
inline int divisor_from_bytes(uint8_t high, uint8_t low) {
  return ((high & 0x03) << 6) | (low & 0x3F);
}

}  // namespace qxsim
