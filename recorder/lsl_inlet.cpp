#include "lsl_inlet.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "lsl_wire.h"

namespace qx470rec {

namespace {

constexpr int kResolveMs = 500;
constexpr double kProbeEverySeconds = 5.0;
constexpr int kProbes = 8;
constexpr double kProbeSpacing = 0.01;  // seconds
constexpr double kProbeWait = 0.5;
constexpr size_t kMostWaiting = 100000;  // markers not yet taken by the session
constexpr size_t kFeedBytes = 1 << 20;   // unparsed bytes at most: no marker is larger

// A query's destinations: the scope's addresses on the shared port, each known peer's range.
std::vector<sockaddr_in> destinations(const LslConfig &c) {
  std::vector<sockaddr_in> to;
  auto add = [&to](const std::string &address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    if (lsl::ipv4_address(address, a.sin_addr)) to.push_back(a);
  };
  for (const std::string &a : c.scope_addresses()) add(a, c.multicast_port);
  for (const std::string &peer : c.known_peers)
    for (int p = c.base_port; p < c.base_port + c.port_range; ++p) add(peer, p);
  return to;
}

// Reads a length-prefixed string at `pos` of `in`; false when it has not all come yet.
bool take_string(const std::string &in, size_t &pos, std::string &out, bool &bad) {
  if (pos >= in.size()) return false;
  const uint8_t width = uint8_t(in[pos]);
  if (width != 1 && width != 4 && width != 8) {
    bad = true;
    return false;
  }
  if (in.size() < pos + 1 + width) return false;
  uint64_t len = 0;
  std::memcpy(&len, in.data() + pos + 1, width);  // little-endian, as both sides said
  if (len > kFeedBytes) {
    bad = true;
    return false;
  }
  if (in.size() < pos + 1 + width + len) return false;
  out.assign(in, pos + 1 + width, size_t(len));
  pos += 1 + width + size_t(len);
  return true;
}

}  // namespace

std::vector<std::pair<LslStreamInfo, sockaddr_in>> LslMarkerInlet::resolve(const LslConfig &config,
                                                                           const std::string &query,
                                                                           int wait_ms) {
  std::vector<std::pair<LslStreamInfo, sockaddr_in>> found;
  lsl::Socket s = lsl::any_udp(config.bind_address());
  if (!s) return found;
  const int one = 1;
  setsockopt(s.fd(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  const std::string id = std::to_string(std::random_device()() % 1000000000u);
  const std::string q =
      "LSL:shortinfo\r\n" + query + "\r\n" + std::to_string(s.port()) + " " + id + "\r\n";
  for (const sockaddr_in &to : destinations(config)) lsl::send_to(s, q, to);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                             end - std::chrono::steady_clock::now())
                             .count());
    if (left <= 0) break;
    pollfd p{s.fd(), POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    std::string text;
    sockaddr_in from{};
    if (!lsl::receive(s, text, from)) continue;
    const size_t nl = text.find("\r\n");
    if (nl == std::string::npos || text.substr(0, nl) != id) continue;
    std::optional<LslStreamInfo> info = parse_lsl_info(text.substr(nl + 2));
    if (!info) continue;
    bool seen = false;
    for (const auto &f : found) seen = seen || f.first.uid == info->uid;
    if (!seen) found.push_back({*info, from});
  }
  return found;
}

void LslMarkerInlet::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { run(); });
}

void LslMarkerInlet::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::vector<Event> LslMarkerInlet::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Event> out;
  out.swap(events_);
  return out;
}

std::vector<std::string> LslMarkerInlet::take_notes() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  out.swap(notes_);
  return out;
}

void LslMarkerInlet::note(const std::string &text) {
  std::lock_guard<std::mutex> lock(mutex_);
  notes_.push_back(text);
}

