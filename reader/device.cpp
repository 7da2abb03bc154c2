#include "device.h"

#include "QX470USB.h"
#include "amplifiers.h"

namespace qx470reader {

DeviceCheck check_device(bool prepare) {
  DeviceCheck d;
  d.status = Get_QX470USB_Status();
  if (!d.ready()) return d;
  if (prepare) d.shunt_off = Do_Cal_Off() == 1;
  d.calibration_read = Get_Calibration_Data();
  d.calibration = d.calibration_valid() ? d.calibration_read : kDefaultCalibration;
  return d;
}

std::string status_words(int32_t status) {
  switch (status) {
    case kReady:
      return "ready (status 101)";
    case kNoDevice:
      return no_device_words();
    case kNotPowered: {
      // A device another process streams from answers nothing either: say which, not "powered?".
      const Holder h = amplifier_holder(chosen_amplifier());
      if (!h.held) return "the amplifier does not answer (status -8): is it powered?";
      return "the amplifier is in use by another process" +
             (h.pid ? " (process " + std::to_string(h.pid) + ", " + h.name + ")" : std::string()) +
             " and does not answer (status -8): end that program, or wait until it is done";
    }
    default:
      return "unexpected status " + std::to_string(status);
  }
}

StallWatch::StallWatch(double block_seconds, Clock::time_point now)
    : first_limit_(2.0 + 3.0 * block_seconds),
      last_limit_(20.0 + 3.0 * block_seconds),
      last_change_(now) {}

double StallWatch::quiet_seconds(Clock::time_point now) const {
  return std::chrono::duration<double>(now - last_change_).count();
}

StallWatch::State StallWatch::check(uint32_t blocks, Clock::time_point now) {
  if (blocks != blocks_) {
    blocks_ = blocks;
    last_change_ = now;
    asked_ = false;
    return State::kFlowing;
  }
  const double quiet = quiet_seconds(now);
  if (quiet > last_limit_) return State::kSilent;
  if (quiet > first_limit_ && !asked_) {
    asked_ = true;
    status_ = Get_QX470USB_Status();
    return status_ == kReady ? State::kWaiting : State::kGone;
  }
  return State::kFlowing;
}

}  // namespace qx470reader
