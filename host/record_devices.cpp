#include "record_devices.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "ftd2xx.h"

namespace qx470rec {

namespace {

constexpr const char *kAmplifierProduct = "QX-470";

std::string field(const char *text, size_t size) {
  return std::string(text, strnlen(text, size));
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return s;
}

std::string joined(const std::vector<AttachedAmplifier> &amps) {
  std::string s;
  for (const AttachedAmplifier &a : amps) s += (s.empty() ? "" : ", ") + a.serial;
  return s;
}

// Lines for messages that qx470-record's callers prefix with its name.
std::string permission_words(const std::vector<std::string> &refused) {
  std::string nodes;
  for (const std::string &n : refused) nodes += (nodes.empty() ? "" : ", ") + n;
  return std::to_string(refused.size()) + (refused.size() == 1 ? " USB device" : " USB devices") +
         " on the amplifier's USB ids cannot be opened by this user (" + nodes +
         "): no amplifier among them can be listed or used.\n"
         "qx470-record: Install the udev rule 60-qx470usb.rules (the package puts it in\n"
         "qx470-record: /usr/lib/udev/rules.d; from the sources, copy udev/60-qx470usb.rules to\n"
         "qx470-record: /etc/udev/rules.d and run 'udevadm control --reload-rules'), join the\n"
         "qx470-record: plugdev group, and plug the amplifier in again.";
}

}  // namespace

bool attached_amplifiers(std::vector<AttachedAmplifier> &out) {
  out.clear();
  // Every amplifier, not only the chosen one: this is the list a user chooses from.
  const char *chosen = std::getenv(kSerialVariable);
  const std::string saved = chosen ? chosen : "";
  if (chosen) unsetenv(kSerialVariable);
  DWORD count = 0;
  std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
  bool ok = FT_CreateDeviceInfoList(&count) == FT_OK;
  if (ok && count) {
    nodes.resize(count);
    ok = FT_GetDeviceInfoList(nodes.data(), &count) == FT_OK;
    nodes.resize(std::min<size_t>(count, nodes.size()));
  }
  if (chosen) {
    setenv(kSerialVariable, saved.c_str(), 1);
    // The bridge opens devices by their place in its last list: list again with the choice, or
    // the next open would take the first amplifier of all.
    DWORD ignored = 0;
    FT_CreateDeviceInfoList(&ignored);
  }
  for (const FT_DEVICE_LIST_INFO_NODE &n : nodes) {
    const std::string d = field(n.Description, sizeof n.Description);
    // An amplifier is two nodes; its interface A stands for it.
    if (d.rfind(kAmplifierProduct, 0) != 0 || d.size() < 2 || d.compare(d.size() - 2, 2, " A") != 0)
      continue;
    std::string serial = field(n.SerialNumber, sizeof n.SerialNumber);
    if (!serial.empty() && serial.back() == 'A') serial.pop_back();
    out.push_back({serial, d.substr(0, d.size() - 2), n.LocId});
  }
  std::sort(out.begin(), out.end(), [](const AttachedAmplifier &a, const AttachedAmplifier &b) {
    return a.location < b.location;
  });
  return ok;
}

std::vector<std::string> unopenable_devices(
    const std::string &root, const std::function<bool(const std::string &)> &can_open) {
  namespace fs = std::filesystem;
  const char *ids_env = std::getenv("QX470_USB_IDS");
  const std::string ids = lower(ids_env && *ids_env ? ids_env : "0403:6010");
  std::vector<std::string> refused;
  std::error_code ec;
  for (fs::directory_iterator it(root + "/sys/bus/usb/devices", ec), end; !ec && it != end;
       it.increment(ec)) {
    const auto read = [&](const char *name) {
      std::ifstream f(it->path() / name);
      std::string v;
      std::getline(f, v);
      return v;
    };
    const std::string vid = read("idVendor"), pid = read("idProduct");
    if (vid.empty() || pid.empty() || ids.find(lower(vid + ":" + pid)) == std::string::npos)
      continue;
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", std::atoi(read("busnum").c_str()),
                  std::atoi(read("devnum").c_str()));
    if (!can_open(root + node)) refused.push_back(node);
  }
  std::sort(refused.begin(), refused.end());
  return refused;
}

bool may_open(const std::string &device_node) {
  // Only a refusal counts: a device that went in between is no permission problem.
  return access(device_node.c_str(), R_OK | W_OK) == 0 || errno != EACCES;
}

std::string no_device_words() {
  std::vector<AttachedAmplifier> amps;
  attached_amplifiers(amps);
  const char *chosen = std::getenv(kSerialVariable);
  if (chosen && *chosen)
    return std::string("no QX-470-USB with serial number '") + chosen +
           "' is attached (status -5)" +
           (amps.empty() ? std::string() : "; attached: " + joined(amps));
  if (amps.size() > 1)
    return "more than one QX-470-USB is attached (" + joined(amps) +
           "): choose one with -d SERIAL (status -5)";
  std::string words =
      "no QX-470-USB found (status -5): is it plugged in, and may this user open it?";
  if (amps.empty())
    if (const auto refused = unopenable_devices("", may_open); !refused.empty())
      words += "\nqx470-record: " + permission_words(refused);
  return words;
}

int run_scan(SessionIo &io) {
  std::vector<AttachedAmplifier> amps;
  if (!attached_amplifiers(amps)) {
    io.err << "qx470-record: the USB bridge could not list its devices\n";
  } else if (amps.empty()) {
    io.err << "qx470-record: no QX-470-USB found\n";
  } else {
    io.out << "Serial number    Description      Location\n";
    for (const AttachedAmplifier &a : amps) {
      char line[200];
      std::snprintf(line, sizeof line, "%-16s %-16s bus %03lu device %03lu\n", a.serial.c_str(),
                    a.description.c_str(), (a.location >> 12) & 0xFFF, (a.location >> 4) & 0xFF);
      io.out << line;
    }
    if (amps.size() > 1)
      io.err << "qx470-record: " << amps.size()
             << " amplifiers: record from one with -d SERIAL, one process each\n";
  }
  if (const auto refused = unopenable_devices("", may_open); !refused.empty())
    io.err << "qx470-record: " << permission_words(refused) << "\n";
  return amps.empty() ? kExitDeviceOrFile : kExitOk;
}

}  // namespace qx470rec
