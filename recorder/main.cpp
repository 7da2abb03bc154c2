// qx470-record: records the QX-470-USB to EDF+, CSV, FLAC, WAV or raw files; every lost sample
// is reported. Ctrl-C, SIGTERM or SIGHUP ends a recording with a complete file.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <iostream>

#include "amplifiers.h"
#include "devices.h"
#include "options.h"
#include "session.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_stop_now{false};
std::atomic<unsigned> g_resumed{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "the count is kept by a handler");

void on_resume(int) {
  g_resumed.fetch_add(1);
}
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

// The first signal asks the loop to finish the file with everything received; a second one to
// finish it without waiting for the block in progress; a third ends the program at once.
void on_stop_signal(int) {
  if (!g_stop.exchange(true)) return;
  g_stop_now.store(true);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGINT, &dfl, nullptr);
  sigaction(SIGTERM, &dfl, nullptr);
  sigaction(SIGHUP, &dfl, nullptr);
}

}  // namespace

int main(int argc, char **argv) {
  qx470rec::Options opts;
  switch (qx470rec::parse_command_line(argc, argv, opts, std::cout, std::cerr)) {
    case qx470rec::Outcome::kExitOk:
      return qx470rec::kExitOk;
    case qx470rec::Outcome::kBadArguments:
      return qx470rec::kExitBadArguments;
    case qx470rec::Outcome::kRun:
      break;
  }
  // Before the library opens anything: the choice holds for everything this process does.
  if (!opts.device.empty()) qx470reader::choose_amplifier(opts.device);
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A closed terminal (SIGHUP) ends the recording as SIGTERM does, with complete files.
  sigaction(SIGHUP, &sa, nullptr);
  // A closed pipe on standard output is a write error to report, not a silent death.
  signal(SIGPIPE, SIG_IGN);

  // No progress line where it would land among the samples on the same terminal.
  const bool progress = !opts.quiet && isatty(STDERR_FILENO) == 1 &&
                        !(opts.output == "-" && isatty(STDOUT_FILENO) == 1);
  // Going on after SIGSTOP or Ctrl-Z: the recorder says why the stream paused.
  struct sigaction cont {};
  cont.sa_handler = on_resume;
  cont.sa_flags = SA_RESTART;
  sigemptyset(&cont.sa_mask);
  sigaction(SIGCONT, &cont, nullptr);
  qx470rec::SessionIo io{std::cout, std::cerr, progress, &g_stop, {}, &g_stop_now};
  io.resumed = &g_resumed;
  io.may_leave_the_stop = true;
  if (opts.scan) return qx470rec::run_scan(io);
  return opts.show ? qx470rec::run_show(io) : qx470rec::run_record(opts, io);
}