bool LslMarkerInlet::wait(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stop_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void LslMarkerInlet::run() {
  const auto started = std::chrono::steady_clock::now();
  bool told_missing = false, ever = false;
  // Within the lab's session, as liblsl's resolvers ask.
  const std::string query = "session_id='" + config_.session_id + "' and name='" + name_ + "'";
  while (wait(0)) {
    if (!feed_) {
      bool connected = false;
      for (const auto &[info, from] : resolve(config_, query, kResolveMs)) {
        if (info.channel_format != "string") {
          if (!told_missing)
            note("the LSL stream '" + name_ + "' holds " + info.channel_format +
                 " values, not markers (strings); waiting for a marker stream");
          told_missing = true;
          continue;
        }
        if ((connected = connect(info, from))) break;
      }
      connected_.store(connected);
      if (connected) {
        if (ever || told_missing) note("the LSL marker stream '" + name_ + "' is back");
        ever = true;
        told_missing = false;
      } else {
        if (!told_missing && std::chrono::steady_clock::now() - started > std::chrono::seconds(2)) {
          note(ever ? "the LSL marker stream '" + name_ + "' is gone; waiting for it to come back"
                    : "no LSL marker stream '" + name_ + "' yet; waiting for it");
          told_missing = true;
        }
        if (!wait(500)) break;
      }
      continue;
    }
    if (steady_now() - last_probe_ > kProbeEverySeconds) measure_correction();
    pollfd p{feed_.fd(), POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[65536];
    const ssize_t n = ::recv(feed_.fd(), buf, sizeof buf, 0);
    if (n > 0) in_.append(buf, size_t(n));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR) || !parse()) {
      feed_.close();
      connected_.store(false);
      note("the LSL marker stream '" + name_ + "' is gone; waiting for it to come back");
      told_missing = true;
    }
  }
}

bool LslMarkerInlet::connect(const LslStreamInfo &info, const sockaddr_in &from) {
  sockaddr_in to = from;
  if (!info.v4address.empty()) lsl::ipv4_address(info.v4address, to.sin_addr);
  to.sin_port = htons(uint16_t(info.v4data_port));
  lsl::Socket s = lsl::connect_tcp(to, 2000);
  if (!s) return false;
  const std::string request = "LSL:streamfeed/110 " + info.uid +
                              "\r\nNative-Byte-Order: 1234\r\nEndian-Performance: 0\r\n"
                              "Has-IEEE754-Floats: 1\r\nSupports-Subnormals: 1\r\n"
                              "Value-Size: 0\r\nData-Protocol-Version: 110\r\n"
                              "Max-Buffer-Length: 36000\r\nMax-Chunk-Length: 0\r\n"
                              "Hostname: localhost\r\nSession-ID: " +
                              config_.session_id + "\r\n\r\n";
  // The request and the answer's head, each within two seconds.
  size_t sent = 0;
  std::string head;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{s.fd(), short(sent < request.size() ? POLLOUT : POLLIN), 0};
    if (poll(&p, 1, 100) <= 0) continue;
    if (sent < request.size()) {
      const ssize_t n = ::send(s.fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n < 0) return false;
      sent += size_t(n);
      continue;
    }
    char buf[4096];
    const ssize_t n = ::recv(s.fd(), buf, sizeof buf, 0);
    if (n <= 0) return false;
    head.append(buf, size_t(n));
    const size_t blank = head.find("\r\n\r\n");
    if (blank == std::string::npos) {
      if (head.size() > 16384) return false;
      continue;
    }
    if (head.rfind("LSL/110 200", 0) != 0) return false;
    feed_ = std::move(s);
    info_ = info;
    in_ = head.substr(blank + 4);
    patterns_left_ = 2;
    service_ = from;
    if (!info.v4address.empty()) lsl::ipv4_address(info.v4address, service_.sin_addr);
    service_.sin_port = htons(uint16_t(info.v4service_port));
    probe_ = lsl::any_udp(config_.bind_address());
    correction_.store(0);
    if (!measure_correction())
      note("the LSL marker stream '" + name_ +
           "' does not answer time probes yet: its markers are taken on this host's clock");
    if (parse()) return true;
    feed_.close();
    return false;
  }
  return false;
}

