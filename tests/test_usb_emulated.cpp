// The library over the libftdi1 backend, libftdi1 and libusb, against the emulated FT2232D with the
// amplifier behind it at the usbdevfs boundary. Every test runs in a process of its own (the
// emulated bus must exist before the first libusb context) under umockdev's preload library,
// which the program puts itself under.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QX470USB.h"
#include "context.h"
#include "emulated_bus.h"
#include "ftd2xx.h"
#include "qxftdi.h"
#ifdef QX470_WITH_READER
#include "amplifiers.h"
#include "device.h"
#endif
#include "stream_protocol.h"
#include "umockdev_preload.h"
#include "wait_for.h"

namespace {

using Clock = std::chrono::steady_clock;

using qxtest::wait_for;

template <class F>
double seconds_taken(F &&f) {
  const auto t0 = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool long_tests_enabled() {
  const char *v = std::getenv("QX470_LONG_TESTS");
  return v && std::strcmp(v, "1") == 0;
}

// Which samples of each channel a stream of the given rates carries per frame, and how many the
// library's priming skips: whole frames, at least ten words. Worked out from the rates alone.
struct Layout {
  std::array<int, 4> rates;  // kS/s, 0 off
  std::array<uint32_t, 4> skipped{};
};
Layout layout_for(std::array<int, 4> rates) {
  Layout l{rates};
  int ticks = 1;
  for (int r : rates)
    if (r) ticks = std::lcm(ticks, 100 / r);
  std::array<uint32_t, 4> per_frame{};
  uint32_t frame = 0;
  for (int c = 0; c < 4; ++c) {
    per_frame[static_cast<size_t>(c)] =
        rates[static_cast<size_t>(c)]
            ? static_cast<uint32_t>(ticks / (100 / rates[static_cast<size_t>(c)]))
            : 0;
    frame += per_frame[static_cast<size_t>(c)];
  }
  const uint32_t frames = (10 + frame - 1) / frame;
  for (size_t c = 0; c < 4; ++c) l.skipped[c] = frames * per_frame[c];
  return l;
}

uint16_t expected(int channel, uint64_t n) {
  return qxsim::pattern_value(channel, n);
}

class Emulated : public ::testing::Test {
 protected:
  // The devices on the bus: one amplifier, unless a bench of several says otherwise.
  virtual std::vector<qxusb::DeviceStrings> bench() const { return {{}}; }

  void SetUp() override {
    std::string error;
    bus_ = qxusb::EmulatedBus::start(false, error, bench());
    ASSERT_TRUE(bus_) << error;
    for (size_t i = 0; i < bus_->device_count(); ++i)
      bus_->with_device(i, [](qxsim::Amplifier &a, qxusb::Ft2232d &) { a.test_pattern = true; });
  }
  void TearDown() override {
    Stop_Acquisition();
    bus_.reset();
    unsetenv("QX470_USB_SERIAL");
  }

  void amp(const std::function<void(qxsim::Amplifier &)> &f) {
    bus_->with_device(amp_index_, [&](qxsim::Amplifier &a, qxusb::Ft2232d &) { f(a); });
  }
  void chip(const std::function<void(qxusb::Ft2232d &)> &f) {
    bus_->with_device(amp_index_, [&](qxsim::Amplifier &, qxusb::Ft2232d &c) { f(c); });
  }
  bool streaming() {
    bool s = false;
    amp([&](qxsim::Amplifier &a) { s = a.streaming(); });
    return s;
  }
  uint64_t chip_overruns() {
    uint64_t n = 0;
    chip([&](qxusb::Ft2232d &c) { n = c.overruns(1); });
    return n;
  }
  static void set_rates(const std::array<int, 4> &rates) {
    for (int c = 0; c < 4; ++c) {
      Set_Sample_Rate(c, rates[static_cast<size_t>(c)]);
      ASSERT_EQ(Get_Sample_Rate(c), rates[static_cast<size_t>(c)]);
    }
  }

  // Checks every sample of every channel that is on, in order, as they arrive, until each has
  // its share of `seconds_of_stream` checked. The first mismatch ends the check with a message.
  ::testing::AssertionResult check_stream(const Layout &l, double seconds_of_stream,
                                          double seconds) {
    std::array<uint32_t, 4> next{};
    std::vector<int32_t> buf(8192);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      bool all = true;
      for (int c = 0; c < 4; ++c) {
        const auto cu = static_cast<size_t>(c);
        const auto samples = static_cast<uint32_t>(seconds_of_stream * 1000 * l.rates[cu]);
        if (!l.rates[cu] || next[cu] >= samples) continue;
        all = false;
        const int32_t want = static_cast<int32_t>(std::min<uint32_t>(8192, samples - next[cu]));
        const int32_t got = Get_Data_Samples(buf.data(), c, next[cu], want);
        for (int32_t k = 0; k < got; ++k) {
          const uint32_t n = next[cu] + static_cast<uint32_t>(k);
          if (buf[static_cast<size_t>(k)] != expected(c, n + l.skipped[cu]))
            return ::testing::AssertionFailure()
                   << "channel " << c << " sample " << n << ": " << buf[static_cast<size_t>(k)]
                   << " instead of " << expected(c, n + l.skipped[cu]);
        }
        if (got == 0 && Get_DataPoint(c, next[cu]) == -4)
          return ::testing::AssertionFailure()
                 << "channel " << c << " sample " << next[cu] << " was overwritten unread";
        next[cu] += static_cast<uint32_t>(got);
      }
      if (all) return ::testing::AssertionSuccess();
      if (Clock::now() > end)
        return ::testing::AssertionFailure() << "samples stopped coming: channel 0 at " << next[0];
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // A third of a second of stream from the amplifier in use, every sample checked.
  void stream_briefly(const std::array<int, 4> &rates) {
    const Layout l = layout_for(rates);
    set_rates(l.rates);
    ASSERT_EQ(Start_Acquisition(0), 1);
    EXPECT_TRUE(check_stream(l, 0.3, 30));
    EXPECT_EQ(Stop_Acquisition(), 0);
  }

  std::unique_ptr<qxusb::EmulatedBus> bus_;
  size_t amp_index_ = 0;  // the device amp() and chip() reach
};

// ---- status and enumeration ----

TEST_F(Emulated, TheBridgeEnumeratesAsTwoNodes) {
  DWORD count = 0;
  ASSERT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 2u);
  FT_DEVICE_LIST_INFO_NODE nodes[2] = {};
  ASSERT_EQ(FT_GetDeviceInfoList(nodes, &count), FT_OK);
  EXPECT_STREQ(nodes[0].Description, "QX-470-USB A");
  EXPECT_STREQ(nodes[1].Description, "QX-470-USB B");
  EXPECT_STREQ(nodes[0].SerialNumber, "QX47000A");
  EXPECT_STREQ(nodes[1].SerialNumber, "QX47000B");
  EXPECT_EQ(nodes[0].ID, 0x04036010u);
  EXPECT_EQ(nodes[0].Type, 4u);  // FT2232C/D, from bcdDevice 0x0500
}

TEST_F(Emulated, StatusIsReadyWithThePoweredAmplifier) {
  EXPECT_EQ(Get_QX470USB_Status(), 101);
  // The library set the control channel's latency timer; the chip saw it.
  chip([](qxusb::Ft2232d &c) { EXPECT_EQ(c.latency_ms(0), 2); });
}

TEST_F(Emulated, StatusIsNoDeviceOnceTheDeviceLeftTheBus) {
  bus_->unplug();
  EXPECT_EQ(Get_QX470USB_Status(), -5);
}

TEST_F(Emulated, StatusIsNotPoweredWhenTheAmplifierIsSilent) {
  amp([](qxsim::Amplifier &a) { a.powered = false; });
  EXPECT_EQ(Get_QX470USB_Status(), -8);
  amp([](qxsim::Amplifier &a) { a.powered = true; });
  EXPECT_EQ(Get_QX470USB_Status(), 101);
}

// ---- control commands ----

TEST_F(Emulated, AutozeroAndShuntReachTheAmplifier) {
  EXPECT_EQ(Do_Autozero(), 1);
  amp([](qxsim::Amplifier &a) { EXPECT_TRUE(a.autozeroed); });
  EXPECT_EQ(Do_Cal_On(), 1);
  amp([](qxsim::Amplifier &a) { EXPECT_TRUE(a.shunt); });
  EXPECT_EQ(Do_Cal_Off(), 1);
  amp([](qxsim::Amplifier &a) { EXPECT_FALSE(a.shunt); });
  // Unpowered, a command fails and changes nothing.
  amp([](qxsim::Amplifier &a) { a.powered = false; });
  EXPECT_EQ(Do_Cal_On(), 0);
  amp([](qxsim::Amplifier &a) { EXPECT_FALSE(a.shunt); });
}

// While this process streams it holds the control interface claimed; its own commands go on.
TEST_F(Emulated, ControlCommandsGoOnWhileThisProcessStreams) {
  const Layout l = layout_for({100, 0, 0, 0});
  set_rates(l.rates);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(check_stream(l, 0.2, 30));
  EXPECT_EQ(Get_QX470USB_Status(), 101);
  EXPECT_EQ(Do_Autozero(), 1);
  EXPECT_EQ(Do_Cal_On(), 1);
  amp([](qxsim::Amplifier &a) { EXPECT_TRUE(a.shunt); });
  EXPECT_EQ(Do_Cal_Off(), 1);
  amp([](qxsim::Amplifier &a) { EXPECT_FALSE(a.shunt); });
  EXPECT_EQ(Get_Calibration_Data(), 312500);
  EXPECT_TRUE(check_stream(l, 0.2, 30)) << "the stream went on";
  EXPECT_EQ(Stop_Acquisition(), 0);
  EXPECT_EQ(Do_Cal_On(), 1) << "after the stop, the control channel opens on its own";
  EXPECT_EQ(Do_Cal_Off(), 1);
}

// ---- calibration record in the EEPROM ----

TEST_F(Emulated, CalibrationWriteChangesOnlyTheUserAreaAndTheChecksum) {
  EXPECT_EQ(Get_Calibration_Data(), 312500);
  std::array<uint8_t, qxusb::kEepromBytes> before{}, after{};
  chip([&](qxusb::Ft2232d &c) { before = c.eeprom; });

  ASSERT_EQ(Set_Calibration_Data(311999), 1);
  chip([&](qxusb::Ft2232d &c) { after = c.eeprom; });
  EXPECT_EQ(Get_Calibration_Data(), 311999);

  // The image the vendor's tool would write for the new record: same header and strings.
  const char record[] = "cal:311999 ";
  std::array<uint8_t, qxsim::kUserAreaBytes> ua{};
  ua.fill(0xFF);
  std::memcpy(ua.data(), "cal:312500 ", 12);
  std::memcpy(ua.data(), record, 12);
  const auto want = qxusb::Ft2232d::eeprom_image(ua.data(), ua.size());
  EXPECT_EQ(after, want);
  size_t first_change = before.size(), last_change = 0;
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i]) continue;
    first_change = std::min(first_change, i);
    last_change = i;
  }
  // Changed: "312500" -> "311999" at the user area's start (0x5E) plus 4, and the checksum word.
  EXPECT_EQ(first_change, 0x5Eu + 6);
  EXPECT_EQ(last_change, qxusb::kEepromBytes - 1);
  for (size_t i = 0x5E + 10; i < qxusb::kEepromBytes - 2; ++i)
    EXPECT_EQ(before[i], after[i]) << "byte " << i;
}

