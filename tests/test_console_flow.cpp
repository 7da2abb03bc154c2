// The console's program flow with scripted keys and a fake wait timer, over the real library and
// the simulated amplifier.
#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <map>

#include "console_io.h"
#if !defined(_WIN32)
#include "console_posix.h"
#endif
#include "schedule.h"
#include "test_support.h"

namespace {

using qxtest::wait_for;

// Keys arrive when their step's condition holds; the 25 ms wait sleeps 1 ms of real time.
class ScriptedIo : public qxconsole::ConsoleIo {
 public:
  struct Step {
    std::function<bool(const std::string &screen)> when;
    std::vector<int> keys;
  };
  std::vector<Step> steps;
  std::string screen;
  bool exit_prompt_read = false;
  int create_error = 0, arm_error = 0, wait_error = 0;
  int arm_failures_left = 0;
  int wait_ms = 1;
  // While the stream runs, each wait lasts until it has gone round the whole ring, however slowly
  // it runs (a sanitizer on a busy machine): the console is then sure to have fallen behind.
  bool wait_for_a_lap = false;

  void keys(std::vector<int> k) {
    steps.push_back({[](const std::string &) { return true; }, std::move(k)});
  }
  void keys_after(const std::string &text, std::vector<int> k, int times = 1) {
    steps.push_back(
        {[text, times](const std::string &s) { return count(s, text) >= times; }, std::move(k)});
  }
  static int count(const std::string &s, const std::string &text) {
    int n = 0;
    for (size_t p = s.find(text); p != std::string::npos; p = s.find(text, p + 1)) ++n;
    return n;
  }

  bool key_waiting() override {
    if (!pending_.empty()) return true;
    if (next_ < steps.size() && steps[next_].when(screen)) {
      pending_.insert(pending_.end(), steps[next_].keys.begin(), steps[next_].keys.end());
      ++next_;
    }
    return !pending_.empty();
  }
  int read_key() override {
    // A script that runs dry ends the run like the space key, after a generous wait.
    if (!wait_for([this] { return key_waiting(); }, 30)) return ' ';
    const int k = pending_.front();
    pending_.pop_front();
    return k;
  }
  void write(const char *text) override { screen += text; }
  bool timer_create(int &error) override {
    error = create_error;
    return create_error == 0;
  }
  bool timer_arm_25ms(int &error) override {
    if (arm_failures_left > 0) {
      --arm_failures_left;
      error = arm_error;
      return false;
    }
    return true;
  }
  bool timer_wait(int &error) override {
    if (wait_for_a_lap && qx::running.load()) {
      const uint32_t from = Get_Blocks_Transferred();
      wait_for(
          [from] {
            return !qx::running.load() ||
                   Get_Blocks_Transferred() - from > uint32_t(qx::kRingBlocks);
          },
          120);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    error = wait_error;
    return wait_error == 0;
  }
  void read_exit_char() override { exit_prompt_read = true; }

 private:
  std::deque<int> pending_;
  size_t next_ = 0;
};

constexpr int kUp = 72, kDown = 80, kRight = 77, kLeft = 75;
std::vector<int> ext(int code) {
  return {224, code};
}

const char *kHeader = "\n     Ch1       Ch2       Ch3       Ch4\n";
const char *kAcqHeader = "\nDigIO   Ch1      Ch2      Ch3      Ch4\n";

class ConsoleFlow : public qxtest::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    qxsim_set_speed(qxtest::sanitized() ? 2 : 10);
  }
  int run() { return qxconsole::run_console(io); }
  // Text of the rate lines drawn, in order.
  std::vector<std::string> rate_lines() const {
    std::vector<std::string> lines;
    size_t p = io.screen.find(kHeader);
    if (p == std::string::npos) return lines;
    p += std::strlen(kHeader);
    const size_t end = io.screen.find("\n\n", p);
    const std::string part = io.screen.substr(p, end - p);
    size_t s = 0;
    for (size_t r = part.find('\r'); r != std::string::npos; s = r + 1, r = part.find('\r', s))
      lines.push_back(part.substr(s, r - s));
    return lines;
  }
  static std::string volts(int32_t value, uint32_t cal = 312500) {
    char out[32];
    qxconsole::format_voltage(out, value, static_cast<float>(cal / 1e9));
    return out;
  }
  // Status lines with readings: "c   " then four 9-character voltages, then "\r".
  std::vector<std::string> reading_lines() const {
    std::vector<std::string> readings;
    for (size_t p = io.screen.find("c   "); p != std::string::npos;
         p = io.screen.find("c   ", p + 1)) {
      if (p + 4 + 36 < io.screen.size() && io.screen[p + 40] == '\r' && io.screen[p + 11] == 'V')
        readings.push_back(io.screen.substr(p + 4, 36));
    }
    return readings;
  }
  // Which reading of the test pattern each shown voltage is: sample 10000 k of the stream (plus
  // the three samples that priming discards from the simulator's count).
  static std::vector<std::map<std::string, uint32_t>> pattern_readings(uint32_t up_to) {
    std::vector<std::map<std::string, uint32_t>> sample_of(4);
    for (int c = 0; c < 4; ++c)
      for (uint32_t k = 0; k <= up_to; ++k)
        sample_of[c][volts(static_cast<int32_t>(qxsim_pattern_value(c, 10000 * k + 3)))] = k;
    return sample_of;
  }
  // Each status line's readings as which reading of the pattern each channel shows, or
  // kNoReading while a channel is still at mid-scale before its first. A value that is no
  // reading of the pattern fails the test and ends the list.
  static constexpr int64_t kNoReading = -1;
  std::vector<std::array<int64_t, 4>> shown_readings() const {
    const auto sample_of = pattern_readings(60);
    std::vector<std::array<int64_t, 4>> out;
    std::array<bool, 4> seen{};
    for (const std::string &v : reading_lines()) {
      std::array<int64_t, 4> k{};
      for (size_t c = 0; c < 4; ++c) {
        const std::string one = v.substr(c * 9, 9);
        k[c] = kNoReading;
        if (!seen[c] && one == volts(32768)) continue;
        const auto it = sample_of[c].find(one);
        if (it == sample_of[c].end()) {
          ADD_FAILURE() << "channel " << c << " shows " << one;
          return out;
        }
        k[c] = it->second;
        seen[c] = true;
      }
      out.push_back(k);
    }
    return out;
  }
  ScriptedIo io;
};

