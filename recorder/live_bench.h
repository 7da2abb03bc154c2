// The live bench of one run: the tap the session feeds, the server that shows it, and the page's
// commands, which run on the session's thread as every other call of the library does there.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "events.h"
#include "live_server.h"
#include "live_tap.h"
#include "options.h"
#include "recording_info.h"

namespace qx470rec {

class LiveBench {
 public:
  explicit LiveBench(const Options &opts) : tap_(opts.rates, opts.labels), server_(tap_) {}

  // Binds --serve's address before the device is touched. Empty string or the message.
  std::string listen(const Options &opts);
  // The device is ready: what the page says of it, then the server starts and its URL is told.
  void begin(const RecordingInfo &info, const std::vector<std::string> &files, std::ostream &err);
  LiveTap &tap() { return tap_; }
  // Runs what the page asked. Each change of the device becomes an event at the moment it was
  // made, so that the step in the data is explained in the file; marks at the moment they came.
  void run_commands(std::vector<Event> &events);
  // The recording ends: the shunt the page switched on is switched off (its event in `events`),
  // so the next user of the amplifier does not find a calibration step in the signal.
  void leave_shunt_off(std::vector<Event> &events);
  // The recording has ended: what is still asked is refused.
  void refuse_commands();
  bool shunt() const { return shunt_; }

 private:
  LiveTap tap_;
  LiveServer server_;   // after the tap it shows, so that it ends first
  bool shunt_ = false;  // the device was prepared with the shunt off
};

}  // namespace qx470rec
