#include "amplifier.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>

namespace qxsim {

namespace {

// One sine wave per channel: what the amplifier sees at its inputs in waveform mode.
struct Waveform {
  double amplitude_v, frequency_hz, offset_v;
};
constexpr std::array<Waveform, 4> kWaveforms = {{
    {1.0, 7.3, 0.050},
    {2.5, 1.7, -0.030},
    {5.0, 0.4, 0.100},
    {0.5, 0.11, -0.080},
}};
constexpr double kVoltsPerCount = 312500e-9;
// A stream at the lossy rate loses this many words once this many have been made: after its
// first block, so that it is a loss in the data and not a stream that never gets going.
constexpr uint64_t kLossyRateAfter = 20000;
constexpr uint64_t kLossyRateWords = 100;

}  // namespace

Amplifier::Amplifier(uint64_t buffer_bytes, uint64_t ticks_per_packet)
    : buffer_bytes_(buffer_bytes), ticks_per_packet_(std::max<uint64_t>(ticks_per_packet, 1)) {
  power_on();
}

void Amplifier::power_on() {
  powered = true;
  test_pattern = false;
  shorted_inputs = false;
  stuck_channel = railed_channel = -1;
  gain = 1.0;
  shunt_stuck = false;
  noise_counts = hum_volts = 0;
  lossy_rate_ks = 0;
  lose_at_word_ = 0;
  stream_limit = 0;
  speed_ = 1.0;
  control_out.clear();
  payload_pending_ = 0;
  autozeroed = false;
  shunt = false;
  overrun_ = false;
  drop_pending_ = 0;
  user_area.fill(0xFF);
  static const char kRecord[] = "cal:312500 ";  // with its terminating zero: 12 bytes
  std::memcpy(user_area.data(), kRecord, sizeof kRecord);
  parser_.reset();
  rate_high_.fill(0xC0);
  rate_low_.fill(0xC0);
  divisors_ = {};
  pattern_ = {};
  streaming_ = false;
  produced_frozen_ = tick_base_ = read_bytes_ = lost_words_ = 0;
}

void Amplifier::apply_environment() {
  if (const char *v = std::getenv("QXSIM_POWERED")) powered = std::atoi(v) != 0;
  if (const char *v = std::getenv("QXSIM_SIGNAL")) test_pattern = std::atoi(v) != 0;
  if (const char *v = std::getenv("QXSIM_SPEED")) speed_ = std::max(0.0, std::atof(v));
  if (const char *v = std::getenv("QXSIM_INPUTS")) shorted_inputs = std::strcmp(v, "shorted") == 0;
  // Channels as people number them, 1 to 4.
  auto channel = [](const char *name) {
    const char *v = std::getenv(name);
    const int c = v ? std::atoi(v) : 0;
    return c >= 1 && c <= 4 ? c - 1 : -1;
  };
  stuck_channel = channel("QXSIM_STUCK");
  railed_channel = channel("QXSIM_RAILED");
  if (const char *v = std::getenv("QXSIM_GAIN")) gain = std::clamp(std::atof(v), 0.0, 10.0);
  if (const char *v = std::getenv("QXSIM_SHUNT_STUCK")) shunt_stuck = std::atoi(v) != 0;
  if (const char *v = std::getenv("QXSIM_NOISE")) noise_counts = std::clamp(std::atof(v), 0.0, 1e4);
  if (const char *v = std::getenv("QXSIM_HUM")) hum_volts = std::clamp(std::atof(v), 0.0, 10.0);
  if (const char *v = std::getenv("QXSIM_LOSE_AT")) lossy_rate_ks = std::atoi(v);
  if (const char *v = std::getenv("QXSIM_EEPROM")) {
    user_area.fill(0xFF);
    const std::size_t n = std::min(std::strlen(v) + 1, user_area.size());
    std::memcpy(user_area.data(), v, n);
  }
}

void Amplifier::set_speed(double factor, Clock::time_point now) {
  if (streaming_ && !pattern_.empty()) {
    if (speed_ > 0)
      tick_base_ = ticks_now(now);
    else
      tick_base_ = pattern_.ticks_for_words((read_bytes_ + 1) / 2);
    time_base_ = now;
  }
  speed_ = factor < 0 ? 0 : factor;
}

// ---- control channel ----

void Amplifier::control_write(const uint8_t *bytes, std::size_t n, Reply reply) {
  if (!powered) return;
  auto answer = [&](uint8_t echo, bool with_result, uint8_t result) {
    if (reply == Reply::kSilent) return;
    control_out.push_back(reply == Reply::kWrong ? static_cast<uint8_t>(~echo) : echo);
    if (with_result) control_out.push_back(result);
  };
  for (std::size_t i = 0; i < n; ++i) {
    const uint8_t b = bytes[i];
    if (payload_pending_ > 0) {
      payload_xor_ ^= b;
      if (--payload_pending_ == 0) answer(payload_command_, true, payload_xor_);
      continue;
    }
    if ((b & 0xF0) == 0x90) {
      payload_command_ = b;
      payload_pending_ = (b & 0x0F) + 1;
      payload_xor_ = 0;
      continue;
    }
    if (reply == Reply::kNormal) {
      if (b == 0x10) autozeroed = true;
      if (shunt_stuck && (b == 0x40 || b == 0x50)) {
        answer(b, false, 0);
        continue;
      }
      if (b == 0x40) shunt = true;
      if (b == 0x50) shunt = false;
    }
    answer(b, false, 0);
  }
}

void Amplifier::control_purge() {
  control_out.clear();
  payload_pending_ = 0;  // a half-sent payload is dropped with the rest
}

// ---- stream channel ----

uint64_t Amplifier::ticks_now(Clock::time_point now) const {
  const double secs = std::chrono::duration<double>(now - time_base_).count();
  return tick_base_ + static_cast<uint64_t>(std::max(0.0, secs) * kTicksPerSecond * speed_);
}

uint64_t Amplifier::limit_words(uint64_t w) const {
  return stream_limit ? std::min(w, stream_limit) : w;
}

uint64_t Amplifier::produced(Clock::time_point now) const {
  if (!streaming_) return produced_frozen_;
  if (pattern_.empty()) return 0;
  if (speed_ <= 0) return limit_words(kUnbounded);
  const uint64_t ticks = ticks_now(now) / ticks_per_packet_ * ticks_per_packet_;
  return limit_words(pattern_.words_after_ticks(ticks));
}

uint64_t Amplifier::words_sent(Clock::time_point now) const {
  const uint64_t words = produced(now);
  return words == kUnbounded ? (read_bytes_ + 1) / 2 : words;
}

uint64_t Amplifier::available(Clock::time_point now) {
  const uint64_t words = produced(now);
  if (words == kUnbounded) {
    if (drop_pending_ && streaming_) {
      drop(drop_pending_);
      drop_pending_ = 0;
    }
    return kUnbounded;
  }
  const uint64_t total = words * 2;
  if (total - read_bytes_ > buffer_bytes_ && speed_ > 0) {
    const uint64_t drop = total - read_bytes_ - buffer_bytes_;
    lost_words_ += (drop + 1) / 2;
    read_bytes_ += (drop + 1) & ~uint64_t{1};
    overrun_ = true;
  }
  if (lose_at_word_ && words >= lose_at_word_) {
    drop_pending_ += 2 * kLossyRateWords;
    lose_at_word_ = 0;
  }
  if (drop_pending_ && total > read_bytes_) {
    const uint64_t n = std::min(drop_pending_, total - read_bytes_);
    drop(n);
    drop_pending_ -= n;
  }
  return total > read_bytes_ ? total - read_bytes_ : 0;
}

void Amplifier::discard(Clock::time_point now) {
  const uint64_t avail = available(now);
  if (avail != kUnbounded) read_bytes_ += avail;
}

Clock::time_point Amplifier::next_packet_time(Clock::time_point now) const {
  if (!streaming_ || pattern_.empty() || speed_ <= 0) return Clock::time_point::max();
  const uint64_t next_ticks = (ticks_now(now) / ticks_per_packet_ + 1) * ticks_per_packet_;
  const double secs = static_cast<double>(next_ticks - tick_base_) / (kTicksPerSecond * speed_);
  return time_base_ +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(secs));
}

