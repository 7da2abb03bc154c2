// The recorder's file writers, one per format, behind one interface: open before the
// acquisition starts (so a file that cannot be written costs nothing), begin with the start
// time, then each channel's samples and gaps in order, and finish on every path out.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bridge_in_use.h"
#include "continuous_reader.h"
#include "record_options.h"

namespace qx470rec {

constexpr const char *kDeviceName = "QX-470-USB";

struct RecordingInfo {
  std::array<int, 4> rates{};    // kS/s by library channel, 0 off
  int32_t calibration = 312500;  // nV per count
  // What the library drove: every file says so, so the simulator is never taken for the device.
  qx470host::BridgeInUse bridge;
  // The equipment as files name it: the device, and what stood in for it when it was not there.
  std::string equipment() const;
  double volts_per_count() const { return calibration * 1e-9; }
  std::string label(int channel) const { return "Ch" + std::to_string(channel + 1); }
};

// A channel's samples waiting to be written, as signed counts (code - 32768), with lost
// stretches kept as a length rather than as memory.
class ChannelQueue {
 public:
  void push(const int32_t *codes, size_t n);
  void push_fill(uint64_t n);
  uint64_t size() const { return size_; }
  // Takes n values; lost samples become `fill`, and are flagged in `lost` when it is given.
  void pop(int16_t *out, size_t n, int16_t fill, uint8_t *lost = nullptr);

 private:
  struct Segment {
    uint64_t fill = 0;
    std::vector<int16_t> data;
    size_t pos = 0;
  };
  std::deque<Segment> segments_;
  uint64_t size_ = 0;
};

class Writer {
 public:
  virtual ~Writer() = default;
  // Each returns an empty string on success, else a message that names the file.
  virtual std::string open(const std::string &path, const RecordingInfo &info) = 0;
  virtual std::string begin(std::chrono::system_clock::time_point start) = 0;
  virtual std::string samples(int channel, const int32_t *codes, size_t n) = 0;
  virtual std::string gap(const qx470host::Gap &gap) = 0;
  // Writes what is left and closes; a partial last record is padded where the format needs it.
  virtual std::string finish() = 0;
  virtual uint64_t bytes() const = 0;
  // The files written, for the summary.
  virtual std::vector<std::string> paths() const = 0;
};

std::unique_ptr<Writer> make_writer(Format format);

// "name.csv" and rate 100 give "name_100kSps.csv": one file per rate when rates differ.
std::string path_for_rate(const std::string &path, int rate_ks);
// UTC ISO 8601 with milliseconds.
std::string iso8601(std::chrono::system_clock::time_point t);

}  // namespace qx470rec
