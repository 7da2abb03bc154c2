#include "console_posix.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <csignal>

namespace qxconsole {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
// The terminal settings to give back, also from atexit after an unexpected exit path.
termios g_saved;
volatile std::sig_atomic_t g_have_saved = 0;

void on_signal(int) {
  g_interrupted = 1;
}

void restore_saved_terminal() {
  if (g_have_saved) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

constexpr int kEscape = 27;
constexpr int kEscapeFollowMs = 40;  // bytes of one sequence arrive together

int cursor_code(int final_byte) {
  switch (final_byte) {
    case 'A':
      return 72;  // Up
    case 'B':
      return 80;  // Down
    case 'C':
      return 77;  // Right
    case 'D':
      return 75;  // Left
    case 'H':
      return 71;  // Home
    case 'F':
      return 79;  // End
    default:
      return -1;
  }
}

int function_code_ss3(int final_byte) {  // ESC O P .. S: F1 .. F4
  return final_byte >= 'P' && final_byte <= 'S' ? 59 + (final_byte - 'P') : -1;
}

// ESC [ n ~ : the cursor-block keys (prefix 224) and function keys (prefix 0).
void tilde_key(int n, std::deque<int> &out) {
  auto put = [&](int prefix, int code) {
    out.push_back(prefix);
    out.push_back(code);
  };
  switch (n) {
    case 1:
    case 7:
      return put(224, 71);  // Home
    case 2:
      return put(224, 82);  // Insert
    case 3:
      return put(224, 83);  // Delete
    case 4:
    case 8:
      return put(224, 79);  // End
    case 5:
      return put(224, 73);  // Page Up
    case 6:
      return put(224, 81);  // Page Down
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
      return put(0, 59 + (n - 11));  // F1..F5
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
      return put(0, 64 + (n - 17));  // F6..F10
    case 23:
      return put(224, 133);  // F11
    case 24:
      return put(224, 134);  // F12
    default:
      return;
  }
}

}  // namespace

void KeyDecoder::decode(int first, const std::function<int()> &next, std::deque<int> &out) {
  if (first != kEscape) {
    out.push_back(first);
    return;
  }
  const int intro = next();
  if (intro < 0) {
    out.push_back(kEscape);  // a lone Escape
    return;
  }
  if (intro == 'O') {
    const int f = next();
    if (const int code = cursor_code(f); code >= 0) {
      out.push_back(224);
      out.push_back(code);
    } else if (const int fn = function_code_ss3(f); fn >= 0) {
      out.push_back(0);
      out.push_back(fn);
    }
    return;
  }
  if (intro != '[') {  // Alt+key: the key itself
    out.push_back(intro);
    return;
  }
  // CSI: parameters (digits and ';'), then a final byte.
  int params[4] = {0, 0, 0, 0};
  int count = 0;
  int b = next();
  while (b >= 0 && ((b >= '0' && b <= '9') || b == ';')) {
    if (b == ';') {
      if (count < 3) ++count;
    } else if (params[count] < 1000) {
      params[count] = params[count] * 10 + (b - '0');
    }
    b = next();
  }
  if (b == '~') return tilde_key(params[0], out);
  if (const int code = cursor_code(b); code >= 0) {
    out.push_back(224);
    out.push_back(code);
  }
}

PosixConsole::PosixConsole() {
  // The stop signals are taken as data from a signalfd that every wait also watches, so none can
  // slip in between a check and the wait that follows it. Where no signalfd can be had, a
  // handler sets the flag instead.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) == 0)
    signal_fd_ = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signal_fd_ < 0) {
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a blocking read returns so the program can end cleanly
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
  }

  tty_ = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_) == 0;
  if (tty_) {
    g_saved = saved_;
    g_have_saved = 1;
    atexit(restore_saved_terminal);
    termios raw = saved_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
}

