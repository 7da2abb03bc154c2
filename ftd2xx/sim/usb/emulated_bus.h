// An emulated USB bus with the QX-470-USB on it (or several, or beside other devices on the same
// ids): the FT2232D and the amplifier behind it, served
// at the kernel's usbdevfs boundary through umockdev, so that libusb and libftdi1 run unmodified
// against it. A program using the device must run with umockdev's preload library
// (LD_PRELOAD=libumockdev-preload.so.0) and, if it is not the process holding the bus, with
// UMOCKDEV_DIR set to root_dir().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "amplifier.h"
#include "ft2232d.h"

namespace qxusb {

// What one device on the bus calls itself: by default an amplifier's bridge; with another product
// string, one of the many other devices on the same ids (programmers, serial converters) that a
// host must leave alone.
struct DeviceStrings {
  std::string product = kProduct;
  std::string serial = kSerial;
};

struct BusCounters {
  uint64_t submitted = 0;  // URBs
  uint64_t reaps = 0;      // reap calls, including those that found nothing
  uint64_t in_bytes = 0;   // bytes handed to bulk-IN transfers, status bytes included
  // What hosts did with the device beyond reading what sysfs shows of it.
  uint64_t claims = 0;           // interface claims asked for
  uint64_t resets = 0;           // port resets
  uint64_t vendor_requests = 0;  // the chip's own control requests (reset, purge, latency, ...)
  uint64_t string_requests = 0;  // string descriptors read
};

class EmulatedBus {
 public:
  // Creates the bus with the devices plugged in, device i at /dev/bus/usb/001/<2 + i>. With
  // `from_environment` they take the simulator's start-up settings: QXSIM_ATTACHED=0 leaves the
  // bus empty, and every amplifier reads QXSIM_POWERED, QXSIM_SIGNAL, QXSIM_SPEED and
  // QXSIM_EEPROM. In a process that also uses the devices, this must come before its first
  // libusb context. Null, with `error` set, on failure.
  static std::unique_ptr<EmulatedBus> start(bool from_environment, std::string &error,
                                            const std::vector<DeviceStrings> &devices = {{}});
  ~EmulatedBus();
  EmulatedBus(const EmulatedBus &) = delete;
  EmulatedBus &operator=(const EmulatedBus &) = delete;

  std::string root_dir() const;
  std::size_t device_count() const;
  // Where device `index` is in the emulated sysfs ("/sys/devices/usb1/1-1" for the first).
  std::string sys_path(std::size_t index) const;

  // Runs `f` with a device's amplifier and chip, under the lock its USB side takes too.
  void with_device(std::size_t index, const std::function<void(qxsim::Amplifier &, Ft2232d &)> &f);
  void with_device(const std::function<void(qxsim::Amplifier &, Ft2232d &)> &f) {
    with_device(0, f);
  }

  // Unplugs a device as the kernel sees it: transfers in flight end as the device's removal,
  // every later call on an open file fails with ENODEV, and the device leaves the bus.
  void unplug(std::size_t index = 0);
  BusCounters counters(std::size_t index = 0);

  struct Impl;

 private:
  explicit EmulatedBus(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qxusb
