// The experiment's events while a recording runs: datagrams to a loopback UDP port, or lines of a
// named pipe or of a file that grows. Each is timed on arrival by the host's steady clock, unless
// its sender gives the time itself with a prefix:
//   "@utc=1765238400.125 text"     seconds since 1970 on the host's system clock
//   "@steady=12345.678 text"       seconds of the host's steady clock (CLOCK_MONOTONIC)
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qx470rec {

// Room for an event's text; longer texts are cut (EDF+ keeps 40 bytes of it).
constexpr size_t kEventTextBytes = 200;

struct Event {
  std::string text;
  double steady = 0;                // when it happened, on the steady clock (seconds)
  double utc = -1;                  // or on the system clock, when the sender said so (else < 0)
  double utc_time = 0;              // filled in when placed: the system time of the event
  std::array<uint64_t, 4> index{};  // the sample of each channel that is on, when placed
};

// The text as every format can hold it: control characters (newlines, EDF+'s separators) become
// spaces, and it is cut to `bytes` at a character's start.
std::string event_text(const std::string &raw, size_t bytes);

// Seconds of the steady clock now, as the reader's clock map counts them.
double steady_now();

class EventSources {
 public:
  EventSources() = default;
  ~EventSources();
  EventSources(const EventSources &) = delete;
  EventSources &operator=(const EventSources &) = delete;

  // "udp:PORT" or a path (a named pipe, or a file whose new lines are events). Opened at once,
  // so a port in use or a missing file is said before the recording starts.
  std::string add(const std::string &source);
  bool empty() const { return fds_.empty(); }
  void start();
  void stop();
  // The events that have come since the last call, in order of arrival.
  std::vector<Event> take();

 private:
  struct Source {
    int fd = -1;
    bool datagrams = false;
    std::string partial;  // a line not yet ended
  };
  void run();
  void arrive(const std::string &line);

  std::vector<Source> fds_;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Event> events_;
};

}  // namespace qx470rec
