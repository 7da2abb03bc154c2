#include "stream_commands.h"

namespace qxsim {

namespace {
constexpr uint8_t kStateByte = 0x4A;
constexpr uint8_t kRateHighByte = 0x8B;
constexpr uint8_t kRateLowByte = 0x80;
constexpr bool is_data_byte(uint8_t b) {
  return (b & 0xC0) == 0xC0;
}
}  // namespace

ParsedCommand StreamCommandParser::restart_with(uint8_t byte) {
  length_ = 0;
  switch (byte) {
    case kStateByte:
      expected_ = 3;
      break;
    case kRateHighByte:
      expected_ = 11;
      break;
    case kRateLowByte:
      expected_ = 12;
      break;
    default:
      return {};  // not a command byte: ignored
  }
  buf_[length_++] = byte;
  return {};
}

ParsedCommand StreamCommandParser::feed(uint8_t byte) {
  if (length_ == 0) return restart_with(byte);

  const std::size_t pos = length_;
  bool ok;
  if (pos == expected_ - 1) {
    ok = byte == 0x00;
  } else if (buf_[0] == kStateByte) {
    ok = byte == 0xC0 || byte == 0xC1;
  } else if (pos <= 4) {
    ok = is_data_byte(byte);
  } else {
    ok = byte == 0xC0;  // filler
  }
  if (!ok) return restart_with(byte);  // a broken command is dropped; the byte may begin a new one

  buf_[length_++] = byte;
  if (length_ < expected_) return {};

  ParsedCommand cmd;
  if (buf_[0] == kStateByte) {
    cmd.kind = buf_[1] == 0xC1 ? StreamCommand::kStart : StreamCommand::kStop;
  } else {
    cmd.kind = buf_[0] == kRateHighByte ? StreamCommand::kRateHigh : StreamCommand::kRateLow;
    for (std::size_t i = 0; i < 4; ++i) cmd.channel_bytes[i] = buf_[1 + i];
  }
  length_ = 0;
  return cmd;
}

}  // namespace qxsim
