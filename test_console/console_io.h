// What the console program needs of its platform: keys, output, the 25 ms wait timer and the
// exit prompt. The program flow uses nothing else of the system.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace qxconsole {

class ConsoleIo {
 public:
  virtual ~ConsoleIo() = default;

  // Initialises an application framework where the platform has one.
  virtual bool framework_init() { return true; }

  // Keys in the two-code form: the cursor block gives 224 then its code, function keys 0 then
  // theirs. key_waiting never blocks; read_key waits for a key.
  virtual bool key_waiting() = 0;
  virtual int read_key() = 0;
  // The operator asked the program to end (Ctrl-C, the terminal went away, or a scripted input
  // ended). A blocking read_key then gives the space key.
  virtual bool interrupted() { return false; }

  // Writes text so that it appears at once.
  virtual void write(const char *text) = 0;

  // The one-shot relative timer. On failure each gives the system error number.
  virtual bool timer_create(int &error) = 0;
  virtual bool timer_arm_25ms(int &error) = 0;
  virtual bool timer_wait(int &error) = 0;

  // Reads one character in the terminal's normal line mode.
  virtual void read_exit_char() = 0;

  void print(const char *format, ...) __attribute__((format(printf, 2, 3)));
};

// Voltage of a sample as the status line shows it, "%7.3fV ": (value - 32768) x volts_per_count,
// multiplied in single precision.
void format_voltage(char (&out)[32], int32_t value, float volts_per_count);

// What a host that knows more of the device than the library's status adds to the console's own
// screens: the bridge when it is not the device itself (before the device check), and who holds
// a device that does not answer (after "Device is not powered"). Each gives "" when there is
// nothing to say, as on real hardware that is free.
struct DeviceNotes {
  std::string (*bridge)() = nullptr;
  std::string (*holder)() = nullptr;
};

// The whole program; returns the exit code.
int run_console(ConsoleIo &io, const DeviceNotes &notes = {});

}  // namespace qxconsole
