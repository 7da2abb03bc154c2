// The amplifier as qx470-record meets it: --scan (the attached amplifiers with their serial
// numbers, and why one this user may not open is not among them), --show, and the check before
// a recording.
#pragma once

#include "recording_info.h"
#include "session_io.h"

namespace qx470rec {

// Exit status 0 if there is an amplifier, else 1.
int run_scan(SessionIo &io);
int run_show(SessionIo &io);
// The device check as the console makes it (ready, the shunt off, the calibration value, with
// warnings), filling in what the files say of the device. False, said on io.err, when not ready.
// `say_stand_in`: say so when the bridge is the simulator or the emulated device.
bool prepare_device(SessionIo &io, RecordingInfo &info, bool say_stand_in);

}  // namespace qx470rec
