// An emulated USB bus with the QX-470-USB on it: the FT2232D and the amplifier behind it, served
// at the kernel's usbdevfs boundary through umockdev, so that libusb and libftdi1 run unmodified
// against it. A program using the device must run with umockdev's preload library
// (LD_PRELOAD=libumockdev-preload.so.0) and, if it is not the process holding the bus, with
// UMOCKDEV_DIR set to root_dir().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "amplifier.h"
#include "ft2232d.h"

namespace qxusb {

struct BusCounters {
  uint64_t submitted = 0;  // URBs
  uint64_t reaps = 0;      // reap calls, including those that found nothing
  uint64_t in_bytes = 0;   // bytes handed to bulk-IN transfers, status bytes included
};

class EmulatedBus {
 public:
  // Creates the bus with the device plugged in. With `from_environment` the device takes the
  // simulator's start-up settings: QXSIM_ATTACHED=0 leaves the bus empty, and the amplifier reads
  // QXSIM_POWERED, QXSIM_SIGNAL, QXSIM_SPEED and QXSIM_EEPROM. In a process that also uses the
  // device, this must come before its first libusb context. Null, with `error` set, on failure.
  static std::unique_ptr<EmulatedBus> start(bool from_environment, std::string &error);
  ~EmulatedBus();
  EmulatedBus(const EmulatedBus &) = delete;
  EmulatedBus &operator=(const EmulatedBus &) = delete;

  std::string root_dir() const;

  // Runs `f` with the amplifier and the chip, under the lock the USB side takes too.
  void with_device(const std::function<void(qxsim::Amplifier &, Ft2232d &)> &f);

  // Unplugs the device as the kernel sees it: transfers in flight end as the device's removal,
  // every later call on an open file fails with ENODEV, and the device leaves the bus.
  void unplug();
  BusCounters counters();

  struct Impl;

 private:
  explicit EmulatedBus(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qxusb
