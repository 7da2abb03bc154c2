// Which amplifiers are attached and which one this process uses, through the bridge's listing
// calls as any D2XX program makes them; for devices this user may not open, through sysfs.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qx470reader {

struct Amplifier {
  std::string serial;       // the device's serial number, as a choice names it
  std::string description;  // the product string
  unsigned long location = 0;
};

// Every device the bridge lists, amplifiers' interfaces and other devices on its ids alike, as
// the bridge gives them; false if it could not list.
struct BridgeNode {
  std::string serial, description;
  unsigned long location = 0, flags = 0;
};
bool list_bridge_nodes(std::vector<BridgeNode> &out);

// The amplifiers the bridge lists, by location; only the chosen one once a choice is made. False
// if the bridge could not list.
bool list_amplifiers(std::vector<Amplifier> &out);

// Makes this process use the amplifier with this serial number ("" for the only one attached):
// the bridge lists only that one from now on, so the library opens it. The bridge reads the
// choice from QX470_USB_SERIAL, so programs this process starts inherit it. The amplifiers
// attached before the choice are kept to tell a user what there was to choose from.
void choose_amplifier(const std::string &serial);
// The serial number chosen here or in the environment; empty for none.
std::string chosen_amplifier();

// Another process that has the amplifier with this serial number ("" for the only one) open:
// the bridge lists it as opened, or (on Linux) a process holds its USB device node.
struct Holder {
  bool held = false;
  long pid = 0;      // 0 when the bridge says it is held but not by whom
  std::string name;  // the process's command name
};
Holder amplifier_holder(const std::string &serial);

// Why no amplifier could be used (status -5): several attached and none chosen, the chosen one
// not attached, or devices this user may not open. Lines joined with '\n'.
std::string no_device_words();

// Device nodes of USB devices on the bridge's ids (QX470_USB_IDS, else 0403:6010) that
// `can_open` refuses: their strings cannot be read, so no listing shows them. `root` prefixes
// /sys and /dev (empty for the machine's own). Always empty on Windows.
std::vector<std::string> unopenable_devices(
    const std::string &root, const std::function<bool(const std::string &)> &can_open);
bool may_open(const std::string &device_node);
// What to do about them, in lines joined with '\n'.
std::string permission_words(const std::vector<std::string> &refused);

}  // namespace qx470reader
