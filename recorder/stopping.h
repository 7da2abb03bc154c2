// Stopping the acquisition without being held by it: the library's stop waits for the block in
// progress, up to 16 s at the slowest rates, and the recorder must stay able to answer a signal
// or end meanwhile.
#pragma once

#include <functional>

#include "continuous_reader.h"

namespace qx470rec {

// Stops `reader` in a thread of its own. `leave` is asked every 10 ms, with the seconds waited so
// far, whether to go on without the stop: then the thread is left running and this returns
// false; true once the reader has stopped.
bool stop_reader(qx470reader::ContinuousReader &reader,
                 const std::function<bool(double waited)> &leave);

}  // namespace qx470rec
