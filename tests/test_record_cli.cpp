// qx470-record as a program: exit codes and messages for bad arguments and a missing device,
// --show, and Ctrl-C or SIGTERM in the middle of an open-ended recording leaving an EDF+ file
// that reads back whole.
#include <edflib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "amplifiers.h"
#include "qxsim.h"
#include "record_cli_support.h"
#include "recording_check.h"
#include "wait_for.h"

namespace {

namespace fs = std::filesystem;
using namespace qxtest;  // the recorder run as a program: spawn, wait_exit, slurp, RecordCli

TEST_F(RecordCli, BadArgumentsExitWithTwoAndTouchNoFile) {
  EXPECT_EQ(run({"-r", "1=30", "-o", (dir_ / "x.edf").string()}), 2);
  EXPECT_NE(err_.find("invalid rate '30' for channel 1"), std::string::npos) << err_;
  EXPECT_FALSE(fs::exists(dir_ / "x.edf"));
  EXPECT_EQ(run({"--time", "soon", "-o", "x.csv"}), 2);
  EXPECT_NE(err_.find("invalid duration 'soon'"), std::string::npos) << err_;
  EXPECT_EQ(out_, "");
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_NE(out_.find("Usage: qx470-record"), std::string::npos);
}

TEST_F(RecordCli, ShowSaysTheStatusAndTheCalibrationValue) {
  EXPECT_EQ(run({"--show"}), 0);
  EXPECT_NE(out_.find("Device: ready (status 101)"), std::string::npos) << out_;
  EXPECT_NE(out_.find("Calibration: 312500 nV per count"), std::string::npos) << out_;
  EXPECT_NE(out_.find("Bridge: simulated amplifier (/"), std::string::npos) << out_;
  EXPECT_EQ(run({"--show"}, {"QXSIM_EEPROM=cal:12 "}), 0);
  EXPECT_NE(out_.find("not readable (read 12"), std::string::npos) << out_;
  EXPECT_EQ(run({"--show"}, {"QXSIM_ATTACHED=0"}), 1);
  EXPECT_NE(out_.find("status -5"), std::string::npos) << out_;
  // Without a device it still says which bridge looked for one.
  EXPECT_NE(out_.find("Bridge: simulated amplifier"), std::string::npos) << out_;
}

// The simulated amplifier has serial number QX47000; -d chooses it or finds nothing.
TEST_F(RecordCli, ScanListsTheAmplifierAndDeviceChoosesByItsSerialNumber) {
  EXPECT_EQ(run({"--scan"}, {"QXSIM_SIGNAL=1"}), 0) << err_;
  EXPECT_NE(out_.find("QX47000          QX-470-USB"), std::string::npos) << out_;
  EXPECT_NE(out_.find("(simulated amplifier, no hardware)"), std::string::npos) << out_;
  EXPECT_EQ(run({"-d", "QX47000", "--show"}), 0) << err_;
  EXPECT_NE(out_.find("Serial number: QX47000"), std::string::npos) << out_;

  const std::string out = (dir_ / "none.csv").string();
  EXPECT_EQ(run({"-d", "QX47009", "-n", "10", "-o", out}), 1);
  EXPECT_NE(err_.find("no QX-470-USB with serial number 'QX47009' is attached (status -5); "
                      "attached: QX47000"),
            std::string::npos)
      << err_;
  EXPECT_FALSE(fs::exists(out));

  EXPECT_EQ(run({"--scan"}, {"QXSIM_ATTACHED=0"}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_NE(err_.find("no QX-470-USB found"), std::string::npos) << err_;
}

// A device whose strings this user may not read is in no listing: sysfs still shows it on the
// bridge's ids, and that is what --scan and the no-device message name.
TEST_F(RecordCli, DevicesThisUserMayNotOpenAreFoundThroughSysfs) {
  const auto device = [&](const std::string &name, const char *pid, int bus, int address) {
    const fs::path d = dir_ / "sys/bus/usb/devices" / name;
    fs::create_directories(d);
    std::ofstream(d / "idVendor") << "0403\n";
    std::ofstream(d / "idProduct") << pid << "\n";
    std::ofstream(d / "busnum") << bus << "\n";
    std::ofstream(d / "devnum") << address << "\n";
  };
  device("2-1", "6010", 2, 3);
  device("1-1", "6010", 1, 5);
  device("1-2", "6001", 1, 6);                                   // another product of the maker
  fs::create_directories(dir_ / "sys/bus/usb/devices/1-1:1.0");  // an interface, with no ids
  const auto refuse_all = [](const std::string &) { return false; };
  EXPECT_EQ(qx470reader::unopenable_devices(dir_.string(), refuse_all),
            (std::vector<std::string>{"/dev/bus/usb/001/005", "/dev/bus/usb/002/003"}));
  const auto refuse_one = [&](const std::string &node) {
    return node != dir_.string() + "/dev/bus/usb/002/003";
  };
  EXPECT_EQ(qx470reader::unopenable_devices(dir_.string(), refuse_one),
            std::vector<std::string>{"/dev/bus/usb/002/003"});
  setenv("QX470_USB_IDS", "0403:6001", 1);
  EXPECT_EQ(qx470reader::unopenable_devices(dir_.string(), refuse_all),
            std::vector<std::string>{"/dev/bus/usb/001/006"});
  unsetenv("QX470_USB_IDS");
  EXPECT_TRUE(qx470reader::unopenable_devices((dir_ / "nothing").string(), refuse_all).empty());
  // A node that is gone is no permission problem.
  EXPECT_TRUE(qx470reader::may_open((dir_ / "gone").string()));
}

TEST_F(RecordCli, AnUnplausibleCalibrationIsReplacedWithAWarning) {
  const std::string out = (dir_ / "c.csv").string();
  EXPECT_EQ(run({"-r", "1=100", "-n", "10", "-o", out}, {"QXSIM_EEPROM=cal:999999 "}), 0) << err_;
  EXPECT_NE(err_.find("warning: calibration value not readable (read 999999), using 312500"),
            std::string::npos)
      << err_;
  EXPECT_NE(slurp(out).find("calibration 312500 nV per count"), std::string::npos);
}

// The whole recorder stopped (Ctrl-Z, a loaded machine) for 4 s, three times what the simulated
// device's buffer lasts at 800 kB/s (1.3 s): the device loses words, the library realigns the
// stream, and every sample in the file is either right against the test pattern at its time or
// inside a reported gap. Exit status 3, and the summary and a warning say so.
TEST_F(RecordCli, AStalledRecorderLosesNothingOutsideAReportedGap) {
  const std::string out = (dir_ / "stall.dat").string();
  const Child c = spawn({"-q", "-r", "1=100,2=100,3=100,4=100", "-t", "5s", "-o", out},
                        {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!(fs::exists(out) && fs::file_size(out) > 500'000) &&
         std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(c.pid, SIGSTOP);
  std::this_thread::sleep_for(
      std::chrono::milliseconds(4000));  // three times what the buffer lasts
  kill(c.pid, SIGCONT);
  ASSERT_EQ(wait_exit(c.pid), 3) << slurp(c.err);
  const std::string err = slurp(c.err);
  EXPECT_NE(err.find("the stream was realigned"), std::string::npos) << err;
  EXPECT_NE(err.find("; LOST Ch1 "), std::string::npos) << err;

  // Four channels at one rate: one word each a frame; priming discards three frames.
  const qxtest::RawRecording r = qxtest::read_four_channel_dat(
      out, (dir_ / "stall.json").string(), 500000, 3,
      [](int ch, uint64_t n) { return uint16_t(qxsim_pattern_value(ch, unsigned(n))); });
  ASSERT_TRUE(r.whole) << "5 s of 4 channels";
  for (size_t ch = 0; ch < 4; ++ch) {
    ASSERT_FALSE(r.gaps[ch].empty()) << r.json;
    EXPECT_EQ(r.gaps[ch][0].kind, "realign") << r.json;
    EXPECT_EQ(r.wrong[ch], 0u) << "channel " << ch + 1;
  }
}

// Samples recorded in an EDF+ file of one signal (up to its "recording ends" annotation) and
// how many differ from the test pattern of library channel 0 with `primed` samples discarded.
struct EdfContents {
  long long recorded = -1;
  size_t wrong = 0;
};
EdfContents read_single_signal(const std::string &path, unsigned primed) {
  EdfContents r;
  auto hdr = std::make_unique<edf_hdr_struct>();
  if (edfopen_file_readonly(path.c_str(), hdr.get(), EDFLIB_READ_ALL_ANNOTATIONS) != 0) return r;
  long long end_onset = -1;
  for (long long i = 0; i < hdr->annotations_in_file; ++i) {
    edf_annotation_struct a{};
    edf_get_annotation(hdr->handle, static_cast<int>(i), &a);
    if (std::string(a.annotation) == "recording ends") end_onset = a.onset;
  }
  const long long per_second = hdr->signalparam[0].smp_in_datarecord;
  r.recorded = end_onset < 0 ? hdr->signalparam[0].smp_in_file
                             : end_onset * per_second / EDFLIB_TIME_DIMENSION;
  std::vector<int> v(static_cast<size_t>(hdr->signalparam[0].smp_in_file));
  edfread_digital_samples(hdr->handle, 0, static_cast<int>(v.size()), v.data());
  for (long long i = 0; i < r.recorded && i < static_cast<long long>(v.size()); ++i)
    r.wrong += v[size_t(i)] != int(int16_t(qxsim_pattern_value(0, unsigned(i + primed)) - 32768));
  edfclose_file(hdr->handle);
  return r;
}

// A second at 1 kS/s ends with the first block (16.4 s), not after the next one too: the files
// are finished and the summary said before the library's stop, which waits for the block in
// progress, and the program does not wait for it.
TEST_F(RecordCli, ASecondAtTheSlowestRateEndsWithItsFirstBlock) {
  const std::string out = (dir_ / "one.dat").string();
  const auto spawned = std::chrono::steady_clock::now();
  ASSERT_EQ(run({"-r", "1=1", "-t", "1s", "-o", out}, {"QXSIM_SIGNAL=1"}), 0) << err_;
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - spawned).count();
  EXPECT_EQ(fs::file_size(out), 2000u);
  EXPECT_NE(err_.find("1000 samples"), std::string::npos) << err_;
  EXPECT_LT(err_.find("1000 samples"), err_.find("the files are complete")) << err_;
#ifndef QX470_SANITIZED
  EXPECT_LT(took, 26.0) << "two blocks take 32.8 s";
#endif
  EXPECT_GT(took, 15.0) << "the first block takes 16.4 s";
}

// A recorder that was itself stopped (kill -STOP) longer than the buffers hold says so when it
// goes on, before the loss that the stop caused.
TEST_F(RecordCli, ARecorderThatWasStoppedSaysSoBeforeTheLossItCaused) {
  const fs::path out = dir_ / "paused.dat";
  const Child c = spawn({"-q", "-r", "1=100,2=100,3=100,4=100", "-t", "5s", "-o", out.string()},
                        {"QXSIM_SIGNAL=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  ASSERT_TRUE(
      qxtest::wait_for([&] { return fs::exists(out) && fs::file_size(out) >= 1000000; }, 60));
  kill(c.pid, SIGSTOP);
  // Longer than the 1.3 s of 400 kS/s that the bridge holds.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  kill(c.pid, SIGCONT);
  ASSERT_EQ(wait_exit(c.pid), 3) << "samples were lost: " << slurp(c.err);
  const std::string err = slurp(c.err);
  const size_t told = err.find("warning: the recorder itself was stopped for ");
  EXPECT_NE(told, std::string::npos) << err;
  const size_t loss = err.find("the stream was realigned");
  EXPECT_NE(loss, std::string::npos) << err;
  EXPECT_LT(told, loss) << err;
}

// One channel at 1 kS/s, four times real time: a block lasts 4.1 s. Ctrl-C 6 s in (24,000
// samples sent) waits for the block the device is still delivering, says so, and writes it: every
// sample up to the stop is in the file and right. A second Ctrl-C during that wait ends at once
// with the blocks that were complete, in a file that reads back.
TEST_F(RecordCli, CtrlCKeepsTheTailAndASecondOneStillLeavesAFileThatReadsBack) {
  for (const bool twice : {false, true}) {
    SCOPED_TRACE(twice ? "twice" : "once");
    const std::string out = (dir_ / (twice ? "twice.edf" : "once.edf")).string();
    const auto spawned = std::chrono::steady_clock::now();
    const Child c =
        spawn({"-q", "-r", "1=1", "-o", out}, {"QXSIM_SIGNAL=1", "QXSIM_SPEED=4"}, dir_);
    ASSERT_GT(c.pid, 0);
    std::this_thread::sleep_for(std::chrono::seconds(6));
    kill(c.pid, SIGINT);
    if (twice) {
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (slurp(c.err).find("stopping:") == std::string::npos &&
             std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      kill(c.pid, SIGINT);
    }
    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_EQ(wait_exit(c.pid), 0) << slurp(c.err);
    const std::string err = slurp(c.err);
    EXPECT_NE(err.find("stopping: the block in progress ends within 16.384 s"), std::string::npos)
        << err;
    const EdfContents f = read_single_signal(out, 10);  // priming discards ten words
    ASSERT_GE(f.recorded, 16384) << "libedf reads the file back";
    EXPECT_EQ(f.wrong, 0u);
    if (twice) {
      EXPECT_NE(err.find("stopped by a second signal"), std::string::npos) << err;
    } else {
      // Everything sent until the signal, less the program's start-up: more than the one block
      // that was complete when it came.
      const double sent = std::chrono::duration<double>(signalled - spawned).count() * 4000;
      EXPECT_GE(f.recorded, static_cast<long long>(sent) - 6000) << err;
      EXPECT_EQ(f.recorded, 32768) << "the block in progress, whole";
      EXPECT_NE(err.find("no sample lost (stopped by signal)"), std::string::npos) << err;
    }
  }
}

// In an 80-column terminal the progress line of four channels at full rate stays within one
// line, erases what a longer line before it left, and ends with the summary on a line of its own.
TEST_F(RecordCli, TheProgressLineFitsAnEightyColumnTerminal) {
  winsize ws{};
  ws.ws_col = 80;
  ws.ws_row = 24;
  int fd = -1;
  const std::string out = (dir_ / "p.dat").string();
  const pid_t pid = forkpty(&fd, nullptr, nullptr, &ws);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("QXSIM_SPEED", "4", 1);
    execl(QX470_RECORD_PATH, QX470_RECORD_PATH, "-r", "1=100,2=100,3=100,4=100", "-t", "8s", "-o",
          out.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  std::string screen;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);  // EIO once the program has ended
    if (n <= 0) break;
    screen.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  EXPECT_EQ(wait_exit(pid), 0) << screen;
  size_t lines = 0;
  for (size_t at = 0, next; at < screen.size(); at = next + 1) {
    next = screen.find_first_of("\r\n", at);
    if (next == std::string::npos) next = screen.size();
    std::string line = screen.substr(at, next - at);
    if (line.find("Ch1") == std::string::npos && line.find("lost") == std::string::npos) continue;
    if (line.rfind("qx470-record: ", 0) == 0) continue;  // the summary: a line of its own
    ++lines;
    const size_t erase = line.find("\x1b[K");
    EXPECT_NE(erase, std::string::npos) << line;
    EXPECT_LT(line.substr(0, erase).size(), 80u) << line;
    EXPECT_NE(line.find("lost 0"), std::string::npos) << line;
  }
  EXPECT_GT(lines, 2u) << screen;
  EXPECT_NE(screen.find("\nqx470-record: 8.000 s recorded"), std::string::npos) << screen;
}

struct Signal {
  int number;
  const char *name;
};
void PrintTo(const Signal &s, std::ostream *os) {
  *os << s.name;
}

class RecordCliStop : public RecordCli, public ::testing::WithParamInterface<Signal> {};

TEST_P(RecordCliStop, MidRecordingLeavesAFileThatReadsBackWhole) {
  const std::string out = (dir_ / "stop.edf").string();
  const Child c = spawn({"-r", "1=100,3=100", "-o", out}, {"QXSIM_SIGNAL=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  // Two data records (two seconds) are on disk once the file passes its header and 1.6 MB.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!(fs::exists(out) && fs::file_size(out) > 1'000'000) &&
         std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GT(fs::file_size(out), 1'000'000u) << slurp(c.err);
  kill(c.pid, GetParam().number);
  ASSERT_EQ(wait_exit(c.pid), 0) << slurp(c.err);
  const std::string err = slurp(c.err);
  EXPECT_NE(err.find("no sample lost (stopped by signal)"), std::string::npos) << err;

  auto hdr = std::make_unique<edf_hdr_struct>();
  ASSERT_EQ(edfopen_file_readonly(out.c_str(), hdr.get(), EDFLIB_READ_ALL_ANNOTATIONS), 0);
  EXPECT_EQ(hdr->edfsignals, 2);
  long long end_onset = -1;
  for (long long i = 0; i < hdr->annotations_in_file; ++i) {
    edf_annotation_struct a{};
    edf_get_annotation(hdr->handle, static_cast<int>(i), &a);
    if (std::string(a.annotation) == "recording ends") end_onset = a.onset;
  }
  const long long recorded = end_onset < 0 ? hdr->signalparam[0].smp_in_file : end_onset / 100;
  EXPECT_GE(recorded, 100000);
  const int channels[2] = {0, 2};
  for (int s = 0; s < 2; ++s) {
    std::vector<int> v(static_cast<size_t>(hdr->signalparam[s].smp_in_file));
    ASSERT_EQ(edfread_digital_samples(hdr->handle, s, static_cast<int>(v.size()), v.data()),
              static_cast<int>(v.size()));
    size_t wrong = 0;
    // Two channels take 2 words a frame; priming discards 5 frames.
    for (long long i = 0; i < recorded; ++i)
      wrong +=
          v[size_t(i)] != int(int16_t(qxsim_pattern_value(channels[s], unsigned(i + 5)) - 32768));
    EXPECT_EQ(wrong, 0u) << "signal " << s;
  }
  edfclose_file(hdr->handle);
}

INSTANTIATE_TEST_SUITE_P(Signals, RecordCliStop,
                         ::testing::Values(Signal{SIGINT, "SIGINT"}, Signal{SIGTERM, "SIGTERM"},
                                           Signal{SIGHUP, "SIGHUP"}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
