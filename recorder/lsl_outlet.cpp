#include "lsl_outlet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>

#include "lsl_net.h"
#include "lsl_wire.h"

namespace qx470rec {

using qx470reader::ClockMap;
using qx470reader::Gap;

namespace {

constexpr size_t kRequestBytes = 16384;  // a handshake longer than this is no inlet's
constexpr auto kDrainTime = std::chrono::seconds(3);
constexpr size_t kRowsPerBlock = 65536;
// Connections at once, and how long one may take to say what it wants: no peer that connects
// and says nothing, or many of them, can use up the recorder's descriptors.
constexpr size_t kMaxInlets = 64;
constexpr size_t kMaxHandshakes = 16;
constexpr auto kHandshakeTime = std::chrono::seconds(5);

std::string line_at(const std::string &text, size_t &pos) {
  const size_t end = text.find('\n', pos);
  if (end == std::string::npos) return {};
  std::string line = text.substr(pos, end - pos);
  pos = end + 1;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

struct LslOutlet::Server {
  struct Stream {
    LslStreamInfo info;
    lsl::Socket tcp, udp;
    std::string shortinfo, fullinfo;
  };
  struct Client {
    lsl::Socket fd;
    size_t stream = 0;
    std::chrono::steady_clock::time_point since;
    std::string request;
    std::string reply;  // the handshake's answer, before any sample
    bool close_after_reply = false;
    bool feeding = false;
    std::deque<std::shared_ptr<const std::string>> queue;
    size_t front_sent = 0;
    size_t queued = 0;
  };

  LslConfig config;
  std::vector<Stream> streams;
  lsl::Socket multicast;  // the port every outlet of the machine shares
  lsl::WakePipe wake;
  std::mutex mutex;  // clients' queues: the session adds, the thread sends
  std::deque<Client> clients;
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<int> *inlets = nullptr;
  std::atomic<uint64_t> *dropped = nullptr;

  void run();
  void answer_datagram(const lsl::Socket &s, const Stream *only);
  void accept(size_t stream);
  // False when the client is done with.
  bool read_request(Client &c);
  bool write_some(Client &c);
};

void LslOutlet::Server::run() {
  std::vector<pollfd> fds;
  std::vector<std::function<void(short)>> handlers;
  // At the end, what the inlets are owed still goes out, for a few seconds at most.
  std::chrono::steady_clock::time_point give_up{};
  for (;;) {
    if (stopping.load()) {
      const auto now = std::chrono::steady_clock::now();
      if (give_up == std::chrono::steady_clock::time_point{}) give_up = now + kDrainTime;
      std::lock_guard<std::mutex> lock(mutex);
      bool owed = false;
      for (const Client &c : clients) owed = owed || (c.feeding && !c.queue.empty());
      if (!owed || now > give_up) break;
    }
    fds.clear();
    handlers.clear();
    auto watch = [&](int fd, short events, std::function<void(short)> h) {
      fds.push_back({fd, events, 0});
      handlers.push_back(std::move(h));
    };
    // Datagrams are answered without the lock the session's sends take: no query, however
    // costly, holds up the recording.
    watch(wake.read_end(), POLLIN, [this](short) { wake.drain(); });
    if (multicast)
      watch(multicast.fd(), POLLIN, [this](short) { answer_datagram(multicast, nullptr); });
    for (size_t s = 0; s < streams.size(); ++s)
      watch(streams[s].udp.fd(), POLLIN,
            [this, s](short) { answer_datagram(streams[s].udp, &streams[s]); });
    const size_t unlocked = fds.size();
    for (size_t s = 0; s < streams.size(); ++s)
      watch(streams[s].tcp.fd(), POLLIN, [this, s](short) { accept(s); });
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (Client &c : clients) {
        short events = c.feeding || c.close_after_reply ? 0 : POLLIN;
        if (!c.reply.empty() || !c.queue.empty()) events |= POLLOUT;
        if (c.feeding) events |= POLLIN;  // only to see it close
        Client *cp = &c;
        watch(c.fd.fd(), events, [this, cp](short revents) {
          bool keep = true;
          if (revents & (POLLERR | POLLHUP | POLLNVAL)) keep = false;
          if (keep && (revents & POLLIN)) keep = read_request(*cp);
          if (keep && (revents & POLLOUT)) keep = write_some(*cp);
          if (!keep) cp->fd.close();
        });
      }
    }
    if (::poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
    for (size_t i = 0; i < unlocked; ++i)
      if (fds[i].revents) handlers[i](fds[i].revents);
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = unlocked; i < fds.size(); ++i)
      if (fds[i].revents) handlers[i](fds[i].revents);
    const size_t before = clients.size();
    const auto now = std::chrono::steady_clock::now();
    for (Client &c : clients)
      if (!c.feeding && now - c.since > kHandshakeTime) c.fd.close();
    clients.erase(
        std::remove_if(clients.begin(), clients.end(), [](const Client &c) { return !c.fd; }),
        clients.end());
    if (clients.size() != before) {
      int feeding = 0;
      for (const Client &c : clients) feeding += c.feeding;
      inlets->store(feeding);
    }
  }
}

void LslOutlet::Server::answer_datagram(const lsl::Socket &s, const Stream *only) {
  sockaddr_in from{};
  std::string text;
  if (!lsl::receive(s, text, from)) return;
  const double received = steady_now();
  size_t pos = 0;
  const std::string kind = line_at(text, pos);
  if (kind == "LSL:shortinfo") {
    const std::string query = line_at(text, pos);
    const std::string ret = line_at(text, pos);
    int port = 0;
    char id[64] = {};
    if (std::sscanf(ret.c_str(), "%d %63s", &port, id) != 2 || port <= 0 || port > 65535) return;
    sockaddr_in to = from;
    to.sin_port = htons(uint16_t(port));
    for (const Stream &st : streams) {
      if (only && &st != only) continue;
      if (!lsl_query_matches(st.fullinfo, query)) continue;
      lsl::send_to(s, std::string(id) + "\r\n" + st.shortinfo, to);
    }
  } else if (kind == "LSL:timedata" && only) {
    // The inlet's probe: its id and send time back, with when it came and when it goes.
    const std::string probe = line_at(text, pos);
    int wave = 0;
    double t0 = 0;
    if (std::sscanf(probe.c_str(), "%d %lf", &wave, &t0) != 2) return;
    char reply[160];
    std::snprintf(reply, sizeof reply, " %d %.17g %.17g %.17g", wave, t0, received, steady_now());
    lsl::send_to(s, reply, from);
  }
}

void LslOutlet::Server::accept(size_t stream) {
  lsl::Socket fd = lsl::accept_client(streams[stream].tcp);
  size_t handshaking = 0;
  for (const Client &c : clients) handshaking += !c.feeding;
  if (!fd || handshaking >= kMaxHandshakes) return;
  Client c;
  c.fd = std::move(fd);
  c.stream = stream;
  c.since = std::chrono::steady_clock::now();
  clients.push_back(std::move(c));
}

bool LslOutlet::Server::read_request(Client &c) {
  char buf[4096];
  const ssize_t n = ::recv(c.fd.fd(), buf, sizeof buf, 0);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (c.feeding) return true;  // an inlet says nothing more once fed
  c.request.append(buf, size_t(n));
  if (c.request.size() > kRequestBytes) return false;
  const Stream &st = streams[c.stream];
  size_t pos = 0;
  const std::string first = line_at(c.request, pos);
  if (pos == 0) return true;  // not yet a whole line
  if (first == "LSL:fullinfo") {
    c.reply = st.fullinfo;
    c.close_after_reply = true;
  } else if (first == "LSL:shortinfo") {
    const size_t before = pos;
    const std::string query = line_at(c.request, pos);
    if (pos == before) return true;
    if (!lsl_query_matches(st.fullinfo, query)) return false;
    c.reply = st.shortinfo;
    c.close_after_reply = true;
  } else if (first.rfind("LSL:streamfeed/", 0) == 0) {
    if (c.request.find("\r\n\r\n") == std::string::npos &&
        c.request.find("\n\n") == std::string::npos)
      return true;  // the headers are still coming
    const int version = std::atoi(first.c_str() + 15);
    const size_t space = first.find(' ');
    const std::string uid = space == std::string::npos ? "" : first.substr(space + 1);
    if (version < 110 || (!uid.empty() && uid != st.info.uid)) {
      // An older protocol, or a stream that is gone (a recorder before this one).
      c.reply = "LSL/110 404 Not found\r\n\r\n";
      c.close_after_reply = true;
      return true;
    }
    c.reply =
        "LSL/110 200 OK\r\nUID: " + st.info.uid +
        "\r\nByte-Order: 1234\r\nSuppress-Subnormals: 0\r\nData-Protocol-Version: 110\r\n\r\n";
    const bool strings = st.info.channel_format == "string";
    for (int offset : lsl::kTestPatternOffsets)
      lsl::put_test_pattern(c.reply, strings, st.info.channel_count, offset);
    size_t feeding = 0;
    for (const Client &other : clients) feeding += other.feeding;
    if (feeding >= kMaxInlets) return false;
    c.feeding = true;
    inlets->store(int(feeding + 1));
  } else {
    return false;  // protocol 1.00 and anything else: not spoken here
  }
  return true;
}

bool LslOutlet::Server::write_some(Client &c) {
  while (!c.reply.empty()) {
    const ssize_t n = ::send(c.fd.fd(), c.reply.data(), c.reply.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.reply.erase(0, size_t(n));
  }
  if (c.close_after_reply) return false;
  while (!c.queue.empty()) {
    const std::string &front = *c.queue.front();
    const ssize_t n =
        ::send(c.fd.fd(), front.data() + c.front_sent, front.size() - c.front_sent, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.front_sent += size_t(n);
    if (c.front_sent == front.size()) {
      c.queued -= front.size();
      c.queue.pop_front();
      c.front_sent = 0;
    }
  }
  return true;
}

LslOutlet::LslOutlet() : server_(std::make_unique<Server>()) {
  server_->inlets = &inlets_;
  server_->dropped = &dropped_;
}

LslOutlet::~LslOutlet() {
  server_->stopping.store(true);
  server_->wake.wake();
  if (server_->thread.joinable()) server_->thread.join();
}

std::string LslOutlet::listen(const LslConfig &config, const std::array<int, 4> &rates) {
  Server &s = *server_;
  s.config = config;
  if (std::string e = s.wake.open(); !e.empty()) return e;
  // One stream per rate and the markers, each with a data port and a service port.
  const size_t count = rate_groups(rates).size() + 1;
  const std::string address = config.bind_address();
  for (size_t i = 0; i < count; ++i) {
    Server::Stream st;
    std::string e = lsl::listen_in_range(address, config, /*tcp=*/true, st.tcp);
    if (e.empty()) e = lsl::listen_in_range(address, config, /*tcp=*/false, st.udp);
    if (!e.empty()) return "cannot publish on the Lab Streaming Layer: " + e;
    s.streams.push_back(std::move(st));
  }
  // Discovery's shared port: other outlets of this machine listen there too. Without it the
  // streams are still found through the known peers' port range.
  s.multicast =
      lsl::shared_udp(address, config.multicast_port, config.scope_addresses(), config.interfaces);
  return {};
}

void LslOutlet::begin(const std::string &name, const RecordingInfo &info) {
  Server &s = *server_;
  streams_ = recording_streams(name, info);
  streams_.push_back(markers_stream(name, info));
  for (size_t i = 0; i < streams_.size(); ++i) {
    LslStreamInfo &st = streams_[i];
    st.session_id = s.config.session_id;
    st.v4data_port = s.streams[i].tcp.port();
    st.v4service_port = s.streams[i].udp.port();
    s.streams[i].info = st;
    s.streams[i].shortinfo = shortinfo_xml(st);
    s.streams[i].fullinfo = fullinfo_xml(st);
  }
  std::vector<UnitLayout> layout;
  for (size_t i = 0; i + 1 < streams_.size(); ++i)
    layout.push_back({streams_[i].channels, std::vector<size_t>(streams_[i].channels.size(), 1)});
  frames_.emplace(layout);
  rows_.assign(layout.size(), 0);
  for (size_t g = 0; g < layout.size(); ++g)
    clocks_.emplace_back(layout[g].channels.front(), streams_[g].nominal_srate);
  volts_ = float(info.volts_per_count());
  info_ = info;
  s.thread = std::thread([&s] { s.run(); });
}

void LslOutlet::samples(int channel, const int32_t *codes, size_t n, const ClockMap &map) {
  if (!frames_) return;
  if (n) frames_->push(channel, codes, n);
  const size_t g = frames_->group_of(channel);
  const size_t width = streams_[g].channels.size();
  // A bounded block at a time, however long a gap was filled.
  for (uint64_t ready = frames_->ready(g); ready > 0;) {
    const size_t rows = size_t(std::min<uint64_t>(ready, kRowsPerBlock));
    ready -= rows;
    frames_->take(g, rows, values_, lost_);
    std::string bytes;
    bytes.reserve(rows * (9 + 4 * width));
    for (size_t r = 0; r < rows; ++r, ++rows_[g]) {
      const double t = clocks_[g].next(map, rows_[g]);
      // A row lost on every channel is not sent: its time is missing from the stream, and the
      // markers say where and for how long. One lost on some channels has NaN there.
      const uint8_t *lost = &lost_[r * width];
      if (std::all_of(lost, lost + width, [](uint8_t l) { return l != 0; })) continue;
      lsl::put_time(bytes, t);
      for (size_t k = 0; k < width; ++k)
        lsl::put<float>(bytes, lost[k] ? std::numeric_limits<float>::quiet_NaN()
                                       : values_[r * width + k] * volts_);
    }
    if (!bytes.empty()) send(g, std::move(bytes));
  }
}

void LslOutlet::gap(const Gap &g, const ClockMap &map) {
  if (!frames_) return;
  // Channels of one rate share their rows: the stream's steps place it.
  marker(clocks_[frames_->group_of(g.channel)].at(map, g.index), gap_text(info_, g));
  // The lost stretch keeps every later sample at its place and time.
  frames_->push_fill(g.channel, g.count);
  samples(g.channel, nullptr, 0, map);
}

void LslOutlet::event(const Event &e, const ClockMap &map) {
  if (!frames_ || !e.refused.empty()) return;
  const int ref = streams_.front().channels.front();
  marker(clocks_.front().at(map, e.index[size_t(ref)]), e.text);
}

void LslOutlet::marker(double time, const std::string &text) {
  std::string bytes;
  lsl::put_time(bytes, time);
  lsl::put_string(bytes, text);
  send(streams_.size() - 1, std::move(bytes));
}

void LslOutlet::send(size_t stream, std::string bytes) {
  Server &s = *server_;
  auto block = std::make_shared<const std::string>(std::move(bytes));
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (Server::Client &c : s.clients) {
      if (!c.feeding || c.stream != stream) continue;
      c.queue.push_back(block);
      c.queued += block->size();
      // An inlet that reads too slowly loses its oldest whole blocks, never part of a sample.
      while (c.queued > kInletBacklogBytes && c.queue.size() > 1) {
        auto drop = c.front_sent == 0 ? c.queue.begin() : std::next(c.queue.begin());
        c.queued -= (*drop)->size();
        dropped_ += (*drop)->size();
        c.queue.erase(drop);
      }
    }
  }
  s.wake.wake();
}

}  // namespace qx470rec
