// The library's twenty C entry points: argument guards, then one call into a module.
#include "QX470USB.h"

#include <cstdint>

#include "acquisition.h"
#include "context.h"
#include "control.h"
#include "readout.h"
#include "schedule.h"

extern "C" {

int32_t QX470_CALL Start_Acquisition(int32_t window) noexcept {
  return qx::start_acquisition(reinterpret_cast<void *>(static_cast<intptr_t>(window)));
}
int32_t QX470_CALL LV_Start_Acquisition(void) noexcept {
  return qx::start_acquisition(qx::platform::foreground_window());
}
int32_t QX470_CALL Stop_Acquisition(void) noexcept {
  return qx::stop_acquisition();
}
uint32_t QX470_CALL Get_Blocks_Transferred(void) noexcept {
  return qx::get_blocks_transferred();
}
int32_t QX470_CALL Pause_Acquisition(void) noexcept {
  return qx::pause_acquisition();
}
int32_t QX470_CALL Restart_Acquisition(void) noexcept {
  return qx::restart_acquisition();
}

int32_t QX470_CALL Get_DataPoint(int32_t channel, uint32_t sample) noexcept {
  return qx::get_data_point(channel, sample);
}
int32_t QX470_CALL Get_Data_Samples(int32_t *values, int32_t channel, uint32_t first,
                                    int32_t count) noexcept {
  return qx::get_data_samples(values, channel, first, count);
}
int32_t QX470_CALL Get_Trigger(int32_t *values, int32_t channel, uint32_t first, int32_t count,
                               int32_t type, int32_t level) noexcept {
  return qx::get_trigger(values, channel, first, count, type, level);
}
int32_t QX470_CALL Get_Current_DataPoint(int32_t channel) noexcept {
  return qx::get_current_data_point(channel);
}

int32_t QX470_CALL Set_Sample_Rate(int32_t channel, int32_t rate) noexcept {
  // Built aside and then installed, so the acquisition thread never sees a half-built frame.
  qx::Schedule built = qx::device_context.schedule;
  qx::ChannelScale scale;
  for (int c = 0; c < qx::kChannels; ++c) scale[c] = qx::channel_scale[c];
  qx::set_rate(built, scale, channel, rate);
  qx::publish_schedule(built, scale);
  return 0;
}
int32_t QX470_CALL Get_Sample_Rate(int32_t channel) noexcept {
  return qx::sample_rate(qx::device_context.schedule, channel);
}
int32_t QX470_CALL Get_Sample_Modulus(int32_t channel) noexcept {
  return qx::sample_modulus_64(qx::device_context.schedule, channel);
}
int32_t QX470_CALL Set_Sample_Boundary(int32_t steps) noexcept {
  qx::set_boundary(qx::device_context.schedule, steps);
  return 0;
}

int32_t QX470_CALL Get_QX470USB_Status(void) noexcept {
  return qx::get_device_status();
}
int32_t QX470_CALL Do_Autozero(void) noexcept {
  return qx::do_autozero();
}
int32_t QX470_CALL Do_Cal_On(void) noexcept {
  return qx::do_cal_on();
}
int32_t QX470_CALL Do_Cal_Off(void) noexcept {
  return qx::do_cal_off();
}
int32_t QX470_CALL Set_Calibration_Data(int32_t value) noexcept {
  return qx::set_calibration_data(value);
}
int32_t QX470_CALL Get_Calibration_Data(void) noexcept {
  return qx::get_calibration_data();
}

}  // extern "C"
