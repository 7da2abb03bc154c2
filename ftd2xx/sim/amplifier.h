// The simulated amplifier on its own, with no transport: the control-channel responder, the
// EEPROM user area it keeps its calibration record in, the stream-command parser and the stream
// it produces, paced by the clock readings it is given. Each face (the D2XX simulator, the
// emulated USB bridge) translates its transport to these calls and holds the lock around them.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "slot_pattern.h"
#include "stream_commands.h"

namespace qxsim {

using Clock = std::chrono::steady_clock;

inline constexpr std::size_t kUserAreaBytes = 88;
inline constexpr uint32_t kMaxFrameTicks = 10000;
inline constexpr int kShuntStepCounts = 3200;  // 1.000 V at 312500 nV per count
inline constexpr double kTicksPerSecond = 100000.0;
inline constexpr uint64_t kUnbounded = UINT64_MAX;

// The value of sample n of a channel in test-pattern mode.
inline uint16_t pattern_value(int channel, uint64_t n) {
  return static_cast<uint16_t>((n * 4 + static_cast<unsigned>(channel)) * 40503u + 12345u);
}

// How the amplifier answers the next control write: as it should, not at all, or garbled.
enum class Reply { kNormal, kSilent, kWrong };

class Amplifier {
 public:
  // `buffer_bytes`: what the receiving side holds before the oldest unread words are lost;
  // `ticks_per_packet`: how many 100 kS/s ticks of words become available at once.
  Amplifier(uint64_t buffer_bytes, uint64_t ticks_per_packet);

  // Power-on state: powered, real time, waveforms, the power-on user area, not streaming.
  void power_on();
  // The start-up settings a test rig gives a program it starts (QXSIM_* variables).
  void apply_environment();

  // ---- settings ----
  bool powered = true;
  bool test_pattern = false;
  // Nothing at the inputs but their offsets (no signal generator attached): what a self-check
  // measures noise and the shunt's step against.
  bool shorted_inputs = false;

  // ---- faults of the amplifier itself, for tests of a self-check (channel numbers 0 to 3) ----
  int stuck_channel = -1;     // always the same code
  int railed_channel = -1;    // always at the top of the range
  double gain = 1.0;          // of every channel, the shunt's step included
  bool shunt_stuck = false;   // 0x40 and 0x50 are answered but switch nothing
  double noise_counts = 0;    // extra noise, RMS in counts
  double hum_volts = 0;       // 50 Hz at every input, amplitude
  int lossy_rate_ks = 0;      // streams with a channel at this rate lose words once a block in
  uint64_t stream_limit = 0;  // words; 0 unlimited
  double speed() const { return speed_; }
  void set_speed(double factor, Clock::time_point now);

  // ---- control channel ----
  void control_write(const uint8_t *bytes, std::size_t n, Reply reply);
  std::deque<uint8_t> control_out;  // answers not yet taken by the host
  void control_purge();
  bool autozeroed = false;
  bool shunt = false;

  // ---- EEPROM user area ----
  std::array<uint8_t, kUserAreaBytes> user_area{};

  // ---- stream channel ----
  void stream_write(const uint8_t *bytes, std::size_t n, Clock::time_point now);
  // Bytes the host may take now (kUnbounded unpaced); drops and counts what overflowed.
  uint64_t available(Clock::time_point now);
  // Copies the next `n` stream bytes (no more than available) and takes them.
  void read_stream(uint8_t *dst, uint64_t n);
  // Throws away what is available now.
  void discard(Clock::time_point now);
  // Loses the next `n` available bytes, counted as lost words (a receiver that had no room).
  void drop(uint64_t n) {
    read_bytes_ += n;
    lost_words_ += (n + 1) / 2;
    if (n) overrun_ = true;
  }
  // Loses the next `words` words of the stream, whenever they come: a fault for tests.
  void drop_next_words(uint64_t words) { drop_pending_ += 2 * words; }
  // Whether words were lost since the last call: the receive overrun, latched until read.
  bool take_overrun() {
    const bool o = overrun_;
    overrun_ = false;
    return o;
  }
  // When the next packet of words comes out (max() when none will without a command).
  Clock::time_point next_packet_time(Clock::time_point now) const;
  // The stream stops as if the amplifier had been told to.
  void stop_stream(Clock::time_point now);

  bool streaming() const { return streaming_; }
  const std::array<int, 4> &divisors() const { return divisors_; }
  uint64_t words_sent(Clock::time_point now) const;
  uint64_t lost_words(Clock::time_point now) {
    available(now);
    return lost_words_;
  }
  uint64_t bytes_taken() const { return read_bytes_; }

 private:
  uint64_t ticks_now(Clock::time_point now) const;
  uint64_t limit_words(uint64_t w) const;
  uint64_t produced(Clock::time_point now) const;
  uint16_t word_value(uint64_t w) const;
  void start_stream(Clock::time_point now);

  const uint64_t buffer_bytes_;
  const uint64_t ticks_per_packet_;
  double speed_ = 1.0;

  int payload_pending_ = 0;
  uint8_t payload_command_ = 0;
  uint8_t payload_xor_ = 0;

  StreamCommandParser parser_;
  std::array<uint8_t, 4> rate_high_{};  // channels 1, 2, 3, 0
  std::array<uint8_t, 4> rate_low_{};
  std::array<int, 4> divisors_{};  // as received, by channel number
  SlotPattern pattern_;
  bool streaming_ = false;
  uint64_t produced_frozen_ = 0;  // words produced when the stream stopped
  uint64_t tick_base_ = 0;        // ticks produced before `time_base_` (paced)
  Clock::time_point time_base_{};
  uint64_t read_bytes_ = 0;  // stream bytes taken by the host or dropped since the start
  uint64_t lost_words_ = 0;
  uint64_t drop_pending_ = 0;  // bytes
  uint64_t lose_at_word_ = 0;  // the lossy rate's loss is due when this many words were made
  bool overrun_ = false;
};

}  // namespace qxsim
