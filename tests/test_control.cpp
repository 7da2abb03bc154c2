// The control channel over the simulator's fault knobs: the command exchange and its results,
// the device check, the shunt and auto-zero commands, and the calibration record.
#include <climits>
#include <cstring>

#include "calibration_record.h"
#include "control.h"
#include "test_support.h"

namespace {

using qxtest::events;
using qxtest::LibraryTest;
using qxtest::writes;
using Bytes = std::vector<uint8_t>;

class Control : public LibraryTest {};

TEST_F(Control, StatusIsReadyWithTheBridgeAndAnEchoingAmplifier) {
  EXPECT_EQ(Get_QX470USB_Status(), 101);
  EXPECT_EQ(writes(0), std::vector<Bytes>{{0x00}});
  EXPECT_EQ(qxsim_open_handles(), 0);
}

TEST_F(Control, NoSuitableDeviceSendsNoCommand) {
  auto check = [] {
    qxsim_log_clear();
    EXPECT_EQ(Get_QX470USB_Status(), -5);
    EXPECT_TRUE(writes(0).empty());
  };
  qxsim_set_attached(0);
  check();
  qxsim_set_attached(1);
  qxsim_set_extra_devices(1);
  check();
  qxsim_set_extra_devices(0);
  qxsim_set_description("qx-470-USB A");
  check();
  qxsim_set_description("QX-47");
  check();
  qxsim_set_description(nullptr);
  qxsim_set_fault(QXSIM_CALL_CREATE_LIST, -1, FT_IO_ERROR, 1);
  check();
  qxsim_set_fault(QXSIM_CALL_GET_LIST, -1, FT_IO_ERROR, 1);
  check();
  EXPECT_EQ(Get_QX470USB_Status(), 101);
}

TEST_F(Control, ASilentAmplifierIsNotPoweredAfterSixAttempts) {
  qxsim_set_powered(0);
  EXPECT_EQ(Get_QX470USB_Status(), -8);
  EXPECT_EQ(writes(0), std::vector<Bytes>(6, Bytes{0x00}));
  EXPECT_EQ(qxsim_open_handles(), 0);
}

TEST_F(Control, AttemptsAndEchoes) {
  qxsim_set_echo_fault(0, 1);  // wrong echo on the first attempt: no further attempt
  EXPECT_EQ(qx::send_command(1, 0, nullptr), -4);
  EXPECT_EQ(writes(0).size(), 1u);
  EXPECT_EQ(qxsim_open_handles(), 0);

  qxsim_log_clear();
  qxsim_set_echo_fault(2, 0);  // answers only the third attempt
  EXPECT_EQ(Do_Autozero(), 1);
  EXPECT_EQ(writes(0).size(), 3u);

  qxsim_log_clear();
  qxsim_set_echo_fault(3, 0);
  EXPECT_EQ(Do_Autozero(), 0);
  EXPECT_EQ(writes(0).size(), 3u);

  qxsim_set_echo_fault(0, 1);
  EXPECT_EQ(Do_Cal_On(), 0);

  qxsim_log_clear();
  qxsim_set_fault(QXSIM_CALL_WRITE, 0, FT_IO_ERROR, 2);  // failed writes use up attempts
  EXPECT_EQ(Do_Cal_Off(), 1);
  EXPECT_EQ(events(QXSIM_CALL_READ, 0).size(), 1u) << "no read after a failed write";
}

TEST_F(Control, FailuresBeforeTheExchangeCloseTheChannel) {
  qxsim_set_fault(QXSIM_CALL_OPEN, 0, FT_DEVICE_NOT_FOUND, 1);
  EXPECT_EQ(qx::send_command(0, 0, nullptr), -1);
  EXPECT_EQ(events(QXSIM_CALL_CLOSE, -1).size(), 0u) << "nothing to close";
  qxsim_set_fault(QXSIM_CALL_SET_TIMEOUTS, 0, FT_IO_ERROR, 1);
  EXPECT_EQ(qx::send_command(0, 0, nullptr), -2);
  qxsim_set_fault(QXSIM_CALL_PURGE, 0, FT_IO_ERROR, 1);
  EXPECT_EQ(qx::send_command(0, 0, nullptr), -3);
  EXPECT_EQ(qxsim_open_handles(), 0);
  EXPECT_EQ(events(QXSIM_CALL_CLOSE, 0).size(), 2u);
  EXPECT_TRUE(writes(0).empty());
  EXPECT_EQ(qx::control_status, FT_OK) << "the status of the close";
}

TEST_F(Control, CommandBytesAndTimeouts) {
  EXPECT_EQ(Do_Cal_On(), 1);
  EXPECT_TRUE(qxsim_shunt_on());
  EXPECT_EQ(Do_Cal_Off(), 1);
  EXPECT_FALSE(qxsim_shunt_on());
  EXPECT_EQ(Do_Autozero(), 1);
  EXPECT_EQ(writes(0), (std::vector<Bytes>{{0x40}, {0x50}, {0x10}}));
  const auto t = events(QXSIM_CALL_SET_TIMEOUTS, 0);
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].length, 1000u);
  EXPECT_EQ(t[0].done, 1000u);
  EXPECT_EQ(events(QXSIM_CALL_PURGE, 0)[0].length, 3u);

  qxsim_log_clear();
  EXPECT_EQ(qx::send_command(2, 5, nullptr), 1);
  EXPECT_EQ(qx::send_command(3, 15, nullptr), 1);
  EXPECT_EQ(qx::send_command(7, 3, nullptr), 1);
  EXPECT_EQ(qx::send_command(-1, 0, nullptr), 1);
  EXPECT_EQ(writes(0), (std::vector<Bytes>{{0x25}, {0x3F}, {0x00}, {0x00}}));
}

