#include "bridge_in_use.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

namespace qx470reader {

namespace {
// Only the simulated bridge has the simulator's knobs.
constexpr const char *kSimulatorSymbol = "qxsim_reset";

// The emulated bus runs the real USB bridge inside umockdev's test bed.
BridgeKind usb_kind() {
  const char *testbed = std::getenv("UMOCKDEV_DIR");
  return testbed && *testbed ? BridgeKind::kEmulatedUsb : BridgeKind::kUsb;
}
}  // namespace

BridgeInUse bridge_in_use() {
  BridgeInUse out;
#if defined(_WIN32)
  HMODULE bridge = GetModuleHandleA("ftd2xx.dll");
  if (bridge == nullptr) return out;
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(bridge, path, MAX_PATH);
  if (n > 0 && n < MAX_PATH) out.file.assign(path, n);
  out.kind =
      GetProcAddress(bridge, kSimulatorSymbol) != nullptr ? BridgeKind::kSimulated : usb_kind();
#else
  // The bridge is already there as the library's dependency; NOLOAD only finds it.
  void *bridge = dlopen("libqx470usb_bridge.so.1", RTLD_LAZY | RTLD_NOLOAD);
  if (bridge == nullptr) return out;
  struct link_map *map = nullptr;
  if (dlinfo(bridge, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
    // The loader keeps the path as it found it ("bin/../lib/..."): the folder is made plain, the
    // name kept as the loader asked for it.
    out.file = map->l_name;
    const size_t slash = out.file.rfind('/');
    if (slash != std::string::npos) {
      char *folder = realpath(out.file.substr(0, slash).c_str(), nullptr);
      if (folder) out.file = std::string(folder) + out.file.substr(slash);
      std::free(folder);
    }
  }
  out.kind = dlsym(bridge, kSimulatorSymbol) != nullptr ? BridgeKind::kSimulated : usb_kind();
  dlclose(bridge);
#endif
  return out;
}

const char *bridge_kind_words(BridgeKind kind) {
  switch (kind) {
    case BridgeKind::kSimulated:
      return "simulated amplifier";
    case BridgeKind::kUsb:
      return "USB";
    case BridgeKind::kEmulatedUsb:
      return "emulated USB";
    case BridgeKind::kUnknown:
      break;
  }
  return "unknown";
}

std::string describe(const BridgeInUse &bridge) {
  std::string s = bridge_kind_words(bridge.kind);
  if (!bridge.file.empty()) s += " (" + bridge.file + ")";
  return s;
}

}  // namespace qx470reader
