#include "devices.h"

#include <cstdio>
#include <ostream>
#include <vector>

#include "amplifiers.h"
#include "summary.h"

namespace qx470rec {

int run_scan(SessionIo &io) {
  std::vector<qx470reader::Amplifier> amps;
  if (!qx470reader::list_amplifiers(amps)) {
    io.err << "qx470-record: the USB bridge could not list its devices\n";
  } else if (amps.empty()) {
    io.err << "qx470-record: no QX-470-USB found\n";
  } else {
    // The simulator and the emulated device are listed as what they are, never as hardware.
    const qx470reader::BridgeKind kind = qx470reader::bridge_in_use().kind;
    const bool stand_in = kind == qx470reader::BridgeKind::kSimulated ||
                          kind == qx470reader::BridgeKind::kEmulatedUsb;
    io.out << "Serial number    Description      Location\n";
    for (const qx470reader::Amplifier &a : amps) {
      char line[200];
      std::snprintf(line, sizeof line, "%-16s %-16s bus %03lu device %03lu", a.serial.c_str(),
                    a.description.c_str(), (a.location >> 12) & 0xFFF, (a.location >> 4) & 0xFF);
      io.out << line;
      if (stand_in) io.out << "  (" << qx470reader::bridge_kind_words(kind) << ", no hardware)";
      io.out << "\n";
    }
    if (amps.size() > 1)
      io.err << "qx470-record: " << amps.size()
             << " amplifiers: record from one with -d SERIAL, one process each\n";
  }
  const auto refused = qx470reader::unopenable_devices("", qx470reader::may_open);
  if (!refused.empty()) io.err << program_lines(qx470reader::permission_words(refused));
  return amps.empty() ? kExitDeviceOrFile : kExitOk;
}

// The device check as the console makes it: ready, shunt off, the calibration value.
bool prepare_device(SessionIo &io, RecordingInfo &info, bool say_stand_in) {
  const qx470reader::DeviceCheck d = qx470reader::check_device(true);
  if (!d.ready()) {
    io.err << program_lines(qx470reader::status_words(d.status));
    return false;
  }
  if (!d.shunt_off) io.err << "qx470-record: warning: could not switch the calibration shunt off\n";
  if (!d.calibration_valid())
    io.err << "qx470-record: warning: calibration value not readable (read " << d.calibration_read
           << "), using " << d.calibration << " nV per count\n";
  info.calibration = d.calibration;
  info.bridge = qx470reader::bridge_in_use();
  info.serial = qx470reader::chosen_amplifier();
  if (std::vector<qx470reader::Amplifier> amps;
      info.serial.empty() && qx470reader::list_amplifiers(amps) && amps.size() == 1)
    info.serial = amps[0].serial;
  // A recording of the simulator is never taken for one of the device.
  if (say_stand_in && info.bridge.kind != qx470reader::BridgeKind::kUsb)
    io.err << "qx470-record: recording the " << qx470reader::bridge_kind_words(info.bridge.kind)
           << ", not a device on the bus"
           << (info.bridge.file.empty() ? std::string() : " (" + info.bridge.file + ")") << "\n";
  return true;
}

int run_show(SessionIo &io) {
  const qx470reader::DeviceCheck d = qx470reader::check_device(false);
  // The first line is the report's; further ones (why no amplifier) are the program's.
  const std::string words = program_lines(qx470reader::status_words(d.status));
  io.out << "Device: " << words.substr(std::string("qx470-record: ").size());
  io.out << "Bridge: " << qx470reader::describe(qx470reader::bridge_in_use()) << "\n";
  if (!d.ready()) return kExitDeviceOrFile;
  std::vector<qx470reader::Amplifier> amps;
  qx470reader::list_amplifiers(amps);
  if (const std::string chosen = qx470reader::chosen_amplifier(); !chosen.empty())
    io.out << "Serial number: " << chosen << "\n";
  else if (amps.size() == 1)
    io.out << "Serial number: " << amps[0].serial << "\n";
  if (d.calibration_valid()) {
    io.out << "Calibration: " << d.calibration_read << " nV per count (" << [&] {
      RecordingInfo scale;
      scale.calibration = d.calibration_read;
      return scale.volts_per_count_text();
    }() << " V per count)\n";
  } else {
    io.out << "Calibration: not readable (read " << d.calibration_read << ", valid "
           << qx470reader::kCalibrationMin << " to " << qx470reader::kCalibrationMax
           << "); recordings use " << d.calibration << "\n";
  }
  return kExitOk;
}

}  // namespace qx470rec
