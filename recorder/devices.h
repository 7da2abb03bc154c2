// qx470-record --scan: the attached amplifiers with their serial numbers, and why an amplifier
// this user may not open is not among them.
#pragma once

#include "session.h"

namespace qx470rec {

// Exit status 0 if there is an amplifier, else 1.
int run_scan(SessionIo &io);

}  // namespace qx470rec
