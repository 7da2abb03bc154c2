// Where a run of qx470-record speaks and what stops it: its streams, whether to draw progress,
// the signal flags; each mode (--scan, --show, a recording) takes one.
#pragma once

#include <atomic>
#include <functional>
#include <iosfwd>

namespace qx470rec {

struct SessionIo {
  std::ostream &out;                        // --show's report
  std::ostream &err;                        // messages, progress and the summary
  bool progress = false;                    // redraw a progress line (standard error is a terminal)
  const std::atomic<bool> *stop = nullptr;  // set by Ctrl-C or SIGTERM
  std::function<void()> before_poll;        // tests: called before every pass of the loop
  const std::atomic<bool> *stop_now = nullptr;  // set by a second one: do not wait for the tail
  // Set when a second signal left the acquisition stopping: run_record then ends the program
  // itself once the file is complete.
  bool left_running = false;
  // Counts the times the process went on after it was stopped (SIGCONT).
  const std::atomic<unsigned> *resumed = nullptr;
  // The program may end while the library still stops (at the slowest rates that waits up to
  // 16 s for a block that holds nothing of the recording); a test in-process waits instead.
  bool may_leave_the_stop = false;
};

}  // namespace qx470rec
