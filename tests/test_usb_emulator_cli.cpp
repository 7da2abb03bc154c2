// qx470-usb-emulator as a user runs it: the exit status and signals of the command it runs, and
// the libftdi build of the console against the emulated device.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#ifdef QX470_RECORD_PATH
#include "amplifier.h"  // the test pattern
#include "recording_check.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output and error
  std::string seen;
};

Child spawn(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
  int in[2], out[2];
  Child c;
  if (pipe(in) != 0 || pipe(out) != 0) return c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(in[1]);
    close(out[0]);
    for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(125);
  }
  close(in[0]);
  close(out[1]);
  c.in = in[1];
  c.out = out[0];
  return c;
}

// Reads the child's output until `done` holds for it or the time runs out.
bool read_until(Child &c, const std::function<bool(const std::string &)> &done, double seconds) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done(c.seen)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{c.out, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(c.out, buf, sizeof buf);
    if (n <= 0) return done(c.seen);
    c.seen.append(buf, static_cast<size_t>(n));
  }
  return true;
}

// The child's wait status; a child that outlives the time is killed and reported as -1.
int finish(Child &c, double seconds) {
  if (c.in >= 0) close(c.in);
  c.in = -1;
  read_until(
      c, [](const std::string &) { return false; }, 0);  // drain what is there
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (waitpid(c.pid, &status, WNOHANG) == 0) {
    if (Clock::now() > end) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &status, 0);
      close(c.out);
      return -1;
    }
    read_until(
        c, [](const std::string &) { return false; }, 0.01);
  }
  read_until(
      c, [](const std::string &) { return false; }, 0.5);
  close(c.out);
  return status;
}

const std::string kEmulator = QX470_EMULATOR_PATH;
constexpr const char *kProbe = "--sigint-probe";

std::string self_path() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The probe: says "ready", then says where every SIGINT came from, until a second after the first
// (time for a copy sent on by the emulator to arrive) or 60 s without one; exits 5.
volatile sig_atomic_t g_interrupted = 0;
void on_sigint(int, siginfo_t *info, void *) {
  const char *what = info->si_code == SI_KERNEL ? "int-from-terminal\n" : "int-from-a-process\n";
  const ssize_t ignored = write(1, what, std::strlen(what));
  (void)ignored;
  g_interrupted = 1;
}
int sigint_probe() {
  struct sigaction sa {};
  sa.sa_sigaction = on_sigint;
  sa.sa_flags = SA_SIGINFO;
  sigaction(SIGINT, &sa, nullptr);
  const ssize_t ignored = write(1, "ready\n", 6);
  (void)ignored;
  auto end = Clock::now() + std::chrono::seconds(60);
  bool seen = false;
  while (Clock::now() < end) {
    if (g_interrupted && !seen) {
      seen = true;
      end = Clock::now() + std::chrono::seconds(1);
    }
    usleep(10000);
  }
  return 5;
}

// Readings as the console prints them ("-1.234V"): how many there are in `s`.
int voltages_in(const std::string &s) {
  auto digit = [&](size_t i) { return i < s.size() && s[i] >= '0' && s[i] <= '9'; };
  int n = 0;
  for (size_t i = 1; i + 4 < s.size(); ++i)
    if (s[i] == '.' && digit(i - 1) && digit(i + 1) && digit(i + 2) && digit(i + 3) &&
        s[i + 4] == 'V')
      ++n;
  return n;
}

