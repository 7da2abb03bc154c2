// The live bench's server: the page, /api/status, the page's commands and the /live WebSocket,
// on one thread of its own. Every web page the user's browser opens can reach a server on the
// loopback, so everything but the page's own files needs the run's random token (which the
// printed URL holds), the Host must be this server's (no DNS rebinding), and a WebSocket opened
// by a page of another origin is refused. Each page has one frame in flight: a page that falls
// behind gets fewer frames and costs the recording nothing.
#pragma once

#include <memory>
#include <string>

#include "live_tap.h"

namespace qx470rec {

// Pages served at once, at most.
constexpr int kMostPages = 4;

class LiveServer {
 public:
  explicit LiveServer(LiveTap &tap);
  ~LiveServer();
  LiveServer(const LiveServer &) = delete;
  LiveServer &operator=(const LiveServer &) = delete;

  // Loads the page's files and binds (port 0: any free port), before the device is touched, so
  // that a port in use is said at once. Empty string or the message.
  std::string listen(const std::string &address, int port, const std::string &web_dir);
  void start();
  // Closes every connection and ends the thread; pending commands are dropped.
  void stop();
  // The page's address with the token: "http://127.0.0.1:PORT/?token=...".
  std::string url() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qx470rec
