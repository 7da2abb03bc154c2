// --events lsl:NAME: the markers of an LSL string stream, taken as liblsl's inlets take them.
// The stream is found by its name through the lab's discovery settings, fed over TCP (data
// protocol 1.10), and each marker's time is brought from the sender's clock to this host's with
// LSL's time correction, so it is placed as any event that gives its own time. A stream that
// appears late, vanishes or comes back is followed, and the user is told.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "events.h"
#include "lsl_config.h"
#include "lsl_info.h"
#include "lsl_net.h"

namespace qx470rec {

class LslMarkerInlet {
 public:
  LslMarkerInlet(std::string name, LslConfig config)
      : name_(std::move(name)), config_(std::move(config)) {}
  ~LslMarkerInlet() { stop(); }
  LslMarkerInlet(const LslMarkerInlet &) = delete;
  LslMarkerInlet &operator=(const LslMarkerInlet &) = delete;

  void start();
  void stop();
  // Markers that came since the last call, as events on this host's steady clock.
  std::vector<Event> take();
  // What the user should hear of the stream (found, gone, back), since the last call.
  std::vector<std::string> take_notes();
  // The last time correction: add it to the sender's times to get this host's.
  double correction() const { return correction_.load(); }
  // Whether the stream is being fed now.
  bool connected() const { return connected_.load(); }

  // Resolves streams that answer `query` within `wait_ms`, as an inlet does; exposed for tests.
  static std::vector<std::pair<LslStreamInfo, sockaddr_in>> resolve(const LslConfig &config,
                                                                    const std::string &query,
                                                                    int wait_ms);

 private:
  void run();
  bool connect(const LslStreamInfo &info, const sockaddr_in &where);
  // The offset of the sender's clock, from the probes with the shortest round trip.
  bool measure_correction();
  // Parses what has come; false when the feed is broken.
  bool parse();
  void note(const std::string &text);
  bool wait(int ms);  // false once stopping

  std::string name_;
  LslConfig config_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;
  std::vector<Event> events_;
  std::vector<std::string> notes_;
  std::atomic<double> correction_{0};
  std::atomic<bool> connected_{false};

  // The connection, on the thread only.
  lsl::Socket feed_;
  lsl::Socket probe_;
  sockaddr_in service_{};
  LslStreamInfo info_;
  std::string in_;
  int patterns_left_ = 0;
  double last_time_ = 0;
  double last_probe_ = -1e300;
  int wave_ = 0;          // the last time probe's number
  uint64_t dropped_ = 0;  // markers left out because the session took none for too long
};

}  // namespace qx470rec
