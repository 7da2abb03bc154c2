// The console's notes from the reader library: which bridge the library drives, and which
// process holds an amplifier that does not answer.
#pragma once

#include "console_io.h"

namespace qxconsole {

DeviceNotes reader_notes();

}  // namespace qxconsole
