#include "amplifiers.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "ftd2xx.h"
#include "rates.h"

namespace qx470reader {

namespace {

constexpr const char *kSerialVariable = "QX470_USB_SERIAL";
constexpr const char *kAmplifierProduct = "QX-470";

// What was attached when the choice was made, for the message when the choice is not there.
std::mutex g_mutex;
std::vector<Amplifier> g_before_choice;
bool g_listed_before_choice = false;

std::string field(const char *text, size_t size) {
  return std::string(text, strnlen(text, size));
}

std::string joined(const std::vector<Amplifier> &amps) {
  std::string s;
  for (const Amplifier &a : amps) s += (s.empty() ? "" : ", ") + a.serial;
  return s;
}

void set_choice(const std::string &serial) {
#if defined(_WIN32)
  _putenv_s(kSerialVariable, serial.c_str());  // empty removes it
  SetEnvironmentVariableA(kSerialVariable, serial.empty() ? nullptr : serial.c_str());
#else
  if (serial.empty())
    unsetenv(kSerialVariable);
  else
    setenv(kSerialVariable, serial.c_str(), 1);
#endif
}

}  // namespace

bool list_bridge_nodes(std::vector<BridgeNode> &out) {
  out.clear();
  DWORD count = 0;
  std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
  bool ok = FT_CreateDeviceInfoList(&count) == FT_OK;
  if (ok && count) {
    nodes.resize(count);
    ok = FT_GetDeviceInfoList(nodes.data(), &count) == FT_OK;
    nodes.resize(ok ? std::min<size_t>(count, nodes.size()) : 0);
  }
  for (const FT_DEVICE_LIST_INFO_NODE &n : nodes)
    out.push_back({field(n.SerialNumber, sizeof n.SerialNumber),
                   field(n.Description, sizeof n.Description), n.LocId, n.Flags});
  return ok;
}

bool list_amplifiers(std::vector<Amplifier> &out) {
  out.clear();
  std::vector<BridgeNode> nodes;
  const bool ok = list_bridge_nodes(nodes);
  for (const BridgeNode &n : nodes) {
    const std::string &d = n.description;
    // An amplifier is two nodes; its interface A stands for it.
    if (d.rfind(kAmplifierProduct, 0) != 0 || d.size() < 2 || d.compare(d.size() - 2, 2, " A") != 0)
      continue;
    std::string serial = n.serial;
    if (!serial.empty() && serial.back() == 'A') serial.pop_back();
    out.push_back({serial, d.substr(0, d.size() - 2), n.location});
  }
  std::sort(out.begin(), out.end(),
            [](const Amplifier &a, const Amplifier &b) { return a.location < b.location; });
  return ok;
}

void choose_amplifier(const std::string &serial) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_listed_before_choice) {
    // Once, before this process narrows the list: later lists show the choice only.
    g_listed_before_choice = true;
    list_amplifiers(g_before_choice);
  }
  set_choice(serial);
}

std::string chosen_amplifier() {
  const char *chosen = std::getenv(kSerialVariable);
  return chosen ? chosen : "";
}

namespace {

#if !defined(_WIN32)
// The first other process with an open file that is `node`, by /proc.
Holder process_holding(const std::string &node) {
  namespace fs = std::filesystem;
  Holder h;
  std::error_code ec;
  const std::string self = std::to_string(getpid());
  for (fs::directory_iterator p("/proc", ec), end; !ec && p != end && !h.held; p.increment(ec)) {
    const std::string pid = p->path().filename().string();
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit) || pid == self) continue;
    std::error_code fd_ec;
    for (fs::directory_iterator f(p->path() / "fd", fd_ec), fend; !fd_ec && f != fend;
         f.increment(fd_ec)) {
      std::error_code link_ec;
      if (fs::read_symlink(f->path(), link_ec).string() != node) continue;
      h.held = true;
      h.pid = std::atol(pid.c_str());
      std::ifstream comm(p->path() / "comm");
      std::getline(comm, h.name);
      break;
    }
  }
  return h;
}
#endif

}  // namespace

