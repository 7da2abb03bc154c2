#include "events.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "lsl_inlet.h"

namespace qx470rec {

namespace {

// The drops the kernel counts for a UDP socket, from /proc/net/udp (0 when it cannot be read).
uint32_t socket_drops(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return 0;
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream in(line);
    std::string field;
    std::vector<std::string> fields;
    while (in >> field) fields.push_back(field);
    // sl local rem st queues tr retrnsmt uid timeout inode ref pointer drops
    if (fields.size() >= 13 && fields[9] == std::to_string(st.st_ino))
      return static_cast<uint32_t>(std::strtoul(fields[12].c_str(), nullptr, 10));
  }
  return 0;
}

// The length of the well-formed UTF-8 sequence at s[i], or 0: no overlong forms, no surrogates,
// nothing past U+10FFFF, as every strict reader (MNE, pandas, numpy) demands.
size_t utf8_sequence(const std::string &s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = byte(i);
  if (b < 0x80) return 1;
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size() || byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

std::string valid_utf8(const std::string &raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    if (const size_t n = utf8_sequence(raw, i)) {
      out.append(raw, i, n);
      i += n;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD for each byte that begins no character
      ++i;
    }
  }
  return out;
}

std::string event_text(const std::string &raw, size_t bytes) {
  std::string t = valid_utf8(raw);
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

Event parse_event(const std::string &line, double arrival) {
  Event e;
  e.steady = arrival;
  std::string text = line;
  // A sender's own time: "@utc=SECONDS " or "@steady=SECONDS ".
  for (const char *prefix : {"@utc=", "@steady="}) {
    const size_t n = std::strlen(prefix);
    if (text.compare(0, n, prefix) != 0) continue;
    const size_t space = text.find(' ', n);
    const std::string number = text.substr(n, space == std::string::npos ? space : space - n);
    char *end = nullptr;
    errno = 0;
    const double t = std::strtod(number.c_str(), &end);
    if (number.empty() || *end != '\0' || errno == ERANGE)
      e.refused = "its time '" + event_text(text.substr(0, n + number.size()), 64) +
                  "' is not a number of seconds";
    else if (prefix[1] == 'u')
      e.utc = t, e.utc_given = true;
    else
      e.steady = t;
    text = space == std::string::npos ? std::string() : text.substr(space + 1);
    break;
  }
  e.text = event_text(text, kEventTextBytes);
  return e;
}

EventSources::EventSources() = default;

EventSources::~EventSources() {
  stop();
  for (const Source &s : sources_) ::close(s.fd);
}

std::string EventSources::add(const std::string &source, bool &bad_argument) {
  bad_argument = true;
  Source s;
  s.path = source;
  if (source.rfind("lsl:", 0) == 0) {
    const std::string name = source.substr(4);
    if (name.empty() || name.find_first_of("'\"") != std::string::npos)
      return "invalid event source '" + source + "': expected lsl:NAME, a stream's name";
    bad_argument = false;
    std::string config_error;
    LslConfig config = load_lsl_config(config_error);
    if (!config_error.empty()) notes_.push_back("LSL's settings: " + config_error);
    lsl_.push_back(std::make_unique<LslMarkerInlet>(name, std::move(config)));
    return {};
  }
  if (source.rfind("udp:", 0) == 0) {
    char *end = nullptr;
    const long port = std::strtol(source.c_str() + 4, &end, 10);
    if (source.size() == 4 || *end != '\0' || port < 1 || port > 65535)
      return "invalid event source '" + source + "': expected udp:PORT, PORT 1 to 65535";
    bad_argument = false;
    s.kind = Kind::kDatagrams;
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
    // Room for bursts, and the kernel's count of what did not fit.
    const int one = 1, room = 4 << 20;
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    ::setsockopt(s.fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
  } else {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0)
      return "cannot read events from '" + source + "': " + std::strerror(errno);
    if (S_ISDIR(st.st_mode))
      return "cannot read events from '" + source + "': it is a folder, not a pipe or a file";
    // A named pipe is opened for writing too, so that it never reads as ended between senders.
    const bool fifo = S_ISFIFO(st.st_mode);
    s.kind = fifo ? Kind::kPipe : Kind::kFile;
    s.fd = ::open(source.c_str(), (fifo ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (s.fd < 0) return "cannot read events from '" + source + "': " + std::strerror(errno);
    s.dev = st.st_dev;
    s.inode = st.st_ino;
    // A file that grows: its new lines only.
    if (!fifo) {
      const off_t end = ::lseek(s.fd, 0, SEEK_END);
      s.offset = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
  }
  sources_.push_back(std::move(s));
  bad_argument = false;
  return {};
}

void EventSources::start() {
  for (auto &inlet : lsl_) inlet->start();
  if (sources_.empty() || thread_.joinable()) return;
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  thread_ = std::thread([this] { run(); });
}

void EventSources::stop() {
  for (auto &inlet : lsl_) inlet->stop();
  if (!thread_.joinable()) return;
  const char c = 'x';
  (void)::write(wake_[1], &c, 1);
  thread_.join();
  ::close(wake_[0]);
  ::close(wake_[1]);
  // The kernel tells its count of drops with the next datagram received: drops after the last
  // one (a burst that ended with the buffer full) are read from its table of sockets instead.
  for (Source &s : sources_)
    if (s.kind == Kind::kDatagrams) {
      const uint32_t drops = socket_drops(s.fd);
      if (drops > s.kernel_drops) dropped_ += drops - s.kernel_drops;
      s.kernel_drops = std::max(drops, s.kernel_drops);
    }
}

std::vector<Event> EventSources::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Event> out;
  out.swap(events_);
  for (auto &inlet : lsl_)
    for (Event &e : inlet->take()) out.push_back(std::move(e));
  return out;
}

std::vector<std::string> EventSources::take_notes() {
  std::vector<std::string> notes;
  notes.swap(notes_);
  for (auto &inlet : lsl_)
    for (std::string &n : inlet->take_notes()) notes.push_back(std::move(n));
  return notes;
}

void EventSources::arrive(const std::string &line, bool cut) {
  Event e = parse_event(line, steady_now());
  e.cut = cut;
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(e));
}

void EventSources::take_bytes(Source &s, const char *data, size_t n) {
  for (size_t i = 0; i < n;) {
    const char *nl = static_cast<const char *>(std::memchr(data + i, '\n', n - i));
    const size_t len = nl ? static_cast<size_t>(nl - (data + i)) : n - i;
    if (!s.skipping) {
      const size_t keep = std::min(len, kLineBytes - std::min(kLineBytes, s.partial.size()));
      s.partial.append(data + i, keep);
      if (keep < len || (!nl && s.partial.size() >= kLineBytes)) {
        // One event of the line's start; its rest is passed over up to its end.
        arrive(s.partial, true);
        s.partial.clear();
        s.skipping = true;
      }
    }
    if (!nl) break;
    if (s.skipping)
      s.skipping = false;
    else {
      arrive(s.partial);
      s.partial.clear();
    }
    i += len + 1;
  }
}

bool EventSources::read_some(Source &s, std::vector<char> &buf) {
  if (s.kind == Kind::kDatagrams) {
    char control[CMSG_SPACE(sizeof(uint32_t))];
    iovec iov{buf.data(), buf.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(s.fd, &msg, 0);
    if (n < 0) return false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
        uint32_t drops = 0;
        std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
        dropped_ += static_cast<uint32_t>(drops - s.kernel_drops);
        s.kernel_drops = drops;
      }
    arrive(std::string(buf.data(), static_cast<size_t>(n)));
    return true;
  }
  const ssize_t n = ::read(s.fd, buf.data(), buf.size());
  if (n <= 0) return false;
  s.offset += static_cast<uint64_t>(n);
  take_bytes(s, buf.data(), static_cast<size_t>(n));
  return true;
}

// A followed file that was cut short is read from its new start; one replaced under its name
// is opened again, after what the old one still held.
void EventSources::follow(Source &s, std::vector<char> &buf) {
  struct stat now {};
  if (::fstat(s.fd, &now) == 0 && S_ISREG(now.st_mode) &&
      static_cast<uint64_t>(now.st_size) < s.offset) {
    ::lseek(s.fd, 0, SEEK_SET);
    s.offset = 0;
    s.partial.clear();
    s.skipping = false;
  }
  struct stat named {};
  if (::stat(s.path.c_str(), &named) != 0 || S_ISDIR(named.st_mode)) return;
  if (static_cast<uint64_t>(named.st_dev) == s.dev &&
      static_cast<uint64_t>(named.st_ino) == s.inode)
    return;
  const int fd = ::open(s.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  // What was written to the old file before the new one came, to its end.
  for (int k = 0; k < 1024 && read_some(s, buf); ++k) {
  }
  if (!s.partial.empty() && !s.skipping) arrive(s.partial);
  ::close(s.fd);
  s.fd = fd;
  s.dev = static_cast<uint64_t>(named.st_dev);
  s.inode = static_cast<uint64_t>(named.st_ino);
  s.offset = 0;
  s.partial.clear();
  s.skipping = false;
}

void EventSources::run() {
  // Pipes and sockets wake the poll; files do not when they grow, so they are looked at every
  // 10 ms (and a file that never ends, such as /dev/zero, is read at that pace only).
  std::vector<pollfd> polled;
  std::vector<size_t> of;  // the source of each polled descriptor
  for (size_t i = 0; i < sources_.size(); ++i)
    if (sources_[i].kind != Kind::kFile) {
      polled.push_back({sources_[i].fd, POLLIN, 0});
      of.push_back(i);
    }
  polled.push_back({wake_[0], POLLIN, 0});
  std::vector<char> buf(65536);
  // Reads of each source per pass: enough for any burst of events, and little enough that a
  // file that never ends costs a few MB/s of reading, no more.
  constexpr int kReadsPerPass = 64, kFileReadsPerPass = 4;
  bool last = false;
  while (!last) {
    ::poll(polled.data(), polled.size(), 10);
    // The stop: one more pass for what was sent before it, then the lines without their end.
    last = (polled.back().revents & POLLIN) != 0;
    for (Source &s : sources_) {
      const int reads = s.kind == Kind::kFile ? kFileReadsPerPass : kReadsPerPass;
      for (int k = 0; k < reads && read_some(s, buf); ++k) {
      }
      if (s.kind == Kind::kFile) follow(s, buf);
    }
  }
  for (Source &s : sources_)
    if (s.kind != Kind::kDatagrams && !s.partial.empty() && !s.skipping) {
      arrive(s.partial);
      s.partial.clear();
    }
}

}  // namespace qx470rec
