#include "reader_notes.h"

#include "qx470_reader.h"

namespace qxconsole {

namespace {

std::string bridge_note() {
  char file[512] = "";
  const int32_t kind = qx470_bridge(file, sizeof file);
  const std::string where = *file ? std::string(" (") + file + ")" : std::string();
  if (kind == QX470_BRIDGE_SIMULATED) return "Simulated amplifier, not a device on the bus" + where;
  if (kind == QX470_BRIDGE_EMULATED_USB)
    return "Emulated FT2232D on an emulated USB bus, not a device" + where;
  return "";
}

std::string holder_note() {
  char serial[64] = "", name[64] = "";
  qx470_chosen_amplifier(serial, sizeof serial);
  int32_t pid = 0;
  if (qx470_amplifier_holder(serial, &pid, name, sizeof name) != 1) return "";
  if (pid == 0) return "In use by another process";
  return "In use by another process: process " + std::to_string(pid) + " (" + name + ")";
}

}  // namespace

DeviceNotes reader_notes() {
  return {bridge_note, holder_note};
}

}  // namespace qxconsole
