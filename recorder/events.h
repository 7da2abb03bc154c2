// The experiment's events while a recording runs: datagrams to a loopback UDP port, or lines of a
// named pipe or of a file that grows. Each is timed on arrival by the host's steady clock, unless
// its sender gives the time itself with a prefix:
//   "@utc=1765238400.125 text"     seconds since 1970 on the host's system clock
//   "@steady=12345.678 text"       seconds of the host's steady clock (CLOCK_MONOTONIC)
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
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
  bool utc_given = false;           // the sender gave "@utc=" (utc may then be anything)
  std::string refused;              // why it cannot be placed (a prefix that does not parse)
  bool cut = false;                 // a line longer than a source keeps: its start only
  double utc_time = 0;              // filled in when placed: the system time of the event
  std::array<uint64_t, 4> index{};  // the sample of each channel that is on, when placed
};

// Valid UTF-8: each byte that begins no well-formed character becomes U+FFFD.
std::string valid_utf8(const std::string &raw);
// The text as every format can hold it: valid UTF-8, control characters (newlines, EDF+'s
// separators) as spaces, cut to `bytes` at a character's start.
std::string event_text(const std::string &raw, size_t bytes);
// An arriving line or datagram as an event: the sender's "@utc=" or "@steady=" time, if it gives
// one, else `arrival`; a prefix that does not parse leaves the event refused, with the reason.
Event parse_event(const std::string &line, double arrival);

// Seconds of the steady clock now, as the reader's clock map counts them.
double steady_now();

// Where events come from, read on a thread of their own. Pipes and files are followed as
// `tail -F` follows them: a file cut short is read from its new start, a file replaced under
// its name is opened again, and a last line without its end is taken when the sources stop.
// Each pass reads a bounded amount from each source, so none that never stops (/dev/zero) can
// hold the thread or grow its memory.
class LslMarkerInlet;

class EventSources {
 public:
  EventSources();
  ~EventSources();
  EventSources(const EventSources &) = delete;
  EventSources &operator=(const EventSources &) = delete;

  // "udp:PORT", "lsl:NAME" (an LSL string stream) or a path (a named pipe, or a file whose new
  // lines are events). Opened at once, so a port in use or a missing file is said before the
  // recording starts. `bad_argument` is set when the source itself is wrong (no such file, a
  // folder, unreadable, a bad port).
  std::string add(const std::string &source, bool &bad_argument);
  bool empty() const { return sources_.empty() && lsl_.empty(); }
  void start();
  // Takes what the sources hold still, and ends the thread (within a pass: well under a second).
  void stop();
  // The events that have come since the last call, in order of arrival.
  std::vector<Event> take();
  // What the user should hear of the sources while they run (an LSL stream gone or back).
  std::vector<std::string> take_notes();
  // Datagrams the kernel dropped because the socket's buffer was full.
  uint64_t dropped() const { return dropped_.load(); }

  // Lines kept at most; the rest of a longer line is skipped to its end.
  static constexpr size_t kLineBytes = 4096;

 private:
  enum class Kind { kDatagrams, kPipe, kFile };
  struct Source {
    Kind kind = Kind::kFile;
    int fd = -1;
    std::string path;
    std::string partial;    // a line not yet ended
    bool skipping = false;  // in the rest of a line too long, until its end
    uint64_t offset = 0;    // files: bytes read so far
    uint64_t dev = 0, inode = 0;
    uint32_t kernel_drops = 0;  // the socket's own count, as last seen
  };
  void run();
  // One bounded read of a source; false when it had nothing more now.
  bool read_some(Source &s, std::vector<char> &buf);
  void take_bytes(Source &s, const char *data, size_t n);
  void follow(Source &s, std::vector<char> &buf);
  void arrive(const std::string &line, bool cut = false);

  std::vector<Source> sources_;
  std::vector<std::unique_ptr<LslMarkerInlet>> lsl_;  // lsl:NAME, each on its own thread
  std::vector<std::string> notes_;                    // said at the next take_notes()
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Event> events_;
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace qx470rec