TEST_F(ConsoleFlow, RateSelectionFollowsTheArrowsWithinTheirLimits) {
  io.keys(ext(kUp));
  io.keys(ext(kUp));                                 // already at 100 kS/s
  io.keys(ext(kLeft));                               // already on channel 1
  for (int i = 0; i < 4; ++i) io.keys(ext(kRight));  // stops at channel 4
  for (int i = 0; i < 7; ++i) io.keys(ext(kDown));   // stops at 1 kS/s
  io.keys(ext(71));                                  // Home: drawn again unchanged
  io.keys({' '});                                    // ends selection only
  io.keys_after(kAcqHeader, {' '});
  EXPECT_EQ(run(), 0);
  const auto lines = rate_lines();
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[0], " [ 50kS/s]   50kS/s    50kS/s    50kS/s ");
  EXPECT_EQ(lines[1], " [100kS/s]   50kS/s    50kS/s    50kS/s ");
  EXPECT_EQ(lines[2], lines[1]);
  EXPECT_EQ(lines[3], lines[1]);
  EXPECT_EQ(lines[7], "  100kS/s    50kS/s    50kS/s  [ 50kS/s]");
  EXPECT_EQ(lines[14], "  100kS/s    50kS/s    50kS/s  [  1kS/s]");
  EXPECT_EQ(lines[15], lines[14]);
  EXPECT_EQ(Get_Sample_Rate(0), 100);
  EXPECT_EQ(Get_Sample_Rate(3), 1);
  EXPECT_TRUE(io.exit_prompt_read);
  EXPECT_NE(
      io.screen.find("Select sample rate using arrow keys; hit any other key when done... \n"),
      std::string::npos);
  EXPECT_NE(io.screen.find("\n\nDigIO : Cal Shunt[c/C]\n"), std::string::npos);
}

TEST_F(ConsoleFlow, AFunctionKeyEndsSelectionAndItsSecondCodeIsDropped) {
  io.keys({0, 'p'});  // as if a function key's second code were 'p': it must not pause
  io.keys_after(kAcqHeader, {' '});
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(rate_lines().size(), 1u);
  EXPECT_TRUE(qxsim_call_count(QXSIM_CALL_STOP_IN_TASK, 1, 0) == 0);
}

