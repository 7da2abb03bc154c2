// qx470-usb-emulator [--serial SERIAL]... [--other PRODUCT]... [--] COMMAND [ARGS...]
//
// Puts the emulated QX-470-USB on an emulated USB bus and runs COMMAND against it: any program
// built on libusb (the library's libftdi build, the console) finds the device as if it were
// plugged in. Several amplifiers, and other devices on the same ids, make a lab bench.
// Exits with COMMAND's status; Ctrl-C and SIGTERM reach COMMAND.
#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "emulated_bus.h"

namespace {

constexpr const char *kName = "qx470-usb-emulator";
constexpr const char *kPreload = "libumockdev-preload.so.0";

void usage(FILE *to) {
  std::fprintf(to,
               "usage: %s [--serial SERIAL]... [--other PRODUCT]... [--] COMMAND [ARGS...]\n"
               "Runs COMMAND with the emulated QX-470-USB (an FT2232D with the amplifier behind\n"
               "it) on an emulated USB bus, and exits with COMMAND's exit status.\n"
               "  --serial SERIAL   an amplifier with this serial number; give it again for more\n"
               "                    (default: one amplifier, QX47000)\n"
               "  --other PRODUCT   another device on the same USB ids (0403:6010) with this\n"
               "                    product string, such as a serial converter\n"
               "Strings are up to 12 characters.\n"
               "The device takes the simulator's settings from the environment: QXSIM_ATTACHED=0\n"
               "(no device), QXSIM_POWERED=0 (amplifier silent), QXSIM_SIGNAL=1 (test pattern),\n"
               "QXSIM_SPEED= (pacing factor, 0 unpaced), QXSIM_EEPROM= (text of the user area).\n",
               kName);
}

// LD_PRELOAD without umockdev's library; true if it was there.
bool strip_preload(std::string &rest) {
  const char *v = std::getenv("LD_PRELOAD");
  rest.clear();
  if (!v) return false;
  bool found = false;
  std::string item;
  const std::string all = v;
  for (size_t i = 0; i <= all.size(); ++i) {
    if (i == all.size() || all[i] == ':' || all[i] == ' ') {
      if (item.find("libumockdev-preload") != std::string::npos)
        found = true;
      else if (!item.empty())
        rest += (rest.empty() ? "" : ":") + item;
      item.clear();
    } else {
      item += all[i];
    }
  }
  return found;
}

// A fast place for the testbed, when the user has not chosen one: start-up is then a few ms.
void prefer_memory_tmpdir() {
  if (std::getenv("TMPDIR")) return;
  for (const char *dir : {static_cast<const char *>(std::getenv("XDG_RUNTIME_DIR")), "/dev/shm"}) {
    if (dir && access(dir, W_OK | X_OK) == 0) {
      setenv("TMPDIR", dir, 1);
      return;
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  int first = 1;
  std::vector<qxusb::DeviceStrings> amplifiers, others;
  while (first < argc && argv[first][0] == '-') {
    const std::string opt = argv[first];
    if (opt == "-h" || opt == "--help") {
      usage(stdout);
      return 0;
    }
    if (opt == "--") {
      ++first;
      break;
    }
    if (opt != "--serial" && opt != "--other") {
      std::fprintf(stderr, "%s: unknown option '%s' (put -- before a command that starts with -)\n",
                   kName, argv[first]);
      usage(stderr);
      return 2;
    }
    const std::string value = first + 1 < argc ? argv[first + 1] : "";
    if (value.empty() || value.size() > 12) {
      std::fprintf(stderr, "%s: %s needs a string of 1 to 12 characters\n", kName, opt.c_str());
      return 2;
    }
    if (opt == "--serial")
      amplifiers.push_back({qxusb::kProduct, value});
    else
      others.push_back({value, "FT" + std::to_string(others.size() + 1)});
    first += 2;
  }
  if (amplifiers.empty()) amplifiers.push_back({});
  // Others first: they come before the amplifier in the bus's order, where a host meets them.
  std::vector<qxusb::DeviceStrings> devices = others;
  devices.insert(devices.end(), amplifiers.begin(), amplifiers.end());
  if (first >= argc) {
    usage(stderr);
    return 2;
  }

  // The bus is served from this process, which must not itself go through the preload.
  std::string rest;
  if (strip_preload(rest)) {
    if (rest.empty())
      unsetenv("LD_PRELOAD");
    else
      setenv("LD_PRELOAD", rest.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "%s: cannot restart without the preload: %s\n", kName,
                 std::strerror(errno));
    return 1;
  }

  // Signals are taken from a signalfd, blocked before any thread exists so none takes them.
  sigset_t watched, old_mask;
  sigemptyset(&watched);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&watched, s);
  sigprocmask(SIG_BLOCK, &watched, &old_mask);
  const int sfd = signalfd(-1, &watched, SFD_CLOEXEC);
  if (sfd < 0) {
    std::fprintf(stderr, "%s: signalfd: %s\n", kName, std::strerror(errno));
    return 1;
  }

  const char *user_tmpdir = std::getenv("TMPDIR");
  const std::string saved_tmpdir = user_tmpdir ? user_tmpdir : "";
  prefer_memory_tmpdir();
  std::string error;
  auto bus = qxusb::EmulatedBus::start(true, error, devices);
  if (user_tmpdir)
    setenv("TMPDIR", saved_tmpdir.c_str(), 1);
  else
    unsetenv("TMPDIR");
  if (!bus) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return 1;
  }

  const std::string preload = rest.empty() ? kPreload : rest + ":" + kPreload;
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    std::fprintf(stderr, "%s: fork: %s\n", kName, std::strerror(errno));
    return 1;
  }
  if (child == 0) {
    // The command goes when the emulator goes: it has no device without it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("UMOCKDEV_DIR", bus->root_dir().c_str(), 1);
    execvp(argv[first], argv + first);
    const int e = errno;
    std::fprintf(stderr, "%s: cannot run '%s': %s\n", kName, argv[first], std::strerror(e));
    _exit(e == ENOENT ? 127 : 126);
  }

  int status = 0;
  for (;;) {
    signalfd_siginfo si;
    const ssize_t n = read(sfd, &si, sizeof si);
    if (n != static_cast<ssize_t>(sizeof si)) {
      if (n < 0 && errno == EINTR) continue;
      std::fprintf(stderr, "%s: reading signals: %s\n", kName, std::strerror(errno));
      kill(child, SIGTERM);
      waitpid(child, &status, 0);
      break;
    }
    if (si.ssi_signo == SIGCHLD) {
      if (waitpid(child, &status, WNOHANG) == child) break;
      continue;
    }
    // A signal from the terminal went to the whole foreground group, the command included;
    // one sent to this process alone is passed on.
    if (si.ssi_code != SI_KERNEL) kill(child, static_cast<int>(si.ssi_signo));
  }
  close(sfd);
  bus.reset();  // the testbed's folder goes with it

  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    // Die the same way, so that a shell sees what happened to the command.
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    return 128 + sig;
  }
  return 1;
}
