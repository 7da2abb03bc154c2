// The control channel (bridge interface 0): command exchanges, the device check, and the
// calibration record in the bridge's EEPROM user area.
#pragma once

#include <array>
#include <cstdint>

namespace qx {

constexpr uint32_t kControlTimeoutMs = 1000;
constexpr int kCommandAttempts = 3;

// Sends one command and checks its echo: 1 echoed, 0..255 the result byte of a type 9 exchange
// with a payload, -1 open failed, -2 time-outs refused, -3 purge refused, -4 no or wrong echo.
// Types 2, 3 and 9 take an argument 0..15; any other argument is refused with -4 before anything
// is sent. `payload` (b + 1 bytes) is read for type 9 only.
int32_t send_command(int32_t type, int32_t argument, const uint8_t *payload);

int32_t get_device_status();
int32_t do_autozero();
int32_t do_cal_on();
int32_t do_cal_off();
int32_t set_calibration_data(int32_t value);
int32_t get_calibration_data();

}  // namespace qx
