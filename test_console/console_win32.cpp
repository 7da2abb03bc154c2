#include "console_win32.h"

#include <conio.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace qxconsole {

namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI on_console_event(DWORD) {
  g_interrupted = true;  // Ctrl-C, Ctrl-Break, the window closing: end as after the space key
  return TRUE;
}

}  // namespace

WinConsole::WinConsole() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  console_ = in != INVALID_HANDLE_VALUE && in != nullptr && GetConsoleMode(in, &mode);
  if (!console_) start_reader();
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void WinConsole::start_reader() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  // Detached: at exit it may still be blocked in a read, and the process ending ends it. It
  // holds its own reference to the queue, so a read that returns after this object is gone
  // still has somewhere to put its bytes.
  std::thread([input = input_, in] {
    unsigned char buf[256];
    DWORD got = 0;
    while (in && in != INVALID_HANDLE_VALUE && ReadFile(in, buf, sizeof buf, &got, nullptr) &&
           got > 0) {
      std::lock_guard lock(input->mu);
      input->bytes.insert(input->bytes.end(), buf, buf + got);
      input->cv.notify_all();
    }
    std::lock_guard lock(input->mu);
    input->ended = true;
    input->cv.notify_all();
  }).detach();
}

WinConsole::~WinConsole() {
  SetConsoleCtrlHandler(on_console_event, FALSE);
  if (timer_) CloseHandle(timer_);
}

// There is no application framework here; what it would check at start-up is that the process
// has its module and command line.
bool WinConsole::framework_init() {
  return GetModuleHandleA(nullptr) != nullptr && GetCommandLineA() != nullptr;
}

bool WinConsole::interrupted() {
  return g_interrupted || eof_;
}

int WinConsole::next_input_byte(bool wait) {
  PipeInput &in = *input_;
  std::unique_lock lock(in.mu);
  // Waits in slices so that Ctrl-C is seen while the input is silent.
  while (wait && in.bytes.empty() && !in.ended && !g_interrupted)
    in.cv.wait_for(lock, std::chrono::milliseconds(50));
  if (!in.bytes.empty()) {
    const int c = in.bytes.front();
    in.bytes.pop_front();
    return c;
  }
  if (in.ended) eof_ = true;
  return -1;
}

// Off a console the bytes are the key codes as _getch gives them: a cursor key is 224 then its
// code.
bool WinConsole::key_waiting() {
  if (g_interrupted) return false;
  if (console_) return _kbhit() != 0;
  std::lock_guard lock(input_->mu);
  if (input_->bytes.empty() && input_->ended) eof_ = true;
  return !input_->bytes.empty();
}

int WinConsole::read_key() {
  if (!g_interrupted) {
    if (console_) return _getch();
    const int c = next_input_byte(true);
    if (c >= 0) return c;
  }
  return ' ';  // interrupted or the input ended: whatever waits for a key goes on to the end
}

void WinConsole::write(const char *text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

bool WinConsole::timer_create(int &error) {
  timer_ = CreateWaitableTimerA(nullptr, TRUE, "WaitableTimer");
  error = timer_ ? 0 : static_cast<int>(GetLastError());
  return timer_ != nullptr;
}

bool WinConsole::timer_arm_25ms(int &error) {
  LARGE_INTEGER due;
  due.QuadPart = -250000;  // relative, in 100 ns units
  if (!SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
    error = static_cast<int>(GetLastError());
    return false;
  }
  return true;
}

bool WinConsole::timer_wait(int &error) {
  if (WaitForSingleObject(timer_, INFINITE) == WAIT_OBJECT_0) return true;
  error = static_cast<int>(GetLastError());
  return false;
}

void WinConsole::read_exit_char() {
  if (g_interrupted) return;
  if (console_)
    std::getchar();
  else
    next_input_byte(true);
}

namespace {

std::string simulated_bridge_note() {
  const HMODULE bridge = GetModuleHandleA("ftd2xx.dll");
  if (bridge == nullptr || GetProcAddress(bridge, "qxsim_reset") == nullptr) return "";
  char path[MAX_PATH] = "";
  const DWORD n = GetModuleFileNameA(bridge, path, sizeof path);
  return std::string("Simulated amplifier, not a device on the bus") +
         (n > 0 && n < sizeof path ? std::string(" (") + path + ")" : std::string());
}

}  // namespace

DeviceNotes win32_notes() {
  return {simulated_bridge_note, nullptr};
}

}  // namespace qxconsole
