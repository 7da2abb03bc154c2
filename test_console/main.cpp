#if defined(_WIN32)
#include "console_win32.h"
using PlatformConsole = qxconsole::WinConsole;
#else
#include "console_posix.h"
using PlatformConsole = qxconsole::PosixConsole;
#endif

int main() {
  PlatformConsole console;
  return qxconsole::run_console(console);
}