int exit_code_of(const std::vector<std::string> &args) {
  Child c = spawn(args);
  const int status = finish(c, 60);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(UsbEmulatorCli, PassesTheCommandsExitStatusThrough) {
  EXPECT_EQ(exit_code_of({kEmulator, "/bin/sh", "-c", "exit 0"}), 0);
  EXPECT_EQ(exit_code_of({kEmulator, "/bin/sh", "-c", "exit 7"}), 7);
  EXPECT_EQ(exit_code_of({kEmulator, "--", "/bin/sh", "-c", "exit 3"}), 3);
  EXPECT_EQ(exit_code_of({kEmulator, "/no/such/program"}), 127);
  EXPECT_EQ(exit_code_of({kEmulator}), 2) << "no command";
  EXPECT_EQ(exit_code_of({kEmulator, "--bogus"}), 2);
}

TEST(UsbEmulatorCli, GivesTheCommandTheEmulatedBus) {
  Child c = spawn({kEmulator, "/bin/sh", "-c",
                   "echo \"dir=$UMOCKDEV_DIR\"; echo \"preload=$LD_PRELOAD\"; "
                   "ls \"$UMOCKDEV_DIR/dev/bus/usb/001\"; "
                   "cat \"$UMOCKDEV_DIR/sys/bus/usb/devices/1-1/product\""});
  const int status = finish(c, 60);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.seen;
  EXPECT_NE(c.seen.find("preload=libumockdev-preload.so.0"), std::string::npos) << c.seen;
  EXPECT_NE(c.seen.find("002"), std::string::npos) << c.seen;
  EXPECT_NE(c.seen.find("QX-470-USB"), std::string::npos) << c.seen;
  // The testbed's folder goes with the emulator.
  const auto at = c.seen.find("dir=");
  ASSERT_NE(at, std::string::npos);
  const std::string dir = c.seen.substr(at + 4, c.seen.find('\n', at) - at - 4);
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(access(dir.c_str(), F_OK), 0) << dir << " is still there";
}

TEST(UsbEmulatorCli, TermReachesTheCommandAndItsStatusComesBack) {
  Child c = spawn({kEmulator, "/bin/sh", "-c",
                   "trap 'echo got-term; exit 42' TERM; echo ready; "
                   "while :; do sleep 0.05; done"});
  ASSERT_TRUE(read_until(
      c, [](const std::string &s) { return s.find("ready") != s.npos; }, 30))
      << c.seen;
  kill(c.pid, SIGTERM);
  const int status = finish(c, 30);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << status << " " << c.seen;
  EXPECT_NE(c.seen.find("got-term"), std::string::npos);
}

TEST(UsbEmulatorCli, ACommandKilledByASignalKillsTheEmulatorTheSameWay) {
  Child c = spawn({kEmulator, "/bin/sh", "-c", "kill -USR1 $$"});
  const int status = finish(c, 30);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGUSR1) << status;
}

// Ctrl-C on a terminal reaches the whole foreground group, the command included: the emulator
// must not pass it on a second time. The command is this program in a mode that reports where
// each SIGINT came from.
TEST(UsbEmulatorCli, CtrlCOnATerminalReachesTheCommandOnce) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(kEmulator.c_str(), kEmulator.c_str(), self_path().c_str(), kProbe,
          static_cast<char *>(nullptr));
    _exit(125);
  }
  Child c;
  c.pid = pid;
  c.out = master;
  ASSERT_TRUE(read_until(
      c, [](const std::string &s) { return s.find("ready") != s.npos; }, 30))
      << c.seen;
  ASSERT_EQ(write(master, "\x03", 1), 1);
  const int status = finish(c, 30);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5) << status << " " << c.seen;
  EXPECT_NE(c.seen.find("int-from-terminal"), std::string::npos) << c.seen;
  EXPECT_EQ(c.seen.find("int-from-a-process"), std::string::npos) << c.seen;
}

