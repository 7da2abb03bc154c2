// qx470-record's session: the device check as the console makes it, the reading loop over the
// continuous reader, the writer, progress and the summary. Each returns the program's exit code.
#pragma once

#include <atomic>
#include <functional>
#include <iosfwd>
#include <string>

#include "options.h"
#include "summary.h"

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
};

int run_record(const Options &opts, SessionIo &io);

}  // namespace qx470rec
