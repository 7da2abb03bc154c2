// The sockets the Lab Streaming Layer's outlet and inlet use: IPv4, non-blocking, closed with
// their owner.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

#include "lsl_config.h"

namespace qx470rec::lsl {

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Socket &operator=(Socket &&o) noexcept;
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
  ~Socket() { close(); }
  int fd() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void close();
  int port() const;  // the local port it is bound to

 private:
  int fd_ = -1;
};

// Wakes a thread that waits in poll().
class WakePipe {
 public:
  WakePipe() = default;
  ~WakePipe();
  WakePipe(const WakePipe &) = delete;
  WakePipe &operator=(const WakePipe &) = delete;
  std::string open();
  void wake();
  void drain();
  int read_end() const { return fds_[0]; }

 private:
  int fds_[2] = {-1, -1};
};

bool ipv4_address(const std::string &text, in_addr &addr);

// A TCP listener or a UDP socket on the first free port of the configured range, or on any port
// when the configuration allows it. Empty string or the message.
std::string listen_in_range(const std::string &address, const LslConfig &config, bool tcp,
                            Socket &out);
// The UDP port every outlet of a machine shares (address reuse), joined to the scope's IPv4
// multicast groups on each IPv4 interface named (else the system's choice); an invalid socket
// when it cannot be had.
Socket shared_udp(const std::string &address, int port, const std::vector<std::string> &groups,
                  const std::vector<std::string> &interfaces);
// A UDP socket on any free port of `address`, for an inlet's queries and probes.
Socket any_udp(const std::string &address);
Socket accept_client(const Socket &listener);
// A TCP connection, waiting at most `timeout_ms`.
Socket connect_tcp(const sockaddr_in &to, int timeout_ms);

// One datagram, if one is waiting; its sender in `from`.
bool receive(const Socket &s, std::string &text, sockaddr_in &from);
void send_to(const Socket &s, const std::string &text, const sockaddr_in &to);

}  // namespace qx470rec::lsl
