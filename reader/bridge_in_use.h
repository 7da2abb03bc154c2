// Which bridge the loaded QX470USB library drives: the simulated amplifier or the USB one. A
// user who has both builds must be able to see, in every recording, that sine waves came from the
// simulator and not from the device.
#ifndef QX470_BRIDGE_IN_USE_H
#define QX470_BRIDGE_IN_USE_H

#include <string>

namespace qx470reader {

enum class BridgeKind { kUnknown = 0, kSimulated = 1, kUsb = 2, kEmulatedUsb = 3 };

struct BridgeInUse {
  BridgeKind kind = BridgeKind::kUnknown;
  std::string file;  // the bridge library's path as the loader opened it; empty if unknown
};

// Looks at the process as it is: call it after the library is loaded (any host linking it is).
BridgeInUse bridge_in_use();

// "simulated amplifier", "USB", "emulated USB" or "unknown".
const char *bridge_kind_words(BridgeKind kind);

// One line for people: the kind and, when known, the file in brackets.
std::string describe(const BridgeInUse &bridge);

}  // namespace qx470reader

#endif
