// What every file of a recording says of it: the rates, the scale, what was driven, and the
// helpers for the words and times the files share.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bridge_in_use.h"
#include "channel_cursor.h"
#include "device.h"

namespace qx470rec {

constexpr const char *kDeviceName = "QX-470-USB";

struct RecordingInfo {
  std::array<int, 4> rates{};                              // kS/s by library channel, 0 off
  int32_t calibration = qx470reader::kDefaultCalibration;  // nV per count
  // What the library drove: every file says so, so the simulator is never taken for the device.
  qx470reader::BridgeInUse bridge;
  // The equipment as files name it: the device, and what stood in for it when it was not there.
  std::string equipment() const;
  double volts_per_count() const { return calibration * 1e-9; }
  // The scale as every file writes it: "%.9g" of the volts per count.
  std::string volts_per_count_text() const;
  // The channel's name in every file: the one --label gave, else "Ch1".."Ch4".
  std::string label(int channel) const {
    const std::string &name = names[static_cast<size_t>(channel)];
    return name.empty() ? "Ch" + std::to_string(channel + 1) : name;
  }
  std::array<std::string, 4> names{};
  std::string serial;   // the amplifier's serial number, so that files of two are told apart
  std::string subject;  // --subject
  // The streams' name in XDF and on the Lab Streaming Layer (--lsl).
  std::string stream_name = "QX470";
  std::vector<std::pair<std::string, std::string>> meta;  // --meta, in order
  // "KEY=VALUE; KEY=VALUE" of the notes, for headers that hold one text.
  std::string meta_text() const;
  // Replace files that exist (-f); otherwise every file is created exclusively.
  bool replace_files = false;
  // Events will come (--events): room for more annotations in EDF+.
  bool events = false;
  // How late an event may be placed after its sample was read, for formats that write rows in
  // order: a datagram comes within moments, a marker of another LSL outlet later.
  double events_hold_seconds = 0.25;
  // CSV values in volts (--volts) rather than counts.
  bool volts = false;
};

// Channels that share a rate, fastest first: one file (or one frame layout) each.
struct RateGroup {
  int rate = 0;
  std::vector<int> channels;
};
std::vector<RateGroup> rate_groups(const std::array<int, 4> &rates);

// "cannot <what> '<path>': <strerror(errno)>"
std::string io_error(const std::string &what, const std::string &path);
// A gap as an annotation or comment: "Ch1 lost 20", "Ch2 restart", ...
std::string gap_text(const RecordingInfo &info, const qx470reader::Gap &g);
// UTC ISO 8601 with milliseconds.
std::string iso8601(std::chrono::system_clock::time_point t);

}  // namespace qx470rec