// Every reading of channel c is sample 10000 k of it (plus the three samples that priming
// discards from the simulator's count); readings go on across boundary steps.
TEST_F(ConsoleFlow, ReadingsAreEveryTenThousandthSampleAcrossBoundarySteps) {
  // At this speed the device's buffer covers a stall of the whole process of about 330 ms.
  if (!qxtest::sanitized()) qxsim_set_speed(4);
  qxsim_set_signal(1);
  io.keys({'x'});
  // 27 readings pass the modulus of 262144: wait for a few more after the first step.
  io.steps.push_back(
      {[](const std::string &) { return qx::device_context.schedule.boundary_block >= 64; }, {}});
  io.keys_after("V \r", {' '}, 32);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(io.screen.find("Error"), std::string::npos);
  // A longer stall (a loaded machine) makes the device drop words, as a real one would, and
  // then no reading can match the pattern: that says nothing about the console.
  if (const auto lost = qxsim_lost_words(); lost > 0)
    GTEST_SKIP() << "this process stalled and the simulated device lost " << lost << " words";

  std::array<int64_t, 4> last{};
  int lines = 0;
  for (const auto &shown : shown_readings()) {
    for (size_t c = 0; c < 4; ++c) {
      const int64_t k = shown[c];
      if (k == kNoReading) continue;
      ASSERT_TRUE(k == last[c] || k == last[c] + 1)
          << "channel " << c << ": " << last[c] << " -> " << k;
      last[c] = k;
    }
    ++lines;
  }
  EXPECT_GE(lines, 32);
  for (size_t c = 0; c < 4; ++c) EXPECT_GE(last[c], 28) << "past the first boundary step";
}

// Words lost below the library: it realigns the stream, the block count falls, and the console
// takes up its counters again as after 'r', so the readings go on, right, from sample 10000 of
// the new stream.
TEST_F(ConsoleFlow, ReadingsGoOnRightAfterTheLibraryRealignsTheStream) {
  if (!qxtest::sanitized()) qxsim_set_speed(4);
  qxsim_set_signal(1);
  const uint32_t before = qx::realignments_for_test();
  io.keys({'x'});
  io.steps.push_back({[](const std::string &s) {
                        if (ScriptedIo::count(s, "V \r") < 6) return false;
                        qxsim_drop_words(3);
                        return true;
                      },
                      {}});
  io.steps.push_back(
      {[before](const std::string &) { return qx::realignments_for_test() > before; }, {}});
  io.keys_after("V \r", {' '}, 30);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(io.screen.find("Error"), std::string::npos);
  ASSERT_GT(qx::realignments_for_test(), before);
  if (const auto lost = qxsim_lost_words(); lost > 3)
    GTEST_SKIP() << "this process stalled and the simulated device lost " << lost << " words";

  std::array<int64_t, 4> last{};
  std::array<int, 4> restarts{}, after_restart{};
  for (const auto &shown : shown_readings()) {
    for (size_t c = 0; c < 4; ++c) {
      const int64_t k = shown[c];
      if (k == kNoReading) continue;
      if (k == 1 && last[c] > 1) {
        ++restarts[c];  // the new stream's first reading
      } else {
        ASSERT_TRUE(k == last[c] || k == last[c] + 1)
            << "channel " << c << ": " << last[c] << " -> " << k;
      }
      if (restarts[c]) ++after_restart[c];
      last[c] = k;
    }
  }
  for (size_t c = 0; c < 4; ++c) {
    EXPECT_EQ(restarts[c], 1) << "channel " << c;
    EXPECT_GE(after_restart[c], 5) << "channel " << c << ": the readings went on";
  }
}

TEST_F(ConsoleFlow, TheFirstReadingIsSampleTenThousand) {
  qxsim_set_signal(1);
  io.keys({'\n'});
  io.keys_after("V \r", {' '});
  EXPECT_EQ(run(), 0);
  const size_t p = io.screen.find(kAcqHeader);
  ASSERT_NE(p, std::string::npos);
  std::string expected;
  const size_t first = io.screen.find("V \r", p);
  ASSERT_NE(first, std::string::npos);
  const std::string line =
      io.screen.substr(io.screen.rfind("c   ", first), first + 3 - io.screen.rfind("c   ", first));
  // Channels whose reading arrived show sample 10000; one whose reading came a pass later shows
  // mid-scale in this line.
  for (int c = 0; c < 4; ++c) {
    const std::string shown = line.substr(4 + static_cast<size_t>(c) * 9, 9);
    EXPECT_TRUE(shown == volts(static_cast<int32_t>(qxsim_pattern_value(c, 10003))) ||
                shown == volts(32768))
        << "channel " << c << ": " << shown << " lost words " << qxsim_lost_words();
  }
  EXPECT_NE(line.substr(4, 36), std::string(4, ' ') + "0.000V " + "  0.000V   0.000V   0.000V ");
}

