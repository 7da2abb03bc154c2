#include "console_posix.h"

int main() {
  qxconsole::PosixConsole console;
  return qxconsole::run_console(console);
}
