// qx470-record's session: the reading loop over the continuous reader, moving samples, gaps and
// events to the write queue, with progress and the summary. Returns the program's exit code.
#pragma once

#include "options.h"
#include "session_io.h"
#include "summary.h"

namespace qx470rec {

int run_record(const Options &opts, SessionIo &io);

}  // namespace qx470rec
