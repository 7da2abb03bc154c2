// Which amplifiers are attached, for --scan and for saying why none could be used: through the
// bridge's listing calls, as any D2XX program makes them, and, for devices this user may not
// open, through sysfs.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "record_session.h"

namespace qx470rec {

// The environment variable that narrows the bridge's list to one amplifier; -d sets it.
inline constexpr const char *kSerialVariable = "QX470_USB_SERIAL";

struct AttachedAmplifier {
  std::string serial;       // the device's serial number, as -d takes it
  std::string description;  // the product string
  unsigned long location = 0;
};

// Every attached amplifier, whatever QX470_USB_SERIAL says. False if the bridge could not list.
bool attached_amplifiers(std::vector<AttachedAmplifier> &out);

// Device nodes of USB devices on the bridge's ids (QX470_USB_IDS, else 0403:6010) that
// `can_open` refuses: their strings cannot be read, so no listing shows them. `root` prefixes
// /sys and /dev (empty for the machine's own).
std::vector<std::string> unopenable_devices(
    const std::string &root, const std::function<bool(const std::string &)> &can_open);
bool may_open(const std::string &device_node);

// What to tell a user whose amplifier was not found (status -5): several attached and none
// chosen, the chosen serial number not attached, or devices this user may not open.
std::string no_device_words();

// qx470-record --scan: lists the attached amplifiers. Exit status 0 if there is one, else 1.
int run_scan(SessionIo &io);

}  // namespace qx470rec