// The stop signals stay blocked: one that came last is not to kill the program on its way out.
PosixConsole::~PosixConsole() {
  restore_terminal();
  if (timer_fd_ >= 0) close(timer_fd_);
  if (signal_fd_ >= 0) close(signal_fd_);
}

void PosixConsole::take_signals() {
  signalfd_siginfo info;
  while (signal_fd_ >= 0 && read(signal_fd_, &info, sizeof info) == sizeof info) g_interrupted = 1;
}

// Waits until `fd` is readable or a stop signal came; true when fd is readable.
bool PosixConsole::wait_readable(int fd, int timeout_ms, bool &timed_out) {
  timed_out = false;
  for (;;) {
    if (g_interrupted) return false;
    pollfd p[2] = {{fd, POLLIN, 0}, {signal_fd_, POLLIN, 0}};
    const int r = poll(p, signal_fd_ >= 0 ? 2 : 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;  // the handler, if any, has set the flag
    if (r < 0) return false;
    if (r == 0) {
      timed_out = true;
      return false;
    }
    if (p[1].revents) take_signals();
    if (p[0].revents) return !g_interrupted;
  }
}

void PosixConsole::restore_terminal() {
  if (tty_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

bool PosixConsole::interrupted() {
  take_signals();
  return g_interrupted != 0 || eof_;
}

int PosixConsole::read_byte(int timeout_ms) {
  if (eof_ || g_interrupted) return -2;
  bool timed_out;
  if (!wait_readable(STDIN_FILENO, timeout_ms, timed_out)) return timed_out ? -1 : -2;
  unsigned char c;
  const ssize_t n = read(STDIN_FILENO, &c, 1);
  if (n == 1) return c;
  if (n == 0 || (errno != EINTR && errno != EAGAIN)) eof_ = true;
  return -2;
}

bool PosixConsole::fill_pending(bool block) {
  while (pending_.empty()) {
    const int b = read_byte(block ? -1 : 0);
    if (b == -1) {
      if (!block) return false;
      continue;
    }
    if (b == -2) {
      if (!block) return false;
      // End of a scripted input, or a signal: a blocking read gives the space key, so that
      // whatever waits for a key goes on and the program ends as after the space key.
      pending_.push_back(' ');
      return true;
    }
    KeyDecoder::decode(
        b,
        [this] {
          const int next = read_byte(kEscapeFollowMs);
          return next < 0 ? -1 : next;
        },
        pending_);
  }
  return true;
}

bool PosixConsole::key_waiting() {
  return !pending_.empty() || fill_pending(false);
}

int PosixConsole::read_key() {
  fill_pending(true);
  const int code = pending_.front();
  pending_.pop_front();
  return code;
}

void PosixConsole::write(const char *text) {
  size_t left = strlen(text);
  while (left > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

bool PosixConsole::timer_create(int &error) {
  timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  error = timer_fd_ < 0 ? errno : 0;
  return timer_fd_ >= 0;
}

bool PosixConsole::timer_arm_25ms(int &error) {
  itimerspec due{};
  due.it_value.tv_nsec = 25 * 1000000L;
  if (timerfd_settime(timer_fd_, 0, &due, nullptr) != 0) {
    error = errno;
    return false;
  }
  return true;
}

bool PosixConsole::timer_wait(int &error) {
  uint64_t expirations;
  for (;;) {
    bool timed_out;
    if (!wait_readable(timer_fd_, -1, timed_out)) {
      if (g_interrupted) return true;  // the next key test ends the program
      error = errno ? errno : EIO;
      return false;
    }
    const ssize_t n = read(timer_fd_, &expirations, sizeof expirations);
    if (n == sizeof expirations) return true;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    error = n < 0 ? errno : EIO;
    return false;
  }
}

void PosixConsole::read_exit_char() {
  restore_terminal();
  bool timed_out;
  if (!wait_readable(STDIN_FILENO, -1, timed_out)) return;  // interrupted: no prompt to wait on
  unsigned char c;
  (void)!read(STDIN_FILENO, &c, 1);
}

}  // namespace qxconsole
