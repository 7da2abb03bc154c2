#include "events.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace qx470rec {

std::string event_text(const std::string &raw, size_t bytes) {
  std::string t = raw;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  for (char &ch : t)
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = ' ';
  if (t.size() > bytes) {
    size_t cut = bytes;
    // Not inside a UTF-8 sequence: back to the start of the character.
    while (cut > 0 && (static_cast<unsigned char>(t[cut]) & 0xC0) == 0x80) --cut;
    t.resize(cut);
  }
  return t;
}

double steady_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

EventSources::~EventSources() {
  stop();
  for (const Source &s : fds_) ::close(s.fd);
}

std::string EventSources::add(const std::string &source) {
  Source s;
  if (source.rfind("udp:", 0) == 0) {
    char *end = nullptr;
    const long port = std::strtol(source.c_str() + 4, &end, 10);
    if (source.size() == 4 || *end != '\0' || port < 1 || port > 65535)
      return "invalid event source '" + source + "': expected udp:PORT, PORT 1 to 65535";
    s.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // this machine's programs only
    if (s.fd < 0 || ::bind(s.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
      const std::string e = std::strerror(errno);
      if (s.fd >= 0) ::close(s.fd);
      return "cannot listen for events on " + source + " (127.0.0.1): " + e;
    }
    s.datagrams = true;
  } else {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0)
      return "cannot read events from '" + source + "': " + std::strerror(errno);
    // A named pipe is opened for writing too, so that it never reads as ended between senders.
    const bool fifo = S_ISFIFO(st.st_mode);
    s.fd = ::open(source.c_str(), (fifo ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (s.fd < 0) return "cannot read events from '" + source + "': " + std::strerror(errno);
    if (!fifo) ::lseek(s.fd, 0, SEEK_END);  // a file that grows: its new lines only
  }
  fds_.push_back(std::move(s));
  return {};
}

void EventSources::start() {
  if (fds_.empty() || thread_.joinable()) return;
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  thread_ = std::thread([this] { run(); });
}

void EventSources::stop() {
  if (!thread_.joinable()) return;
  const char c = 'x';
  (void)::write(wake_[1], &c, 1);
  thread_.join();
  ::close(wake_[0]);
  ::close(wake_[1]);
}

std::vector<Event> EventSources::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Event> out;
  out.swap(events_);
  return out;
}

void EventSources::arrive(const std::string &line) {
  Event e;
  e.steady = steady_now();  // first: the arrival is the event's time
  std::string text = line;
  // A sender's own time: "@utc=SECONDS " or "@steady=SECONDS ".
  for (const char *prefix : {"@utc=", "@steady="}) {
    const size_t n = std::strlen(prefix);
    if (text.compare(0, n, prefix) != 0) continue;
    char *end = nullptr;
    const double t = std::strtod(text.c_str() + n, &end);
    if (end == text.c_str() + n || (*end != ' ' && *end != '\0')) break;
    (prefix[1] == 'u' ? e.utc : e.steady) = t;
    text = *end ? std::string(end + 1) : std::string();
    break;
  }
  e.text = event_text(text, kEventTextBytes);
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(e));
}

void EventSources::run() {
  std::vector<pollfd> polled;
  for (const Source &s : fds_) polled.push_back({s.fd, POLLIN, 0});
  polled.push_back({wake_[0], POLLIN, 0});
  char buf[4096];
  for (;;) {
    // Files do not wake a poll when they grow: they are looked at every 10 ms.
    ::poll(polled.data(), polled.size(), 10);
    if (polled.back().revents & POLLIN) return;
    for (size_t i = 0; i < fds_.size(); ++i) {
      Source &s = fds_[i];
      for (;;) {
        const ssize_t n = ::read(s.fd, buf, sizeof buf);
        if (n <= 0) break;
        if (s.datagrams) {
          arrive(std::string(buf, static_cast<size_t>(n)));
          continue;
        }
        s.partial.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = s.partial.find('\n')) != std::string::npos;) {
          arrive(s.partial.substr(0, nl));
          s.partial.erase(0, nl + 1);
        }
        // A line with no end in sight is taken as it is rather than held without bound.
        if (s.partial.size() > 65536) {
          arrive(s.partial);
          s.partial.clear();
        }
      }
    }
  }
}

}  // namespace qx470rec
