// qx470-record --lsl: the recording published on the Lab Streaming Layer as liblsl's inlets
// expect it. Discovery answers queries on the UDP ports of the lab's configuration, each stream
// feeds its inlets over TCP (data protocol 1.10) and answers time probes, so that inlets correct
// for the clocks. Samples are stamped with their time on the LSL clock from the clock map, never
// the time they were sent. The session feeds it and never waits on it: an inlet that reads too
// slowly loses its oldest samples, not the recording.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "clock_map.h"
#include "events.h"
#include "frames.h"
#include "lsl_config.h"
#include "lsl_info.h"
#include "recording_info.h"
#include "sample_clock.h"

namespace qx470rec {

class LslOutlet {
 public:
  LslOutlet();
  ~LslOutlet();
  LslOutlet(const LslOutlet &) = delete;
  LslOutlet &operator=(const LslOutlet &) = delete;

  // Binds every stream's ports before the device is touched, so a port that cannot be had is
  // said at once. Empty string or the message.
  std::string listen(const LslConfig &config, const std::array<int, 4> &rates);
  // The device is known: the streams' descriptions, then discovery and the feeds start.
  void begin(const std::string &name, const RecordingInfo &info);
  const std::vector<LslStreamInfo> &streams() const { return streams_; }

  // The session's samples (raw codes), gaps and placed events, with the clock map that places
  // them. Called on the session's thread only.
  void samples(int channel, const int32_t *codes, size_t n, const qx470reader::ClockMap &map);
  void gap(const qx470reader::Gap &g, const qx470reader::ClockMap &map);
  void event(const Event &e, const qx470reader::ClockMap &map);

  // Inlets connected now, and bytes dropped for inlets that read too slowly.
  int inlets() const { return inlets_.load(); }
  uint64_t dropped_bytes() const { return dropped_.load(); }

  // Samples an inlet may fall behind by before its oldest are dropped, in bytes.
  static constexpr size_t kInletBacklogBytes = 64u << 20;

 private:
  struct Server;
  void send(size_t stream, std::string bytes);
  void marker(double time, const std::string &text);

  std::unique_ptr<Server> server_;
  std::vector<LslStreamInfo> streams_;  // the rates' streams, then the markers
  std::optional<FrameAssembler> frames_;
  std::vector<uint64_t> rows_;  // rows sent of each rate's stream
  std::vector<SampleClock> clocks_;
  RecordingInfo info_;
  float volts_ = 0;
  std::vector<int16_t> values_;
  std::vector<uint8_t> lost_;
  std::atomic<int> inlets_{0};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace qx470rec