#ifdef QX470_CONSOLE_PATH
// The hardware build of the console against the emulated device: to "Device Ready.", live
// voltages, and a clean stop with the space key.
TEST(UsbEmulatorCli, RunsTheHardwareConsoleToLiveVoltages) {
  Child c = spawn({kEmulator, QX470_CONSOLE_PATH});
  ASSERT_EQ(write(c.in, " ", 1), 1);  // leave the rate selection: start acquiring
  // Two rounds of the four channels' readings.
  const bool live = read_until(
      c, [](const std::string &s) { return voltages_in(s) >= 8; }, 60);
  EXPECT_TRUE(live) << c.seen;
  ASSERT_EQ(write(c.in, " ", 1), 1);  // stop
  const int status = finish(c, 60);
  EXPECT_NE(c.seen.find("Device Ready."), std::string::npos) << c.seen;
  EXPECT_NE(c.seen.find("Cal Data set to : 312500"), std::string::npos);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(UsbEmulatorCli, TheConsoleSeesNoDeviceOnAnEmptyBus) {
  Child c = spawn({kEmulator, QX470_CONSOLE_PATH}, {"QXSIM_ATTACHED=0"});
  finish(c, 60);
  EXPECT_NE(c.seen.find("No Device"), std::string::npos) << c.seen;
  EXPECT_EQ(c.seen.find("Device Ready"), std::string::npos);
}

TEST(UsbEmulatorCli, TheConsoleSeesAnUnpoweredAmplifier) {
  Child c = spawn({kEmulator, QX470_CONSOLE_PATH}, {"QXSIM_POWERED=0"});
  finish(c, 60);
  EXPECT_NE(c.seen.find("Device is not powered"), std::string::npos) << c.seen;
  EXPECT_EQ(c.seen.find("Device Ready"), std::string::npos);
}
#endif

// A lab bench: two amplifiers, and another device on the same ids.
const std::vector<std::string> kBench = {kEmulator, "--other",  "Dual RS232", "--serial",
                                         "QX47001", "--serial", "QX47002"};

std::vector<std::string> on_bench(std::vector<std::string> command) {
  std::vector<std::string> args = kBench;
  args.push_back("--");
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

#ifdef QX470_RECORD_PATH
// A recording of channel 1 alone at 100 kS/s: `samples` of the test pattern from the first one
// after priming (ten words) on.
::testing::AssertionResult holds_the_pattern(const std::string &path, size_t samples) {
  std::ifstream f(path, std::ios::binary);
  std::vector<int16_t> v(samples + 1);
  f.read(reinterpret_cast<char *>(v.data()), static_cast<std::streamsize>(v.size() * 2));
  if (static_cast<size_t>(f.gcount()) != samples * 2)
    return ::testing::AssertionFailure() << path << " holds " << f.gcount() << " bytes";
  for (size_t i = 0; i < samples; ++i) {
    const auto want = static_cast<int16_t>(qxsim::pattern_value(0, i + 10) - 32768);
    if (v[i] != want)
      return ::testing::AssertionFailure()
             << path << " sample " << i << ": " << v[i] << " instead of " << want;
  }
  return ::testing::AssertionSuccess();
}

// One process per amplifier, the two streaming at the same time from the one emulated bus. The
// second starts once the first is recording, so that their start-ups do not meet in umockdev's
// uevent sockets, which it names by descriptor number in a folder both share.
TEST(UsbEmulatorCli, TwoAmplifiersRecordAtOnceOneProcessEach) {
  char dir_template[] = "/tmp/qx470benchXXXXXX";
  ASSERT_TRUE(mkdtemp(dir_template));
  const std::string dir = dir_template;
  const std::string rec = QX470_RECORD_PATH;
  Child c = spawn(
      on_bench({"/bin/sh", "-c",
                "cd " + dir + " || exit 9; " + rec +
                    " -d QX47001 -r 1=100 -t 3s -q -o a.dat 2>a.err & a=$!; "
                    "while kill -0 $a 2>/dev/null && [ $(stat -c %s a.dat 2>/dev/null || echo 0) "
                    "-lt 20000 ]; do sleep 0.01; done; " +
                    rec +
                    " -d QX47002 -r 1=100 -t 1s -q -o b.dat 2>b.err; b=$?; wait $a; "
                    "echo \"exit a=$? b=$b\"; cat a.err b.err"}),
      {"QXSIM_SIGNAL=1"});
  finish(c, 120);
  EXPECT_NE(c.seen.find("exit a=0 b=0"), std::string::npos) << c.seen;
  EXPECT_TRUE(holds_the_pattern(dir + "/a.dat", 300000));
  EXPECT_TRUE(holds_the_pattern(dir + "/b.dat", 100000));
  for (const char *f : {"a.dat", "a.json", "a.err", "b.dat", "b.json", "b.err"})
    unlink((dir + "/" + f).c_str());
  rmdir(dir.c_str());
}

TEST(UsbEmulatorCli, TheRecorderListsTheAmplifiersAndAsksForAChoice) {
  Child scan = spawn(on_bench({QX470_RECORD_PATH, "--scan"}));
  EXPECT_EQ(finish(scan, 60), 0) << scan.seen;
  const size_t first = scan.seen.find("QX47001          QX-470-USB       bus 001 device 003");
  const size_t second = scan.seen.find("QX47002          QX-470-USB       bus 001 device 004");
  EXPECT_TRUE(first != std::string::npos && second != std::string::npos && first < second)
      << scan.seen;
  EXPECT_EQ(scan.seen.find("Dual RS232"), std::string::npos) << scan.seen;

  Child none = spawn(on_bench({QX470_RECORD_PATH, "-n", "10", "-o", "/dev/null.csv"}));
  EXPECT_EQ(WEXITSTATUS(finish(none, 60)), 1);
  EXPECT_NE(none.seen.find("more than one QX-470-USB is attached (QX47001, QX47002): choose one "
                           "with -d SERIAL"),
            std::string::npos)
      << none.seen;

  // The USB bridge on the emulated bus says so, so that a recording never passes for the device's.
  Child shown = spawn(on_bench({QX470_RECORD_PATH, "-d", "QX47001", "--show"}));
  EXPECT_EQ(WEXITSTATUS(finish(shown, 60)), 0) << shown.seen;
  EXPECT_NE(shown.seen.find("Bridge: emulated USB (/"), std::string::npos) << shown.seen;

  Child wrong = spawn(on_bench({QX470_RECORD_PATH, "-d", "QX47009", "--show"}));
  EXPECT_EQ(WEXITSTATUS(finish(wrong, 60)), 1);
  EXPECT_NE(wrong.seen.find("no QX-470-USB with serial number 'QX47009' is attached (status -5); "
                            "attached: QX47001, QX47002"),
            std::string::npos)
      << wrong.seen;
}
#endif

#ifdef QX470_RECORD_PATH
// The recorder stopped (SIGSTOP) for 4 s, well past the 1.3 s in which the transfers in flight
// drain the emulated chip at 800 kB/s: the chip's buffer overflows, the backend reports the
// overrun, the library realigns, and every sample in the file is right at its time or inside a
// reported gap; exit 3.
TEST(UsbEmulatorCli, AChipOverrunWhileTheRecorderIsHeldIsARealignGapAndNothingElseIsWrong) {
  char dir_template[] = "/tmp/qx470stallXXXXXX";
  ASSERT_TRUE(mkdtemp(dir_template));
  const std::string dir = dir_template;
  const std::string rec = QX470_RECORD_PATH;
  Child c =
      spawn({kEmulator, "--", "/bin/sh", "-c",
             "cd " + dir + " || exit 9; " + rec +
                 " -r 1=100,2=100,3=100,4=100 -t 5s -q -o s.dat 2>s.err & a=$!; "
                 "while kill -0 $a 2>/dev/null && [ $(stat -c %s s.dat 2>/dev/null || echo 0) "
                 "-lt 1200000 ]; do sleep 0.01; done; kill -STOP $a; sleep 4; "
                 "kill -CONT $a; wait $a; echo \"exit a=$?\"; cat s.err"},
            {"QXSIM_SIGNAL=1"});
  finish(c, 120);
  EXPECT_NE(c.seen.find("exit a=3"), std::string::npos) << c.seen;
  EXPECT_NE(c.seen.find("the stream was realigned"), std::string::npos) << c.seen;
  // Four channels at one rate: one word each a frame; priming discards three frames.
  const qxtest::RawRecording r =
      qxtest::read_four_channel_dat(dir + "/s.dat", dir + "/s.json", 500000, 3,
                                    [](int ch, uint64_t n) { return qxsim::pattern_value(ch, n); });
  EXPECT_TRUE(r.whole);
  for (size_t ch = 0; ch < 4; ++ch) {
    ASSERT_FALSE(r.gaps[ch].empty()) << r.json;
    EXPECT_EQ(r.gaps[ch][0].kind, "realign") << r.json;
    EXPECT_EQ(r.wrong[ch], 0u) << "channel " << ch + 1;
  }
  for (const char *f : {"s.dat", "s.json", "s.err"}) unlink((dir + "/" + f).c_str());
  rmdir(dir.c_str());
}
#endif

#if defined(QX470_CONTROL_CLIENT_PATH) && defined(QX470_RECORD_PATH)
// One process owns the amplifier while it records: another one's shunt command (which would put
// 1 V on every channel of the recording) and its start fail, and work once the recording ends.
TEST(UsbEmulatorCli, OneProcessOwnsTheAmplifierWhileItRecords) {
  char dir_template[] = "/tmp/qx470ownXXXXXX";
  ASSERT_TRUE(mkdtemp(dir_template));
  const std::string dir = dir_template;
  const std::string rec = QX470_RECORD_PATH, client = QX470_CONTROL_CLIENT_PATH;
  Child c =
      spawn({kEmulator, "--", "/bin/sh", "-c",
             "cd " + dir + " || exit 9; " + rec +
                 " -r 1=100 -t 3s -q -o a.dat 2>a.err & a=$!; "
                 "while kill -0 $a 2>/dev/null && [ $(stat -c %s a.dat 2>/dev/null || echo 0) "
                 "-lt 20000 ]; do sleep 0.01; done; echo \"during: $(" +
                 client + ")\"; wait $a; echo \"exit a=$?\"; echo \"after: $(" + client +
                 ")\"; cat a.err"},
            {"QXSIM_SIGNAL=1"});
  finish(c, 120);
  EXPECT_NE(c.seen.find("exit a=0"), std::string::npos) << c.seen;
  EXPECT_NE(c.seen.find("cal_on 0 start 0"), std::string::npos) << c.seen;
  EXPECT_NE(c.seen.find("after: status 101 cal_on 1 start 1"), std::string::npos) << c.seen;
  EXPECT_TRUE(holds_the_pattern(dir + "/a.dat", 300000));
  for (const char *f : {"a.dat", "a.json", "a.err"}) unlink((dir + "/" + f).c_str());
  rmdir(dir.c_str());
}
#endif

#ifdef QX470_CHECK_PATH
TEST(UsbEmulatorCli, TheSelfCheckPassesEveryStepThroughTheRealUsbStack) {
  Child c = spawn({kEmulator, QX470_CHECK_PATH, "--quick"}, {"QXSIM_INPUTS=shorted"});
  const int status = finish(c, 240);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.seen;
  EXPECT_NE(c.seen.find("USB bridge"), std::string::npos) << c.seen;
  EXPECT_NE(c.seen.find("7. endurance    PASS"), std::string::npos) << c.seen;
  EXPECT_NE(c.seen.find("Result: PASS"), std::string::npos) << c.seen;
}

// The amplifier answers nothing while another process streams from it: every host names that
// process instead of calling the device unpowered (the console after its own line).
TEST(UsbEmulatorCli, EveryHostNamesTheProcessThatHoldsTheAmplifier) {
  char dir_template[] = "/tmp/qx470heldXXXXXX";
  ASSERT_TRUE(mkdtemp(dir_template));
  const std::string dir = dir_template;
  const std::string rec = QX470_RECORD_PATH;
  std::string others = std::string(QX470_CHECK_PATH) +
                       " --steps 1-2; echo \"check=$? recorder=$a\"; " + rec +
                       " -r 1=100 -t 1s -q -o b.dat; echo \"second=$?\"; ";
#ifdef QX470_CONSOLE_PATH
  others += "printf '\\n' | " + std::string(QX470_CONSOLE_PATH) + "; ";
#endif
  Child c = spawn({kEmulator, "--", "/bin/sh", "-c",
                   "cd " + dir + " || exit 9; " + rec +
                       " -r 1=100 -t 8s -q -o a.dat 2>a.err & a=$!; "
                       "while kill -0 $a 2>/dev/null && [ $(stat -c %s a.dat 2>/dev/null || echo "
                       "0) -lt 20000 ]; do sleep 0.01; done; " +
                       others + "wait $a; echo \"first=$?\""});
  finish(c, 120);
  EXPECT_NE(c.seen.find("check=1"), std::string::npos) << c.seen;
  const size_t at = c.seen.find("recorder=");
  ASSERT_NE(at, std::string::npos) << c.seen;
  const std::string pid =
      c.seen.substr(at + 9, c.seen.find_first_not_of("0123456789", at + 9) - at - 9);
  EXPECT_NE(
      c.seen.find("another process has the amplifier open: process " + pid + " (qx470-record)"),
      std::string::npos)
      << c.seen;
  const std::string in_use = "in use by another process (process " + pid + ", qx470-record)";
  size_t said = 0;
  for (size_t p = c.seen.find(in_use); p != std::string::npos; p = c.seen.find(in_use, p + 1))
    ++said;
  EXPECT_EQ(said, 2u) << "the check's status and the second recorder:\n" << c.seen;
  EXPECT_EQ(c.seen.find("second=0"), std::string::npos) << c.seen;
#ifdef QX470_CONSOLE_PATH
  EXPECT_NE(c.seen.find("Device is not powered\nIn use by another process: process " + pid +
                        " (qx470-record)\n"),
            std::string::npos)
      << c.seen;
#endif
  EXPECT_NE(c.seen.find("first=0"), std::string::npos) << c.seen;
  for (const char *f : {"a.dat", "a.json", "a.err", "b.dat", "b.json"})
    unlink((dir + "/" + f).c_str());
  rmdir(dir.c_str());
}
#endif

#ifdef QX470_CONSOLE_PATH
// The console owns one amplifier, as the library does: two make it say what it says of none,
// and QX470_USB_SERIAL gives it one.
TEST(UsbEmulatorCli, TheConsoleSeesNoDeviceWithTwoAmplifiersAndUsesTheChosenOne) {
  Child two = spawn(on_bench({QX470_CONSOLE_PATH}));
  finish(two, 60);
  EXPECT_NE(two.seen.find("No Device"), std::string::npos) << two.seen;
  EXPECT_EQ(two.seen.find("Device Ready"), std::string::npos);
  Child chosen = spawn(on_bench({QX470_CONSOLE_PATH}), {"QX470_USB_SERIAL=QX47002"});
  finish(chosen, 60);
  EXPECT_NE(chosen.seen.find("Device Ready."), std::string::npos) << chosen.seen;
}
#endif

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], kProbe) == 0) return sigint_probe();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