uint16_t Amplifier::word_value(uint64_t w) const {
  const auto &slots = pattern_.slots;
  const uint64_t frame = w / slots.size();
  const auto &slot = slots[w % slots.size()];
  const uint64_t n = frame * pattern_.per_frame[slot.channel] + slot.rank;
  if (test_pattern) return pattern_value(slot.channel, n);
  if (slot.channel == railed_channel) return 65535;
  if (slot.channel == stuck_channel) return 33000;
  const Waveform &wf = kWaveforms[slot.channel];
  const double t = static_cast<double>(frame * pattern_.ticks + slot.tick) / kTicksPerSecond;
  double volts = 0;
  if (!shorted_inputs)
    volts = wf.amplitude_v * std::sin(2.0 * std::numbers::pi * wf.frequency_hz * t);
  if (!autozeroed) volts += wf.offset_v;
  if (hum_volts > 0) volts += hum_volts * std::sin(2.0 * std::numbers::pi * 50.0 * t);
  if (shunt) volts += kShuntStepCounts * kVoltsPerCount;
  // A little deterministic noise of a few counts.
  const uint64_t h = (w + 1) * 0x9E3779B97F4A7C15ull;
  double noise = static_cast<int>((h >> 59) & 7) - 3;
  if (noise_counts > 0) {
    // Near-normal: the sum of three uniform draws has unit variance once centred and doubled.
    double sum = 0;
    for (uint64_t k = 1; k <= 3; ++k)
      sum +=
          static_cast<double>(((h ^ (k * 0xD1B54A32D192ED03ull)) * 0x94D049BB133111EBull) >> 11) /
          9007199254740992.0;
    noise += noise_counts * 2.0 * (sum - 1.5);
  }
  const double counts = 32768.0 + std::round(gain * volts / kVoltsPerCount + noise);
  return static_cast<uint16_t>(std::clamp(counts, 0.0, 65535.0));
}