TEST_F(Control, PayloadExchangeAndArgumentGuard) {
  const uint8_t payload[16] = {1, 2, 4, 8, 16, 32, 64, 128, 3, 5, 7, 9, 11, 13, 15, 17};
  EXPECT_EQ(qx::send_command(9, 2, payload), 1 ^ 2 ^ 4);
  // Without a payload the command byte goes alone; the simulated amplifier then waits for the
  // payload it expects and never answers.
  EXPECT_EQ(qx::send_command(9, 2, nullptr), -4);
  EXPECT_EQ(qx::send_command(9, 15, payload), 0xFF ^ 3 ^ 5 ^ 7 ^ 9 ^ 11 ^ 13 ^ 15 ^ 17);
  const auto w = writes(0);
  ASSERT_EQ(w.size(), 5u);
  EXPECT_EQ(w[0], (Bytes{0x92, 1, 2, 4}));
  EXPECT_EQ(w[1], (Bytes{0x92}));
  EXPECT_EQ(w[4].size(), 17u);

  qxsim_log_clear();
  for (int32_t type : {2, 3, 9})
    for (int32_t b : {-1, 16, INT_MIN, INT_MAX})
      EXPECT_EQ(qx::send_command(type, b, payload), -4) << "type " << type << " argument " << b;
  EXPECT_EQ(qxsim_log_count(), 0) << "refused before the channel is opened";
}

TEST_F(Control, ControlWorksWhileStreaming) {
  set_rates(100, 100, 100, 100);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(qxtest::wait_for([] { return Get_Blocks_Transferred() > 2; }));
  EXPECT_EQ(Get_QX470USB_Status(), 101);
  EXPECT_EQ(Do_Cal_On(), 1);
  EXPECT_EQ(Do_Autozero(), 1);
  EXPECT_EQ(Set_Calibration_Data(312000), 1);
  EXPECT_EQ(Get_Calibration_Data(), 312000);
  const uint32_t before = Get_Blocks_Transferred();
  ASSERT_TRUE(qxtest::wait_for([before] { return Get_Blocks_Transferred() > before; }));
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(qxsim_open_handles(), 0);
}