bool LslMarkerInlet::measure_correction() {
  last_probe_ = steady_now();
  if (!probe_) return false;
  // The round's probes go out a few milliseconds apart and their answers are taken as they
  // come, for half a second after the last: a slow network still answers, and an answer to an
  // earlier round that comes late is passed over.
  std::vector<double> sent_at;
  const int first_wave = wave_ + 1;
  double best_rtt = 1e300, best = 0;
  const double start = steady_now();
  const double end = start + kProbes * kProbeSpacing + kProbeWait;
  for (double now = start; now < end; now = steady_now()) {
    if (sent_at.size() < size_t(kProbes) && now >= start + double(sent_at.size()) * kProbeSpacing) {
      char probe[96];
      std::snprintf(probe, sizeof probe, "LSL:timedata\r\n%d %.17g\r\n", ++wave_, now);
      sent_at.push_back(now);
      lsl::send_to(probe_, probe, service_);
      continue;
    }
    pollfd p{probe_.fd(), POLLIN, 0};
    if (poll(&p, 1, 5) <= 0) continue;
    std::string text;
    sockaddr_in from{};
    if (!lsl::receive(probe_, text, from)) continue;
    const double t3 = steady_now();
    int got = 0;
    double t0 = 0, t1 = 0, t2 = 0;
    if (std::sscanf(text.c_str(), " %d %lf %lf %lf", &got, &t0, &t1, &t2) != 4 ||
        got < first_wave || got > wave_)
      continue;
    t0 = sent_at[size_t(got - first_wave)];
    const double rtt = (t3 - t0) - (t2 - t1);
    if (rtt < best_rtt) {
      best_rtt = rtt;
      best = ((t0 + t3) - (t1 + t2)) / 2;  // what to add to the sender's clock
    }
  }
  if (best_rtt == 1e300) return false;
  correction_.store(best);
  return true;
}

bool LslMarkerInlet::parse() {
  const int channels = std::max(1, info_.channel_count);
  size_t pos = 0;  // what has been taken, erased once at the end
  bool ok = true;
  while (pos < in_.size()) {
    size_t at = pos;
    const uint8_t tag = uint8_t(in_[at]);
    if (tag != lsl::kDeducedTimestamp && tag != lsl::kTransmittedTimestamp) {
      ok = false;
      break;
    }
    ++at;
    double t = last_time_;
    if (tag == lsl::kTransmittedTimestamp) {
      if (in_.size() < at + 8) break;
      std::memcpy(&t, in_.data() + at, 8);
      at += 8;
    } else if (info_.nominal_srate > 0) {
      t = last_time_ + 1.0 / info_.nominal_srate;
    }
    std::string text, value;
    bool bad = false, whole = true;
    for (int k = 0; k < channels && whole; ++k) {
      whole = take_string(in_, at, value, bad);
      if (!whole) break;
      if (patterns_left_ > 0 && value != std::to_string((k + 10) * (k % 2 == 0 ? 1 : -1)))
        bad = true;  // the sides do not agree on the bytes
      if (!value.empty()) text += (text.empty() ? "" : " ") + value;
    }
    if (bad) {
      ok = false;
      break;
    }
    if (!whole) break;
    pos = at;
    if (patterns_left_ > 0) {
      --patterns_left_;
      continue;
    }
    last_time_ = t;
    // liblsl's outlet sends a sample of empty strings as it closes: no marker.
    if (text.empty()) continue;
    Event e;
    e.text = event_text(text, kEventTextBytes);
    e.cut = text.size() > kEventTextBytes;
    e.steady = t + correction_.load();
    std::lock_guard<std::mutex> lock(mutex_);
    if (events_.size() >= kMostWaiting) {
      if (dropped_++ == 0)
        notes_.push_back("markers of the LSL stream '" + name_ +
                         "' come faster than they are written: some are left out");
      continue;
    }
    events_.push_back(std::move(e));
  }
  in_.erase(0, pos);
  return ok && in_.size() < 2 * kFeedBytes;
}

}  // namespace qx470rec
