#include "devices.h"

#include <cstdio>
#include <ostream>
#include <vector>

#include "amplifiers.h"

namespace qx470rec {

int run_scan(SessionIo &io) {
  std::vector<qx470reader::Amplifier> amps;
  if (!qx470reader::list_amplifiers(amps)) {
    io.err << "qx470-record: the USB bridge could not list its devices\n";
  } else if (amps.empty()) {
    io.err << "qx470-record: no QX-470-USB found\n";
  } else {
    io.out << "Serial number    Description      Location\n";
    for (const qx470reader::Amplifier &a : amps) {
      char line[200];
      std::snprintf(line, sizeof line, "%-16s %-16s bus %03lu device %03lu\n", a.serial.c_str(),
                    a.description.c_str(), (a.location >> 12) & 0xFFF, (a.location >> 4) & 0xFF);
      io.out << line;
    }
    if (amps.size() > 1)
      io.err << "qx470-record: " << amps.size()
             << " amplifiers: record from one with -d SERIAL, one process each\n";
  }
  const auto refused = qx470reader::unopenable_devices("", qx470reader::may_open);
  if (!refused.empty()) io.err << program_lines(qx470reader::permission_words(refused));
  return amps.empty() ? kExitDeviceOrFile : kExitOk;
}

}  // namespace qx470rec
