#include "lsl_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qx470rec::lsl {

Socket &Socket::operator=(Socket &&o) noexcept {
  if (this != &o) {
    close();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int Socket::port() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

WakePipe::~WakePipe() {
  for (int fd : fds_)
    if (fd >= 0) ::close(fd);
}

std::string WakePipe::open() {
  if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) return std::string("pipe: ") + strerror(errno);
  return {};
}

void WakePipe::wake() {
  const char b = 1;
  [[maybe_unused]] ssize_t n = ::write(fds_[1], &b, 1);  // full: a wake is pending anyway
}

void WakePipe::drain() {
  char buf[256];
  while (::read(fds_[0], buf, sizeof buf) > 0) {
  }
}

bool ipv4_address(const std::string &text, in_addr &addr) {
  return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

namespace {

Socket make(int type, const std::string &address, int port, bool reuse, std::string &error) {
  Socket s(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!s) {
    error = strerror(errno);
    return s;
  }
  const int one = 1;
  if (reuse) setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  if (!ipv4_address(address, a.sin_addr)) {
    error = "not an IPv4 address: " + address;
    return Socket();
  }
  if (bind(s.fd(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      (type == SOCK_STREAM && ::listen(s.fd(), 16) != 0)) {
    error = address + ":" + std::to_string(port) + ": " + strerror(errno);
    return Socket();
  }
  return s;
}

}  // namespace

std::string listen_in_range(const std::string &address, const LslConfig &config, bool tcp,
                            Socket &out) {
  const int type = tcp ? SOCK_STREAM : SOCK_DGRAM;
  std::string error;
  for (int port = config.base_port; port < config.base_port + config.port_range; ++port) {
    // A listener that ended a moment ago leaves its port in TIME_WAIT: reuse lets it be had.
    out = make(type, address, port, tcp, error);
    if (out) return {};
  }
  if (config.allow_random_ports) {
    out = make(type, address, 0, false, error);
    if (out) return {};
  }
  return std::string("no free ") + (tcp ? "TCP" : "UDP") + " port in " +
         std::to_string(config.base_port) + ".." +
         std::to_string(config.base_port + config.port_range - 1) + " (" + error + ")";
}

Socket shared_udp(const std::string &address, int port, const std::vector<std::string> &groups,
                  const std::vector<std::string> &interfaces) {
  std::string error;
  Socket s = make(SOCK_DGRAM, address, port, true, error);
  if (!s) return s;
  std::vector<std::string> on;
  for (const std::string &i : interfaces) {
    in_addr a{};
    if (ipv4_address(i, a)) on.push_back(i);
  }
  if (on.empty()) on.push_back("0.0.0.0");
  for (const std::string &g : groups)
    for (const std::string &i : on) {
      ip_mreq m{};
      if (!ipv4_address(g, m.imr_multiaddr) || !IN_MULTICAST(ntohl(m.imr_multiaddr.s_addr)))
        continue;
      ipv4_address(i, m.imr_interface);
      setsockopt(s.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
    }
  return s;
}

Socket any_udp(const std::string &address) {
  std::string error;
  return make(SOCK_DGRAM, address, 0, false, error);
}

Socket accept_client(const Socket &listener) {
  Socket c(accept4(listener.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (c) {
    // Each block goes out at once rather than waiting for the inlet's delayed acknowledgement.
    const int one = 1;
    setsockopt(c.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return c;
}

Socket connect_tcp(const sockaddr_in &to, int timeout_ms) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!s) return s;
  if (connect(s.fd(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
    if (errno != EINPROGRESS) return Socket();
    pollfd p{s.fd(), POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (poll(&p, 1, timeout_ms) != 1 || getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 ||
        err != 0)
      return Socket();
  }
  return s;
}

bool receive(const Socket &s, std::string &text, sockaddr_in &from) {
  char buf[65536];
  socklen_t len = sizeof from;
  const ssize_t n = recvfrom(s.fd(), buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
  if (n < 0) return false;
  text.assign(buf, size_t(n));
  return true;
}

void send_to(const Socket &s, const std::string &text, const sockaddr_in &to) {
  sendto(s.fd(), text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&to),
         sizeof to);
}

}  // namespace qx470rec::lsl
