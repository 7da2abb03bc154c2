#include "control.h"

#include <cstdio>
#include <cstring>

#include "calibration_record.h"
#include "context.h"

namespace qx {

namespace {

constexpr uint8_t kProbe = 0x00;
constexpr int kMaxRequest = 2 + 15;  // command byte and up to 16 payload bytes

FT_STATUS close_control() {
  return control_status = FT_Close(control_handle);
}

bool takes_argument(int32_t type) {
  return type == 2 || type == 3 || type == 9;
}

uint8_t command_byte(int32_t type, int32_t argument) {
  switch (type) {
    case 1:
      return 0x10;
    case 2:
      return static_cast<uint8_t>(0x20 + argument);
    case 3:
      return static_cast<uint8_t>(0x30 + argument);
    case 4:
      return 0x40;
    case 5:
      return 0x50;
    case 9:
      return static_cast<uint8_t>(0x90 + argument);
    default:
      return kProbe;
  }
}

}  // namespace

int32_t send_command(int32_t type, int32_t argument, const uint8_t *payload) {
  if (takes_argument(type) && (argument < 0 || argument > 15)) return -4;

  control_status = FT_Open(0, &control_handle);
  if (control_status != FT_OK) return -1;
  control_status = FT_SetTimeouts(control_handle, kControlTimeoutMs, kControlTimeoutMs);
  if (control_status != FT_OK) {
    close_control();
    return -2;
  }
  control_status = FT_Purge(control_handle, FT_PURGE_RX | FT_PURGE_TX);
  if (control_status != FT_OK) {
    close_control();
    return -3;
  }

  uint8_t request[kMaxRequest];
  const uint8_t cmd = command_byte(type, argument);
  request[0] = cmd;
  DWORD request_length = 1;
  DWORD reply_length = 1;
  if (type == 9 && payload) {
    std::memcpy(request + 1, payload, static_cast<size_t>(argument) + 1);
    request_length += static_cast<DWORD>(argument) + 1;
    reply_length = 2;
  }

  uint8_t reply[2] = {0, 0};
  DWORD got = 0;
  for (int attempt = 0; attempt < kCommandAttempts && got == 0; ++attempt) {
    DWORD written = 0;
    control_status = FT_Write(control_handle, request, request_length, &written);
    if (control_status != FT_OK || written < 1) continue;
    control_status = FT_Read(control_handle, reply, reply_length, &got);
  }
  close_control();
  if (got == 0 || reply[0] != cmd) return -4;
  return got >= 2 ? reply[1] : 1;
}

int32_t get_device_status() {
  DWORD count = 0;
  if (FT_CreateDeviceInfoList(&count) != FT_OK || count != 2) return -5;
  FT_DEVICE_LIST_INFO_NODE nodes[2] = {};
  count = 2;
  if (FT_GetDeviceInfoList(nodes, &count) != FT_OK || count != 2) return -5;
  if (std::memcmp(nodes[0].Description, "QX-470", 6) != 0) return -5;
  if (send_command(0, 0, nullptr) >= 0) return 101;
  return send_command(0, 0, nullptr) >= 0 ? 101 : -8;
}

int32_t do_autozero() {
  return send_command(1, 0, nullptr) > 0 ? 1 : 0;
}
int32_t do_cal_on() {
  return send_command(4, 0, nullptr) > 0 ? 1 : 0;
}
int32_t do_cal_off() {
  return send_command(5, 0, nullptr) > 0 ? 1 : 0;
}

int32_t set_calibration_data(int32_t value) {
  FT_HANDLE handle = nullptr;
  if (FT_Open(0, &handle) != FT_OK) return 0;
  auto record = format_calibration_record(value);
  const FT_STATUS st = FT_EE_UAWrite(handle, record.data(), kCalibrationRecordBytes);
  FT_Close(handle);
  return st == FT_OK ? 1 : 0;
}

int32_t get_calibration_data() {
  FT_HANDLE handle = nullptr;
  if (FT_Open(0, &handle) != FT_OK) return 0;
  uint8_t record[kCalibrationRecordBytes] = {};
  DWORD got = 0;
  const FT_STATUS st = FT_EE_UARead(handle, record, kCalibrationRecordBytes, &got);
  int32_t value = 0;
  if (st == FT_OK) value = parse_calibration_record(record);
  FT_Close(handle);
  return value;
}

}  // namespace qx
