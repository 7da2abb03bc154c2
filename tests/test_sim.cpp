// The simulated bridge and amplifier, through the D2XX calls alone: what the library's other
// tests (and users' rigs) trust it for.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "ftd2xx.h"
#include "qxsim.h"
#include "stream_commands.h"
#include "test_support.h"

namespace {

class Sim : public ::testing::Test {
 protected:
  void SetUp() override {
    qxsim_reset();
    qxsim_set_speed(0);
    qxsim_set_signal(1);
    qxsim_set_timeout_scale(0.02);
  }
  void TearDown() override { qxsim_reset(); }

  static FT_HANDLE open(int index) {
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_Open(index, &h), FT_OK);
    return h;
  }
  static void write(FT_HANDLE h, std::vector<uint8_t> bytes) {
    DWORD written = 0;
    ASSERT_EQ(FT_Write(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written), FT_OK);
    ASSERT_EQ(written, bytes.size());
  }
  // Rate commands written by hand: divisors by channel, carried as channels 1, 2, 3, 0.
  static void program(FT_HANDLE h, std::array<int, 4> d) {
    std::vector<uint8_t> high = {0x8B}, low = {0x80};
    for (int c : {1, 2, 3, 0}) {
      high.push_back(static_cast<uint8_t>(0xC0 | (d[c] >> 6)));
      low.push_back(static_cast<uint8_t>(0xC0 | (d[c] & 0x3F)));
    }
    high.insert(high.end(), {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00});
    low.insert(low.end(), {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00});
    write(h, high);
    write(h, low);
    write(h, {0x4A, 0xC1, 0x00});
  }
  static std::vector<uint16_t> read_words(FT_HANDLE h, size_t n) {
    std::vector<uint8_t> bytes(2 * n);
    DWORD got = 0;
    EXPECT_EQ(FT_Read(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got), FT_OK);
    EXPECT_EQ(got, bytes.size());
    std::vector<uint16_t> words(n);
    for (size_t i = 0; i < n; ++i)
      words[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return words;
  }
};

TEST_F(Sim, EnumeratesTheBridgeAsTwoNodes) {
  DWORD n = 0;
  ASSERT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
  ASSERT_EQ(n, 2u);
  FT_DEVICE_LIST_INFO_NODE nodes[2];
  ASSERT_EQ(FT_GetDeviceInfoList(nodes, &n), FT_OK);
  EXPECT_STREQ(nodes[0].Description, "QX-470-USB A");
  EXPECT_STREQ(nodes[1].Description, "QX-470-USB B");
  EXPECT_STRNE(nodes[0].SerialNumber, nodes[1].SerialNumber);

  qxsim_set_attached(0);
  ASSERT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
  EXPECT_EQ(n, 0u);
  FT_HANDLE h;
  EXPECT_EQ(FT_Open(0, &h), FT_DEVICE_NOT_FOUND);
}

TEST_F(Sim, TheListHandedOutIsTheOneLastCounted) {
  DWORD n = 0;
  ASSERT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
  qxsim_set_extra_devices(3);  // arrives between the two calls
  FT_DEVICE_LIST_INFO_NODE nodes[2];
  ASSERT_EQ(FT_GetDeviceInfoList(nodes, &n), FT_OK);
  EXPECT_EQ(n, 2u);
}

TEST_F(Sim, BadAndClosedHandlesAreRefused) {
  FT_HANDLE h = open(0);
  EXPECT_EQ(FT_Close(h), FT_OK);
  uint8_t buf[16];
  DWORD n;
  for (FT_HANDLE bad : {h, static_cast<FT_HANDLE>(nullptr), reinterpret_cast<FT_HANDLE>(0x12345),
                        reinterpret_cast<FT_HANDLE>(~uintptr_t{0})}) {
    EXPECT_EQ(FT_Close(bad), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Read(bad, buf, 1, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Write(bad, buf, 1, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Purge(bad, 3), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_SetTimeouts(bad, 1, 1), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_StopInTask(bad), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_RestartInTask(bad), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_EE_UARead(bad, buf, 12, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_EE_UAWrite(bad, buf, 12), FT_INVALID_HANDLE);
  }
  EXPECT_EQ(qxsim_open_handles(), 0);
}

TEST_F(Sim, AnOpenInterfaceCannotBeOpenedAgain) {
  FT_HANDLE a = open(1), b = nullptr;
  EXPECT_EQ(FT_Open(1, &b), FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(FT_Open(2, &b), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(qxsim_open_handles(), 1);
  FT_Close(a);
}

class PatternLayout : public Sim, public ::testing::WithParamInterface<qxtest::WorkedLayout> {};

TEST_P(PatternLayout, WordsFollowTheSlotPatternFromSlotZero) {
  const auto &l = GetParam();
  FT_HANDLE h = open(1);
  program(h, l.divisors);
  const size_t frame = l.owners.size();
  const auto words = read_words(h, frame * 5 + 3);
  std::array<unsigned, 4> n{};
  for (size_t i = 0; i < words.size(); ++i) {
    const int c = l.owners[i % frame];
    ASSERT_EQ(words[i], qxsim_pattern_value(c, n[c]++)) << "word " << i;
  }
  for (int c = 0; c < 4; ++c) EXPECT_EQ(qxsim_divisor(c), l.divisors[c]);
  FT_Close(h);
}

INSTANTIATE_TEST_SUITE_P(Schedules, PatternLayout, ::testing::ValuesIn(qxtest::worked_layouts()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Sim, TestPatternFormula) {
  EXPECT_EQ(qxsim_pattern_value(0, 0), 12345u);
  EXPECT_EQ(qxsim_pattern_value(1, 0), static_cast<uint16_t>(40503 + 12345));
  EXPECT_EQ(qxsim_pattern_value(2, 3), static_cast<uint16_t>((3 * 4 + 2) * 40503u + 12345));
  EXPECT_EQ(qxsim_pattern_value(3, 0xFFFFFFFFu),
            static_cast<uint16_t>((uint64_t{0xFFFFFFFF} * 4 + 3) * 40503 + 12345));
}

TEST_F(Sim, StopEndsTheStreamAndStartBeginsAnew) {
  FT_HANDLE h = open(1);
  FT_SetTimeouts(h, 50, 50);
  program(h, {1, 0, 0, 0});
  EXPECT_EQ(read_words(h, 4),
            (std::vector<uint16_t>{static_cast<uint16_t>(qxsim_pattern_value(0, 0)),
                                   static_cast<uint16_t>(qxsim_pattern_value(0, 1)),
                                   static_cast<uint16_t>(qxsim_pattern_value(0, 2)),
                                   static_cast<uint16_t>(qxsim_pattern_value(0, 3))}));
  write(h, {0x4A, 0xC0, 0x00});
  EXPECT_FALSE(qxsim_streaming());
  uint8_t buf[8];
  DWORD got = 99;
  EXPECT_EQ(FT_Read(h, buf, 8, &got), FT_OK);
  EXPECT_EQ(got, 0u) << "a stopped, unpaced stream has nothing more";
  write(h, {0x4A, 0xC1, 0x00});
  EXPECT_EQ(read_words(h, 1)[0], qxsim_pattern_value(0, 0)) << "counting restarts at 0";
  FT_Close(h);
}

TEST_F(Sim, MalformedCommandBytesAreIgnored) {
  FT_HANDLE h = open(1);
  std::mt19937 rng(7);
  std::vector<uint8_t> junk(4096);
  for (auto &b : junk) b = static_cast<uint8_t>(rng());
  write(h, junk);
  // Broken commands, then a command split over several writes.
  write(h, {0x8B, 0xC1, 0x12, 0x4A, 0x80, 0xC0});
  write(h, {0x4A});
  write(h, {0xC0, 0x00});
  program(h, {0, 0, 1, 0});
  EXPECT_EQ(read_words(h, 2)[1], qxsim_pattern_value(2, 1));
  FT_Close(h);
}

TEST_F(Sim, ParserResynchronisesOnACommandByte) {
  qxsim::StreamCommandParser p;
  std::vector<qxsim::StreamCommand> seen;
  for (uint8_t b : {0x4A, 0xC1, 0x4A, 0xC0, 0x00, 0x80, 0xC1, 0xC2, 0xC3, 0xC4,
                    0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00, 0x4A, 0xC1, 0x01}) {
    const auto cmd = p.feed(b);
    if (cmd.kind != qxsim::StreamCommand::kNone) seen.push_back(cmd.kind);
  }
  EXPECT_EQ(seen, (std::vector{qxsim::StreamCommand::kStop, qxsim::StreamCommand::kRateLow}));
}

TEST_F(Sim, ReadTimeOutReturnsWhatArrived) {
  FT_HANDLE h = open(1);
  FT_SetTimeouts(h, 100, 100);
  qxsim_set_stream_limit(3);
  program(h, {1, 1, 1, 1});
  uint8_t buf[64];
  DWORD got = 0;
  EXPECT_EQ(FT_Read(h, buf, sizeof buf, &got), FT_OK);
  EXPECT_EQ(got, 6u);
  FT_Close(h);
}

TEST_F(Sim, PurgeDropsWhatIsBufferedAndStopInTaskHoldsDelivery) {
  qxsim_set_speed(50);
  FT_HANDLE h = open(1);
  FT_SetTimeouts(h, 500, 500);
  program(h, {1, 1, 1, 1});
  ASSERT_TRUE(qxtest::wait_for([] { return qxsim_words_sent() > 5000; }));
  ASSERT_EQ(FT_Purge(h, FT_PURGE_RX), FT_OK);
  uint8_t buf[2];
  DWORD got = 0;
  ASSERT_EQ(FT_Read(h, buf, 2, &got), FT_OK);
  ASSERT_EQ(got, 2u);

  ASSERT_EQ(FT_StopInTask(h), FT_OK);
  FT_SetTimeouts(h, 50, 50);
  ASSERT_EQ(FT_Read(h, buf, 2, &got), FT_OK);
  EXPECT_EQ(got, 0u) << "delivery is held";
  ASSERT_EQ(FT_RestartInTask(h), FT_OK);
  ASSERT_EQ(FT_Read(h, buf, 2, &got), FT_OK);
  EXPECT_EQ(got, 2u);
  FT_Close(h);
}

TEST_F(Sim, AFullReceiveBufferLosesWordsAndCountsThem) {
  qxsim_set_speed(200);
  FT_HANDLE h = open(1);
  program(h, {1, 1, 1, 1});
  ASSERT_TRUE(qxtest::wait_for([] { return qxsim_lost_words() > 0; }));
  EXPECT_GT(qxsim_words_sent(), QXSIM_RX_BUFFER_BYTES / 2);
  FT_Close(h);
}

TEST_F(Sim, RealTimePacingIsWithinTwentyPercent) {
  if (qxtest::sanitized()) GTEST_SKIP() << "timing is not asserted under sanitizers";
  qxsim_set_speed(1);
  FT_HANDLE h = open(1);
  program(h, {1, 1, 1, 1});  // 800 kB/s
  std::vector<uint8_t> buf(400000);
  DWORD got = 0;
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(FT_Read(h, buf.data(), static_cast<DWORD>(buf.size()), &got), FT_OK);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(got, buf.size());
  EXPECT_NEAR(secs, 0.5, 0.1);
  FT_Close(h);
}

TEST_F(Sim, ControlChannelEchoesAndFallsSilentWhenUnpowered) {
  FT_HANDLE h = open(0);
  FT_SetTimeouts(h, 1000, 1000);
  for (uint8_t cmd : {0x00, 0x10, 0x23, 0x3F, 0x40, 0x50}) {
    uint8_t reply = 0xAA;
    DWORD n = 0;
    write(h, {cmd});
    ASSERT_EQ(FT_Read(h, &reply, 1, &n), FT_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(reply, cmd);
  }
  EXPECT_FALSE(qxsim_shunt_on());
  write(h, {0x92, 0x01, 0x02, 0x04});
  uint8_t reply[2];
  DWORD n = 0;
  ASSERT_EQ(FT_Read(h, reply, 2, &n), FT_OK);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(reply[0], 0x92);
  EXPECT_EQ(reply[1], 0x07) << "the result byte is the XOR of the payload";

  qxsim_set_powered(0);
  write(h, {0x00});
  EXPECT_EQ(FT_Read(h, reply, 1, &n), FT_OK);
  EXPECT_EQ(n, 0u);
  FT_Close(h);
}

TEST_F(Sim, ShuntAndAutoZeroChangeTheWaveforms) {
  qxsim_set_signal(0);
  FT_HANDLE c = open(0), s = open(1);
  program(s, {1, 0, 0, 0});
  const auto before = read_words(s, 1)[0];
  write(c, {0x40});
  EXPECT_TRUE(qxsim_shunt_on());
  write(s, {0x4A, 0xC1, 0x00});  // restart the stream: same instant, shunt now on
  const auto with_shunt = read_words(s, 1)[0];
  EXPECT_NEAR(with_shunt - before, QXSIM_SHUNT_STEP_COUNTS, 8);
  write(c, {0x50, 0x10});
  write(s, {0x4A, 0xC1, 0x00});
  const auto zeroed = read_words(s, 1)[0];
  EXPECT_NEAR(before - zeroed, 0.050 / 312500e-9, 8) << "auto-zero removes channel 0's offset";
  FT_Close(c);
  FT_Close(s);
}

TEST_F(Sim, UserAreaHoldsThePowerOnRecordAndKeepsWrites) {
  FT_HANDLE h = open(0);
  uint8_t buf[QXSIM_EEPROM_UA_SIZE];
  DWORD n = 0;
  ASSERT_EQ(FT_EE_UARead(h, buf, 12, &n), FT_OK);
  EXPECT_EQ(n, 12u);
  EXPECT_EQ(std::memcmp(buf, "cal:312500 \0", 12), 0);
  uint8_t rec[12] = {'c', 'a', 'l', ':', '1', ' ', 0, 1, 2, 3, 4, 5};
  ASSERT_EQ(FT_EE_UAWrite(h, rec, 12), FT_OK);
  unsigned char copy[12];
  EXPECT_EQ(qxsim_eeprom_read(copy, 12), 12);
  EXPECT_EQ(std::memcmp(copy, rec, 12), 0);
  std::vector<uint8_t> big(QXSIM_EEPROM_UA_SIZE + 1);
  EXPECT_EQ(FT_EE_UAWrite(h, big.data(), static_cast<DWORD>(big.size())), FT_INVALID_PARAMETER);
  FT_Close(h);
}

}  // namespace
