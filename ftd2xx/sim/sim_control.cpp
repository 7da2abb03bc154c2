// The simulated amplifier's control calls (qxsim.h): its state, its knobs and faults, and what
// the library did to it, for tests and users' own test rigs.
#include <algorithm>
#include <cstring>

#include "sim_state.h"

using namespace qxsim::d2xx;
using qxsim::Clock;

extern "C" {

void qxsim_reset(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.power_on();
  s.cv.notify_all();
}

void qxsim_set_attached(int attached) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.attached = attached != 0;
  if (!s.attached) {
    s.amp.stop_stream(Clock::now());
    s.amp.control_out.clear();
  }
  s.cv.notify_all();
}

void qxsim_set_powered(int powered) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.amp.powered = powered != 0;
}

void qxsim_set_speed(double factor) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.amp.set_speed(factor, Clock::now());
  s.cv.notify_all();
}

void qxsim_set_signal(int test_pattern) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.amp.test_pattern = test_pattern != 0;
}

unsigned qxsim_pattern_value(int channel, unsigned n) {
  return qxsim::pattern_value(channel, n);
}

void qxsim_drop_words(unsigned long long words) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.amp.drop_next_words(words);
  s.cv.notify_all();
}

void qxsim_set_stream_limit(unsigned long long words) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.amp.stream_limit = words;
  s.cv.notify_all();
}

int qxsim_eeprom_read(unsigned char *buf, int len) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (!buf || len <= 0) return 0;
  const int n = std::min(len, QXSIM_EEPROM_UA_SIZE);
  std::memcpy(buf, s.amp.user_area.data(), static_cast<size_t>(n));
  return n;
}

int qxsim_eeprom_write(const unsigned char *buf, int len) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (!buf || len <= 0) return 0;
  const int n = std::min(len, QXSIM_EEPROM_UA_SIZE);
  std::memcpy(s.amp.user_area.data(), buf, static_cast<size_t>(n));
  return n;
}

void qxsim_set_extra_devices(int count) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.extra_devices = std::clamp(count, 0, 8);
}

void qxsim_set_description(const char *description) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.description = description ? std::string(description).substr(0, 63) : kDefaultDescription;
}

void qxsim_set_timeout_scale(double factor) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.timeout_scale = factor > 0 ? factor : 1.0;
}

void qxsim_set_echo_fault(int silent, int wrong) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.echo_silent = std::max(silent, 0);
  s.echo_wrong = std::max(wrong, 0);
}

void qxsim_set_fault(int call, int index, unsigned status, int times) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (call < QXSIM_CALL_OPEN || call > QXSIM_CALL_GET_MODEM_STATUS || index < -1 || index > 1)
    return;
  s.faults[static_cast<size_t>(call)][static_cast<size_t>(index + 1)] = {status, times};
}

void qxsim_set_command_fault(int command, unsigned status, int written) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (command < QXSIM_CMD_STOP || command > QXSIM_CMD_RATE_LOW) return;
  s.command_faults[static_cast<size_t>(command)] = {status, written};
}

void qxsim_log_clear(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.log.clear();
  s.call_counts = {};
}

int qxsim_call_count(int call, int index, int failed_only) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (call < 0 || call >= 16 || index < -1 || index > 1) return 0;
  int n = 0;
  for (int i = 0; i < 3; ++i) {
    if (index != -1 && i != index + 1) continue;
    const auto &c = s.call_counts[static_cast<size_t>(call)][static_cast<size_t>(i)];
    n += c[1] + (failed_only ? 0 : c[0]);
  }
  return n;
}

int qxsim_log_count(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return static_cast<int>(s.log.size());
}

int qxsim_log_get(int i, qxsim_event *event) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (!event || i < 0 || static_cast<size_t>(i) >= s.log.size()) return 0;
  *event = s.log[static_cast<size_t>(i)];
  return 1;
}

int qxsim_open_handles(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return static_cast<int>(
      std::count_if(s.handles.begin(), s.handles.end(), [](const Handle &h) { return h.in_use; }));
}

int qxsim_streaming(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return s.amp.streaming() ? 1 : 0;
}

int qxsim_shunt_on(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return s.amp.shunt ? 1 : 0;
}

unsigned long long qxsim_words_sent(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return s.amp.words_sent(Clock::now());
}

unsigned long long qxsim_lost_words(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return s.amp.lost_words(Clock::now());
}

int qxsim_divisor(int channel) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return channel >= 0 && channel < 4 ? s.amp.divisors()[static_cast<size_t>(channel)] : 0;
}

}  // extern "C"
