// The console layer on a POSIX terminal (or on a pipe, for scripted runs).
#pragma once

#include <termios.h>

#include <deque>
#include <functional>

#include "console_io.h"

namespace qxconsole {

// Translates terminal escape sequences into the two-code key form. Pure, so it can be tested.
class KeyDecoder {
 public:
  // `next` returns the next byte if one arrives soon, or -1. Returns the codes of one key (0
  // codes for a sequence that stands for no key the program knows).
  static void decode(int first, const std::function<int()> &next, std::deque<int> &out);
};

class PosixConsole final : public ConsoleIo {
 public:
  PosixConsole();
  ~PosixConsole() override;
  PosixConsole(const PosixConsole &) = delete;
  PosixConsole &operator=(const PosixConsole &) = delete;

  bool key_waiting() override;
  int read_key() override;
  bool interrupted() override;
  void write(const char *text) override;
  bool timer_create(int &error) override;
  bool timer_arm_25ms(int &error) override;
  bool timer_wait(int &error) override;
  void read_exit_char() override;

 private:
  bool fill_pending(bool block);
  int read_byte(int timeout_ms);  // -1: none in time, -2: end of input or interrupted
  bool wait_readable(int fd, int timeout_ms, bool &timed_out);
  void take_signals();
  void restore_terminal();

  bool tty_ = false;
  bool eof_ = false;
  termios saved_{};
  int timer_fd_ = -1;
  int signal_fd_ = -1;
  std::deque<int> pending_;
};

}  // namespace qxconsole
