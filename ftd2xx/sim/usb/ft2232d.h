// The FT2232D bridge as the host sees it over USB, with the amplifier behind it: descriptors,
// the vendor requests libftdi1 sends, the EEPROM, and per interface a receive FIFO of the chip's
// size that the latency timer and full packets empty into the host's bulk-IN transfers. Knows
// nothing of usbdevfs: the device face hands it control setups, OUT data and pending IN
// transfers, under its own lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "amplifier.h"

namespace qxusb {

using qxsim::Clock;

inline constexpr uint16_t kVendorId = 0x0403;
inline constexpr uint16_t kProductId = 0x6010;
inline constexpr uint16_t kBcdDevice = 0x0500;  // FT2232C/D
inline constexpr std::size_t kPacketBytes = 64;
inline constexpr std::size_t kInFifoBytes = 384;  // per interface, chip to host
inline constexpr std::size_t kEepromBytes = 128;  // a 93C46
inline constexpr const char *kManufacturer = "QX Instruments";
inline constexpr const char *kProduct = "QX-470-USB";
inline constexpr const char *kSerial = "QX47000";

// A bulk-IN transfer the host has pending: the chip appends whole packets (status bytes
// included) until it is full or a short packet ends it.
struct InTransfer {
  std::size_t length = 0;
  std::vector<uint8_t> data;
  bool complete = false;
};

class Ft2232d {
 public:
  // `product` and `serial` are the strings the EEPROM holds and the chip serves.
  explicit Ft2232d(qxsim::Amplifier &amp, const std::string &product = kProduct,
                   const std::string &serial = kSerial);

  // The device descriptor followed by the whole configuration descriptor, as sysfs serves them.
  static std::vector<uint8_t> descriptors();
  // The EEPROM as the vendor's programming tool lays it out: header, the three strings, then the
  // user area holding `user_area` (as much as fits), then the checksum. Product and serial
  // are cut to 12 characters, which leaves the user area its room in a 93C46.
  static std::array<uint8_t, kEepromBytes> eeprom_image(const uint8_t *user_area, std::size_t n,
                                                        const std::string &product = kProduct,
                                                        const std::string &serial = kSerial);

  // A control transfer. `data` holds the OUT data stage, or receives the IN one (room for wLength
  // bytes). Returns the bytes of the data stage, or -1 for a stall.
  int control(const uint8_t (&setup)[8], uint8_t *data, Clock::time_point now);
  // Bulk OUT to endpoint 0x02 (interface A) or 0x04 (interface B).
  void bulk_out(int endpoint, const uint8_t *bytes, std::size_t n, Clock::time_point now);
  // Interface 0 (A) or 1 (B): moves what the amplifier sent since the last call into the FIFO and
  // from there into `pending` (oldest first), as the bus would have done meanwhile. What finds
  // room neither in a pending transfer nor in the FIFO is lost and flagged in the next packet.
  void service_in(int port, Clock::time_point now, const std::vector<InTransfer *> &pending);

  std::array<uint8_t, kEepromBytes> eeprom{};
  uint8_t latency_ms(int port) const { return ports_[static_cast<std::size_t>(port)].latency_ms; }
  uint64_t overruns(int port) const { return ports_[static_cast<std::size_t>(port)].overruns; }
  std::size_t fifo_bytes(int port) const {
    return ports_[static_cast<std::size_t>(port)].fifo.size();
  }

 private:
  struct Port {
    std::vector<uint8_t> fifo;
    uint8_t latency_ms = 16;  // the chip's power-on value
    Clock::time_point last_packet{};
    bool overrun_flag = false;  // reported in the next packet's line status
    uint64_t overruns = 0;      // times data was lost
  };
  int vendor_request(const uint8_t (&setup)[8], uint8_t *data, Clock::time_point now);
  int standard_request(const uint8_t (&setup)[8], uint8_t *data);
  void take_input(int port, Clock::time_point now, std::size_t room);

  qxsim::Amplifier &amp_;
  std::array<Port, 2> ports_{};
  std::vector<uint8_t> scratch_;
};

}  // namespace qxusb
