// Getting the amplifier ready as the console does it, what its status codes mean, and when a
// stream that has stopped coming means the amplifier is gone.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "qx470_reader.h"

namespace qx470reader {

constexpr int32_t kReady = 101;
constexpr int32_t kNoDevice = -5;
constexpr int32_t kNotPowered = -8;

// The EEPROM's calibration value in nV per count, the range a real one lies in, and what is used
// when it cannot be read.
constexpr int32_t kCalibrationMin = 300001;
constexpr int32_t kCalibrationMax = 319999;
constexpr int32_t kDefaultCalibration = 312500;

struct DeviceCheck {
  int32_t status = 0;                         // Get_QX470USB_Status
  int32_t calibration_read = 0;               // as read; meaningful when ready
  int32_t calibration = kDefaultCalibration;  // what recordings use
  bool shunt_off = false;                     // the calibration shunt was switched off
  bool ready() const { return status == kReady; }
  bool calibration_valid() const {
    return calibration_read >= kCalibrationMin && calibration_read <= kCalibrationMax;
  }
};

// One status call (the library itself already tries twice, three times each); when ready, the
// calibration value, and, with `prepare`, the shunt switched off first, as before an acquisition.
DeviceCheck check_device(bool prepare);

// What a status means to a person: "ready (status 101)", why no amplifier was found (the
// attached ones, the serial number asked for, permissions), or that it does not answer. Several
// lines are joined with '\n'.
std::string status_words(int32_t status);

// Watches a stream for data that stopped coming. The slowest layouts fill a block in 16 s and the
// library reports nothing when the device stops, so a stream counts as quiet after a few blocks'
// time; the device is then asked once. If it is gone the stream has ended; if it still answers, a
// busy machine may only have held the stream up, and the watch waits longer before giving up.
class StallWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // The values are the C interface's.
  enum class State : int32_t {
    kFlowing = QX470_STALL_NONE,     // data came recently, or not long enough ago to ask
    kWaiting = QX470_STALL_WAITING,  // quiet past the first limit, but the amplifier answers
                                     // (said once per stall)
    kSilent = QX470_STALL_SILENT,    // quiet past the longer limit although it answers: give up
    kGone = QX470_STALL_GONE,        // quiet, and the amplifier does not answer (status()): give up
  };
  explicit StallWatch(double block_seconds, Clock::time_point now = Clock::now());
  // `blocks`: the block count as last seen; any change is progress.
  State check(uint32_t blocks, Clock::time_point now = Clock::now());
  // The stream was not looked at (the host held its reading back): the quiet starts again.
  void not_looked(Clock::time_point now = Clock::now()) {
    last_change_ = now;
    asked_ = false;
  }
  // How long the stream has been quiet, and the status the device gave when it was asked.
  double quiet_seconds(Clock::time_point now = Clock::now()) const;
  int32_t status() const { return status_; }

 private:
  double first_limit_;
  double last_limit_;
  Clock::time_point last_change_;
  uint32_t blocks_ = 0;
  bool asked_ = false;
  int32_t status_ = kReady;
};

}  // namespace qx470reader
