#if defined(_WIN32)
#include "console_win32.h"
using PlatformConsole = qxconsole::WinConsole;
#else
#include "console_posix.h"
using PlatformConsole = qxconsole::PosixConsole;
#endif

#if defined(QX470_CONSOLE_WITH_READER)
#include "reader_notes.h"
#endif

int main() {
  PlatformConsole console;
#if defined(_WIN32)
  return qxconsole::run_console(console, qxconsole::win32_notes());
#elif defined(QX470_CONSOLE_WITH_READER)
  return qxconsole::run_console(console, qxconsole::reader_notes());
#else
  return qxconsole::run_console(console);
#endif
}