TEST_F(ConsoleFlow, ExtendedKeysDuringAcquisitionActAsTheirSecondCode) {
  io.keys({'q'});
  io.keys_after("V \r", {'r'});          // no pause yet: nothing changes
  io.keys_after("V \r", ext(kDown), 3);  // 80 is 'P': pause
  io.steps.push_back(
      {[](const std::string &) { return !qxsim_call_count(QXSIM_CALL_STOP_IN_TASK, 1, 0) == 0; },
       ext(82)});
  io.steps.push_back({[](const std::string &) { return qx::pause_flag.load() == 0; }, {}});
  io.keys_after("V \r", {' '}, 6);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(qxsim_call_count(QXSIM_CALL_STOP_IN_TASK, 1, 0), 1);
  EXPECT_EQ(qxsim_call_count(QXSIM_CALL_RESTART_IN_TASK, 1, 0), 1);
  EXPECT_EQ(io.screen.find("Error"), std::string::npos);
}

TEST_F(ConsoleFlow, ShuntToggleShowsInTheSamePassAndTrimIsWrittenBack) {
  qxsim_eeprom_write(reinterpret_cast<const unsigned char *>("cal:319999 "), 12);
  io.keys({'x'});
  io.keys_after("c   ", {'1'}, 3);
  io.keys_after("C   ", {'+', '1'});
  io.keys_after("c   ", {' '}, 5);
  EXPECT_EQ(run(), 0);
  EXPECT_NE(io.screen.find("\n\rCal Data set to : 319999\n\r"), std::string::npos);
  EXPECT_NE(io.screen.find("\n\rCal Data set to : 320000\n\r"), std::string::npos)
      << "the trim is written back even out of range";
  EXPECT_EQ(Get_Calibration_Data(), 320000);
  const auto w = qxtest::writes(0);
  EXPECT_EQ(std::count(w.begin(), w.end(), std::vector<uint8_t>{0x40}), 1);
  EXPECT_EQ(std::count(w.begin(), w.end(), std::vector<uint8_t>{0x50}), 2) << "at start and on '1'";
}

struct Calibration {
  const char *record;
  bool accepted;
  int32_t written_back;
};

void PrintTo(const Calibration &c, std::ostream *os) {
  *os << c.record;
}

class ConsoleCalibration : public ConsoleFlow, public ::testing::WithParamInterface<Calibration> {};

TEST_P(ConsoleCalibration, RangeCheckAndWriteBack) {
  const auto &c = GetParam();
  qxsim_eeprom_write(reinterpret_cast<const unsigned char *>(c.record), 12);
  io.keys({' '});
  io.keys_after(kAcqHeader, {' '});
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(
      io.screen.find("\n\rCalibration Data could not be read from EEPROM\n") == std::string::npos,
      c.accepted);
  EXPECT_EQ(Get_Calibration_Data(), c.written_back);
}

INSTANTIATE_TEST_SUITE_P(
    Records, ConsoleCalibration,
    ::testing::Values(Calibration{"cal:300000 ", false, 312500},
                      Calibration{"cal:320000 ", false, 312500},
                      Calibration{"cal:300001 ", true, 300001},
                      Calibration{"cal:319999 ", true, 319999},
                      Calibration{"\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", false, 312500}));

TEST_F(ConsoleFlow, NoDeviceAndNotPowered) {
  qxsim_set_attached(0);
  EXPECT_EQ(run(), 0);
  EXPECT_NE(io.screen.find("No Device\n\n\nHit <RETURN> to exit.\n"), std::string::npos);
  EXPECT_TRUE(io.exit_prompt_read);
  EXPECT_TRUE(qxtest::events(QXSIM_CALL_OPEN, -1).empty()) << "no other library call";

  io = ScriptedIo{};
  qxsim_set_attached(1);
  qxsim_set_powered(0);
  EXPECT_EQ(run(), 0);
  EXPECT_NE(io.screen.find("Device is not powered\n"), std::string::npos);
}