TEST_F(Emulated, CalibrationIsNotWrittenOverAnImageWithABadChecksum) {
  std::array<uint8_t, qxusb::kEepromBytes> before{}, after{};
  chip([&](qxusb::Ft2232d &c) {
    c.eeprom[0x7E] ^= 0x01;
    before = c.eeprom;
  });
  EXPECT_EQ(Set_Calibration_Data(300000), 0);
  chip([&](qxusb::Ft2232d &c) { after = c.eeprom; });
  EXPECT_EQ(after, before);
}

// ---- streaming ----

class EmulatedStream : public Emulated, public ::testing::WithParamInterface<std::array<int, 4>> {};

// Two seconds of real-time stream: every sample of every channel as the amplifier sent it, and
// no overrun anywhere on the way.
TEST_P(EmulatedStream, EverySampleMatchesTheTestPattern) {
  const Layout l = layout_for(GetParam());
  set_rates(l.rates);
  ASSERT_EQ(Start_Acquisition(0), 1);
  EXPECT_TRUE(check_stream(l, 2.0, 30));
  EXPECT_EQ(qxftdi_stream_overruns(qx::stream_handle), 0u);
  EXPECT_EQ(chip_overruns(), 0u);
  EXPECT_EQ(Stop_Acquisition(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, EmulatedStream,
                         ::testing::Values(std::array<int, 4>{100, 100, 100, 100},
                                           std::array<int, 4>{100, 50, 20, 10},
                                           std::array<int, 4>{0, 5, 0, 1}),
                         [](const auto &info) {
                           std::string name;
                           for (int r : info.param)
                             name += (name.empty() ? "" : "_") + std::to_string(r);
                           return name;
                         });

// The long run: a minute of the full rate, every sample checked, no overrun. Not in the quick
// suite: run with QX470_LONG_TESTS=1 (scripts/test.sh --bridge libftdi --usb-emulator --long).
TEST_F(Emulated, LongRunAMinuteAtTheFullRate) {
  if (!long_tests_enabled()) GTEST_SKIP() << "set QX470_LONG_TESTS=1 to run it";
  const Layout l = layout_for({100, 100, 100, 100});
  set_rates(l.rates);
  ASSERT_EQ(Start_Acquisition(0), 1);
  EXPECT_TRUE(check_stream(l, 61.0, 90));
  EXPECT_EQ(qxftdi_stream_overruns(qx::stream_handle), 0u);
  EXPECT_EQ(chip_overruns(), 0u);
}

TEST_F(Emulated, PauseRestartAndStopWithTheirHandshakes) {
  // A rate at which the resume has room: the full rate's resume is another matter.
  const Layout l = layout_for({50, 50, 50, 0});
  set_rates(l.rates);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(check_stream(l, 0.4, 30));

  EXPECT_EQ(Pause_Acquisition(), 1);
  EXPECT_TRUE(wait_for([&] { return !streaming(); })) << "no stop command reached the amplifier";
  EXPECT_EQ(Restart_Acquisition(), 1);  // returns once the acquisition thread resumed
  EXPECT_TRUE(streaming());
  // Numbering starts again at 0 with the amplifier's new stream.
  EXPECT_TRUE(check_stream(l, 0.4, 30));

  EXPECT_EQ(Stop_Acquisition(), 0);
  EXPECT_FALSE(streaming());
  EXPECT_EQ(Get_QX470USB_Status(), 101);  // the control channel is free again
}

// Resuming at the full rate: the chip's FIFO lasts half a millisecond, so the backend must be
// reading when the amplifier starts again. Every resume's first samples are checked.
TEST_F(Emulated, ResumesAtTheFullRateKeepTheHeadOfTheStream) {
  const Layout l = layout_for({100, 100, 100, 100});
  set_rates(l.rates);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(check_stream(l, 0.1, 30));
  int lost = 0;
  const int cycles = 50;
  for (int i = 0; i < cycles; ++i) {
    ASSERT_EQ(Pause_Acquisition(), 1);
    ASSERT_TRUE(wait_for([&] { return !streaming(); }));
    ASSERT_EQ(Restart_Acquisition(), 1);
    const auto r = check_stream(l, 0.05, 30);
    if (!r) {
      ++lost;
      std::printf("resume %d: %s\n", i, r.message());
    }
  }
  EXPECT_EQ(lost, 0) << "of " << cycles << " resumes";
  EXPECT_EQ(qxftdi_stream_overruns(qx::stream_handle), 0u);
}

TEST_F(Emulated, StopReturnsWhileTheDeviceIsSilent) {
  const Layout l = layout_for({100, 0, 0, 0});
  set_rates(l.rates);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(check_stream(l, 0.1, 30));
  amp([](qxsim::Amplifier &a) { a.stop_stream(qxsim::Clock::now()); });
  // What was in flight still arrives; then the count stays put (the same for half a second).
  uint32_t blocks = Get_Blocks_Transferred();
  auto since = Clock::now();
  EXPECT_TRUE(wait_for(
      [&] {
        if (const uint32_t now = Get_Blocks_Transferred(); now != blocks) {
          blocks = now;
          since = Clock::now();
        }
        return Clock::now() - since > std::chrono::milliseconds(500);
      },
      30))
      << "the block count goes on after the device fell silent";
  EXPECT_LT(seconds_taken([] { EXPECT_EQ(Stop_Acquisition(), 0); }), 5.0);
  EXPECT_EQ(Get_QX470USB_Status(), 101);
}

TEST_F(Emulated, UnplugMidStreamFailsEveryCallPromptly) {
  const Layout l = layout_for({100, 100, 100, 100});
  set_rates(l.rates);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(check_stream(l, 0.5, 30));
  bus_->unplug();

  // Every call comes back within about a second (wide bounds: a loaded machine).
  const double bound = 3.0;
  EXPECT_LT(seconds_taken([] { Get_Blocks_Transferred(); }), bound);
  EXPECT_LT(seconds_taken([] { Get_DataPoint(0, 1000); }), bound);
  EXPECT_LT(seconds_taken([] { EXPECT_EQ(Do_Autozero(), 0); }), bound);
  EXPECT_LT(seconds_taken([] { Pause_Acquisition(); }), bound);
  EXPECT_LT(seconds_taken([] { Restart_Acquisition(); }), bound);
  EXPECT_LT(seconds_taken([] { Stop_Acquisition(); }), bound);
  // Samples read before the unplug are still there until the next start.
  EXPECT_EQ(Get_DataPoint(0, 100), expected(0, 100 + l.skipped[0]));
  EXPECT_LT(seconds_taken([] { EXPECT_EQ(Get_QX470USB_Status(), -5); }), bound);
  EXPECT_LT(seconds_taken([] { EXPECT_EQ(Get_Calibration_Data(), 0); }), bound);
  EXPECT_LT(seconds_taken([] { EXPECT_EQ(Start_Acquisition(0), 0); }), bound);
}

// A host that stops reading for long enough: the chip's FIFO overflows, and the backend counts
// it and says so, instead of handing over a stream with a hole in it in silence.
TEST_F(Emulated, AnOverrunIsCountedAndReported) {
  FT_HANDLE h = nullptr;
  DWORD count = 0;
  ASSERT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(FT_Open(1, &h), FT_OK);
  ASSERT_EQ(FT_SetTimeouts(h, 200, 200), FT_OK);
  const int32_t divisors[4] = {1, 1, 1, 1};
  DWORD written = 0;
  const auto high = qx::rate_high_command(divisors);
  const auto low = qx::rate_low_command(divisors);
  ASSERT_EQ(FT_Write(h, const_cast<uint8_t *>(high.data()), high.size(), &written), FT_OK);
  ASSERT_EQ(FT_Write(h, const_cast<uint8_t *>(low.data()), low.size(), &written), FT_OK);
  testing::internal::CaptureStderr();
  auto start = qx::kStartCommand;
  ASSERT_EQ(FT_Write(h, start.data(), start.size(), &written), FT_OK);
  // Nobody reads: the backend's queue fills, it stops asking the chip, the chip overflows.
  EXPECT_TRUE(wait_for([&] { return chip_overruns() > 0; }, 30));
  std::vector<uint8_t> buf(1 << 16);
  EXPECT_TRUE(wait_for(
      [&] {
        DWORD got = 0;
        FT_Read(h, buf.data(), static_cast<DWORD>(buf.size()), &got);
        return qxftdi_stream_overruns(h) > 0;
      },
      30));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("overran"), std::string::npos) << err;
  // The line status carries it as D2XX's does, latched until read.
  ULONG status = 0;
  ASSERT_EQ(FT_GetModemStatus(h, &status), FT_OK);
  EXPECT_EQ(status >> 8 & FT_LINE_OVERRUN_ERROR, FT_LINE_OVERRUN_ERROR);
  ASSERT_EQ(FT_GetModemStatus(h, &status), FT_OK);
  EXPECT_EQ(status >> 8 & FT_LINE_OVERRUN_ERROR, 0u) << "read once, the latch is clear";
  EXPECT_EQ(FT_Close(h), FT_OK);
}

// ---- a bench with other devices on the same ids, or two amplifiers ----

std::vector<FT_DEVICE_LIST_INFO_NODE> listed_nodes() {
  DWORD count = 0;
  if (FT_CreateDeviceInfoList(&count) != FT_OK) return {};
  std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
  if (count && FT_GetDeviceInfoList(nodes.data(), &count) != FT_OK) return {};
  nodes.resize(count);
  return nodes;
}

// Anything a host does to a device beyond reading its descriptors.
::testing::AssertionResult left_alone(const qxusb::BusCounters &c) {
  if (c.claims == 0 && c.resets == 0 && c.vendor_requests == 0 && c.submitted == c.string_requests)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << c.claims << " claims, " << c.resets << " resets, " << c.vendor_requests
         << " vendor requests, " << c.submitted - c.string_requests << " other transfers";
}

class BesideAnotherDevice : public Emulated {
 protected:
  // The other device first: it is what a host meets first on the bus.
  std::vector<qxusb::DeviceStrings> bench() const override {
    return {{"Dual RS232", "FT1"}, {qxusb::kProduct, "QX47001"}};
  }
};

TEST_F(BesideAnotherDevice, TheAmplifierIsFoundAndTheOtherDeviceOnlyRead) {
  amp_index_ = 1;
  const auto nodes = listed_nodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_STREQ(nodes[0].Description, "QX-470-USB A");
  EXPECT_STREQ(nodes[1].SerialNumber, "QX47001B");
  EXPECT_EQ(Get_QX470USB_Status(), 101);
  EXPECT_EQ(Do_Autozero(), 1);
  amp([](qxsim::Amplifier &a) { EXPECT_TRUE(a.autozeroed); });
  ASSERT_NO_FATAL_FAILURE(stream_briefly({100, 0, 0, 10}));

  const qxusb::BusCounters other = bus_->counters(0);
  EXPECT_GT(other.string_requests, 0u) << "its product string was never read";
  EXPECT_TRUE(left_alone(other));
  EXPECT_GT(bus_->counters(1).claims, 0u);
}

// What udev matches a rule's keys against: the device's properties and sysfs attributes.
struct UdevView {
  std::string dir;                           // the device's sysfs folder
  std::map<std::string, std::string> props;  // from its uevent, SUBSYSTEM among them

  std::string attr(const std::string &name) const {
    std::ifstream f(dir + "/" + name);
    std::string v;
    std::getline(f, v);
    return v;
  }
};

// Whether every match key of a rule line holds for the device; assignments are not matches.
// A key this does not know fails, so that a new kind of key in the rule gets looked at here.
::testing::AssertionResult rule_matches(const std::string &line, const UdevView &d) {
  std::stringstream keys(line);
  std::string key;
  while (std::getline(keys, key, ',')) {
    key.erase(0, key.find_first_not_of(' '));
    const size_t op = key.find_first_of("=!+:");
    if (op == std::string::npos || key.compare(op, 2, "==") != 0) continue;
    const std::string name = key.substr(0, op);
    const std::string pattern = key.substr(op + 3, key.size() - op - 4);  // inside the quotes
    std::string value;
    if (name == "SUBSYSTEM")
      value = d.props.count("SUBSYSTEM") ? d.props.at("SUBSYSTEM") : "";
    else if (name.rfind("ENV{", 0) == 0)
      value = d.props.count(name.substr(4, name.size() - 5))
                  ? d.props.at(name.substr(4, name.size() - 5))
                  : "";
    else if (name.rfind("ATTR{", 0) == 0)
      value = d.attr(name.substr(5, name.size() - 6));
    else
      return ::testing::AssertionFailure() << "a key the test does not know: " << name;
    if (fnmatch(pattern.c_str(), value.c_str(), 0) != 0)
      return ::testing::AssertionFailure()
             << name << " is '" << value << "', not '" << pattern << "'";
  }
  return ::testing::AssertionSuccess();
}

// The rule gives access to the amplifier and not to the other device on the same ids.
TEST_F(BesideAnotherDevice, TheUdevRuleMatchesTheAmplifierAlone) {
  std::ifstream rules(std::string(QX470_SOURCE_DIR) + "/udev/60-qx470usb.rules");
  ASSERT_TRUE(rules.good());
  std::vector<std::string> lines;
  for (std::string line; std::getline(rules, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  for (size_t i = 0; i < 2; ++i) {
    UdevView d{bus_->root_dir() + bus_->sys_path(i), {}};
    std::ifstream uevent(d.dir + "/uevent");
    for (std::string p; std::getline(uevent, p);)
      if (const size_t eq = p.find('='); eq != std::string::npos)
        d.props[p.substr(0, eq)] = p.substr(eq + 1);
    ASSERT_EQ(d.attr("idVendor"), "0403");
    for (const std::string &line : lines) {
      if (i == 1)
        EXPECT_TRUE(rule_matches(line, d)) << "the amplifier, by: " << line;
      else
        EXPECT_FALSE(rule_matches(line, d)) << "the other device, by: " << line;
    }
  }
}

class TwoAmplifiers : public Emulated {
 protected:
  std::vector<qxusb::DeviceStrings> bench() const override {
    return {{qxusb::kProduct, "QX47001"}, {qxusb::kProduct, "QX47002"}};
  }
};

TEST_F(TwoAmplifiers, WithoutAChoiceNeitherIsUsed) {
  EXPECT_EQ(listed_nodes().size(), 4u);
  EXPECT_EQ(Get_QX470USB_Status(), -5);
  for (size_t i = 0; i < 2; ++i) EXPECT_TRUE(left_alone(bus_->counters(i))) << "amplifier " << i;
}

TEST_F(TwoAmplifiers, TheSerialNumberChoosesOneAndOnlyThatOneIsUsed) {
  setenv("QX470_USB_SERIAL", "QX47002", 1);
  amp_index_ = 1;
  const auto nodes = listed_nodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_STREQ(nodes[0].SerialNumber, "QX47002A");
  EXPECT_STREQ(nodes[1].SerialNumber, "QX47002B");
  EXPECT_EQ(Get_QX470USB_Status(), 101);
  ASSERT_NO_FATAL_FAILURE(stream_briefly({100, 50, 0, 0}));
  EXPECT_TRUE(left_alone(bus_->counters(0)));

  // A serial number that is not attached finds nothing, not the other amplifier.
  setenv("QX470_USB_SERIAL", "QX47003", 1);
  EXPECT_EQ(listed_nodes().size(), 0u);
  EXPECT_EQ(Get_QX470USB_Status(), -5);
}

#ifdef QX470_WITH_READER
// Choosing an amplifier makes the bridge list that one only, so the library opens it (the
// calibration record comes from the chosen amplifier, not from the first of all); what was
// attached before the choice is kept to tell a user whose choice is not there. Each is chosen in
// turn, as either may come first in libusb's order.
TEST_F(TwoAmplifiers, TheChosenAmplifierIsTheOneOpenedAndTheOthersAreNamedWhenItIsMissing) {
  const char *serials[2] = {"QX47001", "QX47002"};
  const char *records[2] = {"cal:311111 ", "cal:322222 "};
  for (size_t i = 0; i < 2; ++i)
    bus_->with_device(i, [&](qxsim::Amplifier &, qxusb::Ft2232d &c) {
      c.eeprom = qxusb::Ft2232d::eeprom_image(reinterpret_cast<const uint8_t *>(records[i]), 12,
                                              qxusb::kProduct, serials[i]);
    });
  unsetenv("QX470_USB_SERIAL");
  for (size_t i = 0; i < 2; ++i) {
    qx470reader::choose_amplifier(serials[i]);
    ASSERT_EQ(Get_QX470USB_Status(), 101);
    std::vector<qx470reader::Amplifier> listed;
    ASSERT_TRUE(qx470reader::list_amplifiers(listed));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].serial, serials[i]);
    EXPECT_EQ(qx470reader::chosen_amplifier(), serials[i]);
    EXPECT_EQ(Get_Calibration_Data(), i == 0 ? 311111 : 322222) << serials[i];
  }
  qx470reader::choose_amplifier("QX47009");
  EXPECT_EQ(Get_QX470USB_Status(), -5);
  EXPECT_EQ(qx470reader::status_words(-5),
            "no QX-470-USB with serial number 'QX47009' is attached (status -5); "
            "attached: QX47001, QX47002");
}
#endif

}  // namespace

int main(int argc, char **argv) {
  qxtest::run_under_umockdev_preload(argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