Holder amplifier_holder(const std::string &serial) {
  Holder h;
  std::vector<BridgeNode> nodes;
  list_bridge_nodes(nodes);
  for (const BridgeNode &n : nodes) {
    std::string s = n.serial;
    if (!s.empty() && (s.back() == 'A' || s.back() == 'B')) s.pop_back();
    if (n.description.rfind(kAmplifierProduct, 0) != 0 || (!serial.empty() && s != serial))
      continue;
    if (n.flags & FT_FLAGS_OPENED) h.held = true;
#if !defined(_WIN32)
    // A location is bus << 12 | address << 4 | interface on Linux; the node is the device's.
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03lu/%03lu", n.location >> 12,
                  (n.location >> 4) & 0xFF);
    // An emulated bus (umockdev) keeps its nodes under a root of its own; each bus its own.
    const char *root = std::getenv("UMOCKDEV_DIR");
    if (const Holder p = process_holding((root ? std::string(root) : std::string()) + node); p.held)
      return p;
#endif
  }
  return h;
}

std::string no_device_words() {
  std::vector<Amplifier> amps;
  list_amplifiers(amps);
  const std::string chosen = chosen_amplifier();
  if (!chosen.empty()) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::vector<Amplifier> &there = g_listed_before_choice ? g_before_choice : amps;
    return "no QX-470-USB with serial number '" + chosen + "' is attached (status -5)" +
           (there.empty() ? std::string() : "; attached: " + joined(there));
  }
  if (amps.size() > 1)
    return "more than one QX-470-USB is attached (" + joined(amps) +
           "): choose one with -d SERIAL (status -5)";
  std::string words =
      "no QX-470-USB found (status -5): is it plugged in, and may this user open it?";
  if (amps.empty())
    if (const auto refused = unopenable_devices("", may_open); !refused.empty())
      (words += '\n') += permission_words(refused);
  return words;
}

std::string permission_words(const std::vector<std::string> &refused) {
  std::string nodes;
  for (const std::string &n : refused) nodes += (nodes.empty() ? "" : ", ") + n;
  return std::to_string(refused.size()) + (refused.size() == 1 ? " USB device" : " USB devices") +
         " on the amplifier's USB ids cannot be opened by this user (" + nodes +
         "): no amplifier among them can be listed or used.\n"
         "Install the udev rule 60-qx470usb.rules (the package puts it in\n"
         "/usr/lib/udev/rules.d; from the sources, copy udev/60-qx470usb.rules to\n"
         "/etc/udev/rules.d and run 'udevadm control --reload-rules'), join the\n"
         "plugdev group, and plug the amplifier in again.";
}

std::vector<std::string> unopenable_devices(
    const std::string &root, const std::function<bool(const std::string &)> &can_open) {
  std::vector<std::string> refused;
#if !defined(_WIN32)
  namespace fs = std::filesystem;
  const char *ids_env = std::getenv("QX470_USB_IDS");
  const std::string ids = lower_case(ids_env && *ids_env ? ids_env : "0403:6010");
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
    if (vid.empty() || pid.empty() || ids.find(lower_case(vid + ":" + pid)) == std::string::npos)
      continue;
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", std::atoi(read("busnum").c_str()),
                  std::atoi(read("devnum").c_str()));
    if (!can_open(root + node)) refused.push_back(node);
  }
  std::sort(refused.begin(), refused.end());
#else
  (void)root;
  (void)can_open;
#endif
  return refused;
}

bool may_open(const std::string &device_node) {
#if defined(_WIN32)
  (void)device_node;
  return true;
#else
  // Only a refusal counts: a device that went in between is no permission problem.
  return access(device_node.c_str(), R_OK | W_OK) == 0 || errno != EACCES;
#endif
}

}  // namespace qx470reader