TEST_F(ConsoleFlow, AReadoutErrorEndsTheRunAtTheExitPrompt) {
  // As fast as the library reads, so that no build is too slow to keep up with the device.
  qxsim_set_speed(0);
  io.wait_for_a_lap = true;  // the console falls far behind the stream
  io.keys({' '});
  EXPECT_EQ(run(), 0);
  EXPECT_NE(io.screen.find("\nError -4\n"), std::string::npos);
  EXPECT_NE(io.screen.find("\n\rCal Data set to : 312500\n\r"), std::string::npos);
  EXPECT_TRUE(io.exit_prompt_read);
  EXPECT_EQ(qx::running.load(), 0);
}

TEST_F(ConsoleFlow, TimerFailures) {
  io.create_error = 24;
  EXPECT_EQ(run(), 1);
  EXPECT_NE(io.screen.find("CreateWaitableTimer failed (24)\n"), std::string::npos);
  EXPECT_FALSE(io.exit_prompt_read);

  // Failing to arm during selection: the message, then a blocking key read; during
  // acquisition: the message, then the normal shutdown.
  io = ScriptedIo{};
  io.arm_failures_left = 2;
  io.arm_error = 22;
  io.keys_after("SetWaitableTimer failed (22)\n", {' '});
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(ScriptedIo::count(io.screen, "SetWaitableTimer failed (22)\n"), 2);
  EXPECT_NE(io.screen.find("Cal Data set to : 312500\n\r\n\nHit <RETURN>"), std::string::npos);

  io = ScriptedIo{};
  io.wait_error = 5;
  io.keys({' '});
  EXPECT_EQ(run(), 0);
  EXPECT_NE(io.screen.find("WaitForSingleObject failed (5)\n"), std::string::npos);
  EXPECT_TRUE(io.exit_prompt_read);
}

TEST(ConsoleVoltage, Formatting) {
  auto v = [](int32_t value) {
    char out[32];
    qxconsole::format_voltage(out, value, static_cast<float>(312500 / 1e9));
    return std::string(out);
  };
  EXPECT_EQ(v(32767), " -0.000V ");
  EXPECT_EQ(v(32768), "  0.000V ");
  EXPECT_EQ(v(0), "-10.240V ");
  EXPECT_EQ(v(65535), " 10.240V ");
}

#if !defined(_WIN32)  // terminal sequences are the POSIX console's
TEST(KeyDecoder, TerminalSequencesBecomeTwoCodeKeys) {
  auto decode = [](std::string bytes) {
    std::deque<int> out;
    size_t i = 1;
    qxconsole::KeyDecoder::decode(
        static_cast<unsigned char>(bytes[0]),
        [&] { return i < bytes.size() ? static_cast<unsigned char>(bytes[i++]) : -1; }, out);
    return std::vector<int>(out.begin(), out.end());
  };
  using V = std::vector<int>;
  EXPECT_EQ(decode("\x1b[A"), (V{224, 72}));
  EXPECT_EQ(decode("\x1b[B"), (V{224, 80}));
  EXPECT_EQ(decode("\x1bOC"), (V{224, 77}));
  EXPECT_EQ(decode("\x1bOD"), (V{224, 75}));
  EXPECT_EQ(decode("\x1b[1;5A"), (V{224, 72}));
  EXPECT_EQ(decode("\x1b[H"), (V{224, 71}));
  EXPECT_EQ(decode("\x1b[4~"), (V{224, 79}));
  EXPECT_EQ(decode("\x1b[5~"), (V{224, 73}));
  EXPECT_EQ(decode("\x1b[6~"), (V{224, 81}));
  EXPECT_EQ(decode("\x1b[2~"), (V{224, 82}));
  EXPECT_EQ(decode("\x1b[3~"), (V{224, 83}));
  EXPECT_EQ(decode("\x1bOP"), (V{0, 59}));
  EXPECT_EQ(decode("\x1b[11~"), (V{0, 59}));
  EXPECT_EQ(decode("\x1b[21~"), (V{0, 68}));
  EXPECT_EQ(decode("\x1b"), (V{27}));
  EXPECT_EQ(decode("a"), (V{'a'}));
  EXPECT_EQ(decode("\x1b[99~"), V{});
  EXPECT_EQ(decode("\x1b[999999999999A"), (V{224, 72}));
}
#endif

}  // namespace