void Amplifier::read_stream(uint8_t *dst, uint64_t n) {
  if (n == 0) return;
  uint64_t pos = read_bytes_;
  const uint64_t end = pos + n;
  if (pos & 1) *dst++ = static_cast<uint8_t>(word_value(pos / 2) >> 8), ++pos;
  if (test_pattern) {
    // Fast path for unpaced streaming: walk the frame instead of dividing per word.
    const auto &slots = pattern_.slots;
    uint64_t w = pos / 2;
    uint64_t frame = w / slots.size();
    std::size_t s = w % slots.size();
    while (pos + 2 <= end) {
      const auto &slot = slots[s];
      const uint16_t v =
          pattern_value(slot.channel, frame * pattern_.per_frame[slot.channel] + slot.rank);
      dst[0] = static_cast<uint8_t>(v);
      dst[1] = static_cast<uint8_t>(v >> 8);
      dst += 2;
      pos += 2;
      if (++s == slots.size()) s = 0, ++frame;
    }
  } else {
    for (; pos + 2 <= end; pos += 2, dst += 2) {
      const uint16_t v = word_value(pos / 2);
      dst[0] = static_cast<uint8_t>(v);
      dst[1] = static_cast<uint8_t>(v >> 8);
    }
  }
  if (pos < end) *dst = static_cast<uint8_t>(word_value(pos / 2)), ++pos;
  read_bytes_ = end;
}

void Amplifier::start_stream(Clock::time_point now) {
  for (int i = 0; i < 4; ++i) {
    const int channel = (i + 1) % 4;  // bytes 1..4 carry channels 1, 2, 3, 0
    divisors_[static_cast<std::size_t>(channel)] = divisor_from_bytes(
        rate_high_[static_cast<std::size_t>(i)], rate_low_[static_cast<std::size_t>(i)]);
  }
  pattern_ = make_slot_pattern(divisors_, kMaxFrameTicks);
  streaming_ = true;
  lose_at_word_ = 0;
  for (int d : divisors_)
    if (lossy_rate_ks > 0 && d > 0 && 100 / d == lossy_rate_ks) lose_at_word_ = kLossyRateAfter;
  read_bytes_ = 0;
  lost_words_ = 0;
  produced_frozen_ = 0;
  tick_base_ = 0;
  time_base_ = now;
}

void Amplifier::stop_stream(Clock::time_point now) {
  if (!streaming_) return;
  const uint64_t words = produced(now);
  // Unpaced, the amplifier has produced exactly what the host read.
  produced_frozen_ = words == kUnbounded ? (read_bytes_ + 1) / 2 : words;
  streaming_ = false;
}

void Amplifier::stream_write(const uint8_t *bytes, std::size_t n, Clock::time_point now) {
  for (std::size_t i = 0; i < n; ++i) {
    const ParsedCommand cmd = parser_.feed(bytes[i]);
    switch (cmd.kind) {
      case StreamCommand::kStop:
        stop_stream(now);
        break;
      case StreamCommand::kStart:
        start_stream(now);
        break;
      case StreamCommand::kRateHigh:
        rate_high_ = cmd.channel_bytes;
        break;
      case StreamCommand::kRateLow:
        rate_low_ = cmd.channel_bytes;
        break;
      case StreamCommand::kNone:
        break;
    }
  }
}

}  // namespace qxsim
