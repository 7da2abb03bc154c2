// The console layer on Windows: the console's own key functions, or a pipe for scripted runs.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "console_io.h"

namespace qxconsole {

// The bridge note on Windows: the simulated bridge is the ftd2xx.dll beside the program, which
// the vendor's driver never exports qxsim_reset from.
DeviceNotes win32_notes();

class WinConsole final : public ConsoleIo {
 public:
  WinConsole();
  ~WinConsole() override;
  WinConsole(const WinConsole &) = delete;
  WinConsole &operator=(const WinConsole &) = delete;

  bool framework_init() override;
  bool key_waiting() override;
  int read_key() override;
  bool interrupted() override;
  void write(const char *text) override;
  bool timer_create(int &error) override;
  bool timer_arm_25ms(int &error) override;
  bool timer_wait(int &error) override;
  void read_exit_char() override;

 private:
  void start_reader();
  int next_input_byte(bool wait);  // -1: none yet (or, once eof_, none ever)

  void *timer_ = nullptr;
  bool console_ = false;
  // Standard input when it is a pipe or a file. Whether a pipe has a byte cannot be asked of
  // every kind of pipe without blocking, so a reader thread collects the bytes. The thread may
  // still be blocked in a read when the program ends, so it shares ownership of what it fills:
  // nothing it touches goes away before it does.
  struct PipeInput {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<unsigned char> bytes;
    bool ended = false;  // guarded by mu
  };
  std::shared_ptr<PipeInput> input_ = std::make_shared<PipeInput>();
  bool eof_ = false;  // the program has seen the end
};

}  // namespace qxconsole
