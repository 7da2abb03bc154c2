// The parts of the libftdi1 backend that need no USB: device naming, the ids to look for, status
// bytes of bulk-IN packets, the EEPROM user area and its checksum, the deadline read and the
// stream queue. The USB-facing file composes them; the tests exercise them on recorded data.
#ifndef QX470_BRIDGE_PARTS_H
#define QX470_BRIDGE_PARTS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ftd2xx.h"

namespace qxftdi {

struct UsbId {
  uint16_t vid;
  uint16_t pid;
  bool operator==(const UsbId &) const = default;
};

// The bridge's stock ids for a dual-interface chip.
inline constexpr UsbId kDefaultUsbId{0x0403, 0x6010};

// Parses "vvvv:pppp[,vvvv:pppp...]" (hexadecimal). Anything malformed gives the default list,
// so a typo cannot leave the backend looking for nothing.
std::vector<UsbId> parse_usb_ids(const char *text);

// D2XX names the interfaces of one device "<product> A", "<product> B" and the serial numbers
// "<serial>A", "<serial>B". Strings are cut to fit the node's fields and always terminated.
void name_node(FT_DEVICE_LIST_INFO_NODE &node, const char *product, const char *serial,
               int interface);

// The backend lists amplifiers only: devices whose product string begins with the description
// the library checks, so that other devices on the same ids do not hide the amplifier. With
// `wanted_serial` set and not empty, only the amplifier of that serial number is listed.
inline constexpr const char *kAmplifierProduct = "QX-470";
bool is_listed_device(const char *product, const char *serial, const char *wanted_serial);

// D2XX device types, from the chip's bcdDevice.
ULONG device_type(uint16_t bcd_device);

// Bulk-IN transfers carry two status bytes at the start of every max-packet chunk; the second
// is the line status, whose bit 1 says the chip's receive buffer overran.
struct Stripped {
  size_t payload = 0;   // bytes written to the output
  size_t overruns = 0;  // packets that reported an overrun
};
Stripped strip_status(const uint8_t *raw, size_t length, size_t packet_size, uint8_t *out);

// ---- EEPROM ----

// The checksum word the chip expects in the last word of an image of `size` bytes.
uint16_t eeprom_checksum(const uint8_t *image, size_t size);
bool eeprom_checksum_ok(const uint8_t *image, size_t size);

// Reading 256 bytes from a 93x46 wraps after 128: equal halves mean a 128-byte part.
size_t guess_eeprom_size(const uint8_t *image256);

// Where the user area lies: after the serial-number string descriptor (skipping an empty
// "02 03 xx 00" marker that some programmers leave) up to the checksum word.
struct UserArea {
  bool found = false;
  size_t start = 0;
  size_t length = 0;
};
UserArea locate_user_area(const uint8_t *image, size_t size);

enum class PatchResult { kOk, kNoUserArea, kBadChecksum, kTooLong };
// Writes `data` at the start of the user area and rewrites the checksum. Leaves the image
// untouched unless the result is kOk; no byte outside the user area and the checksum changes.
PatchResult patch_user_area(std::vector<uint8_t> &image, const uint8_t *data, size_t length);

// ---- reads with a deadline ----

// D2XX read semantics over a transport that returns what it has: loop until all `want` bytes
// came or the time-out passed, then report what arrived with FT_OK. A time-out of 0 waits
// without limit. `read_some(buf, n, wait_ms)` returns bytes read (0 when nothing yet) or a
// negative value on a transport error; `now_ms()` is a monotonic clock.
template <class ReadSome, class NowMs>
FT_STATUS read_with_deadline(ReadSome &&read_some, NowMs &&now_ms, uint8_t *buf, DWORD want,
                             ULONG timeout_ms, DWORD &got, int max_wait_ms = 500) {
  got = 0;
  const int64_t deadline = now_ms() + static_cast<int64_t>(timeout_ms);
  while (got < want) {
    int wait = max_wait_ms;
    if (timeout_ms != 0) {
      const int64_t left = deadline - now_ms();
      if (left <= 0) break;
      if (left < wait) wait = static_cast<int>(left);
    }
    const int n = read_some(buf + got, static_cast<int>(want - got), wait);
    if (n < 0) return FT_IO_ERROR;
    got += static_cast<DWORD>(n);
  }
  return FT_OK;
}

// ---- the stream queue ----

// Bytes the pump has received and the reader has not yet taken. Transfers reserve room for
// their full raw size before they are submitted, so a completed transfer always fits: when the
// queue is full the pump stops resubmitting instead of dropping data. Not locked: the owner
// holds its own mutex around every call.
class StreamQueue {
 public:
  explicit StreamQueue(size_t capacity);
  // Room for one more transfer of `raw` bytes, counting what in-flight transfers may bring.
  bool reserve(size_t raw);
  // A reserved transfer ended: its payload (maybe none) goes in and its reservation is freed.
  void complete(size_t raw, const uint8_t *payload, size_t length);
  size_t take(uint8_t *out, size_t want);
  void clear();
  size_t size() const { return size_; }
  size_t reserved() const { return reserved_; }
  size_t capacity() const { return ring_.size(); }

 private:
  std::vector<uint8_t> ring_;
  size_t head_ = 0;
  size_t size_ = 0;
  size_t reserved_ = 0;
};

}  // namespace qxftdi

#endif