struct Record {
  int32_t value;
  const char *bytes;  // 12 bytes
  int32_t read_back;
};

void PrintTo(const Record &r, std::ostream *os) {
  *os << r.value;
}

class CalibrationRecord : public Control, public ::testing::WithParamInterface<Record> {};

TEST_P(CalibrationRecord, StoredAsTwelveBytesAndReadBack) {
  const Record &r = GetParam();
  ASSERT_EQ(Set_Calibration_Data(r.value), 1);
  unsigned char stored[12];
  ASSERT_EQ(qxsim_eeprom_read(stored, 12), 12);
  EXPECT_EQ(std::memcmp(stored, r.bytes, 12), 0)
      << std::string(reinterpret_cast<char *>(stored), 12);
  EXPECT_EQ(Get_Calibration_Data(), r.read_back);
  EXPECT_EQ(qxsim_open_handles(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Values, CalibrationRecord,
    ::testing::Values(Record{312500, "cal:312500 \0", 312500}, Record{-5, "cal:-5 \0\0\0\0\0", -5},
                      Record{0, "cal:0 \0\0\0\0\0\0", 0}, Record{1234567, "cal:1234567 ", 1234567},
                      Record{123456789, "cal:12345678", 12345678},
                      Record{INT_MIN, "cal:-2147483", -2147483}),
    [](const auto &info) {
      const int32_t v = info.param.value;
      return (v < 0 ? "minus_" : "value_") + std::to_string(v < 0 ? -(int64_t{v}) : v);
    });

TEST(CalibrationParse, WithinTwelveBytesOnly) {
  auto parse = [](const char *text) {
    uint8_t rec[12];
    std::memcpy(rec, text, 12);
    return qx::parse_calibration_record(rec);
  };
  EXPECT_EQ(parse("cal:  \t+42  "), 42);
  EXPECT_EQ(parse("cal:-0007\0xx"), -7);
  EXPECT_EQ(parse("cal:99999999"), 99999999) << "unterminated: eight digits, no overflow";
  EXPECT_EQ(parse("cal:        "), 0);
  EXPECT_EQ(parse("cal:-\0\0\0\0\0\0\0"), 0);
  EXPECT_EQ(parse("Cal:312500 \0"), 0);
  EXPECT_EQ(parse("cal312500 \0\0"), 0);
  EXPECT_EQ(parse("cal\0:12\0\0\0\0\0"), 0);
  EXPECT_EQ(parse("cal:12\0"
                  "34\0\0\0"),
            12)
      << "ends at the zero byte";
  EXPECT_EQ(parse("\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff"), 0);
  EXPECT_EQ(parse("\0\0\0\0\0\0\0\0\0\0\0\0"), 0);
}

TEST_F(Control, UnusableRecordsAndMissingBridgeGiveZero) {
  unsigned char ff[12];
  std::memset(ff, 0xFF, 12);
  qxsim_eeprom_write(ff, 12);
  EXPECT_EQ(Get_Calibration_Data(), 0);
  qxsim_set_fault(QXSIM_CALL_EE_READ, 0, FT_EEPROM_READ_FAILED, 1);
  EXPECT_EQ(Get_Calibration_Data(), 0);
  qxsim_set_fault(QXSIM_CALL_EE_WRITE, 0, FT_EEPROM_WRITE_FAILED, 1);
  EXPECT_EQ(Set_Calibration_Data(312500), 0);
  EXPECT_EQ(qxsim_open_handles(), 0);
  qxsim_set_attached(0);
  EXPECT_EQ(Set_Calibration_Data(312500), 0);
  EXPECT_EQ(Get_Calibration_Data(), 0);
  EXPECT_EQ(Do_Autozero(), 0);
}

}  // namespace
