#include "bridge_parts.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qxftdi {

namespace {

bool parse_hex16(const char *&p, uint16_t &out) {
  unsigned value = 0;
  int digits = 0;
  for (; digits < 4; ++digits, ++p) {
    const char c = *p;
    unsigned d;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    else
      break;
    value = value * 16 + d;
  }
  out = static_cast<uint16_t>(value);
  return digits > 0;
}

void copy_with_suffix(char *dst, size_t cap, const char *text, const char *suffix) {
  const size_t suffix_len = std::strlen(suffix);
  size_t n = text ? std::strlen(text) : 0;
  // Keep the suffix: it is what tells the two interfaces apart.
  if (n + suffix_len + 1 > cap) n = cap - suffix_len - 1;
  if (n) std::memcpy(dst, text, n);
  std::memcpy(dst + n, suffix, suffix_len);
  dst[n + suffix_len] = '\0';
}

uint16_t word_at(const uint8_t *image, size_t byte) {
  return static_cast<uint16_t>(image[byte] | (image[byte + 1] << 8));
}

}  // namespace

std::vector<UsbId> parse_usb_ids(const char *text) {
  std::vector<UsbId> ids;
  if (!text || !*text) return {kDefaultUsbId};
  const char *p = text;
  for (;;) {
    UsbId id{};
    if (!parse_hex16(p, id.vid) || *p++ != ':' || !parse_hex16(p, id.pid)) return {kDefaultUsbId};
    ids.push_back(id);
    if (*p == '\0') break;
    if (*p++ != ',') return {kDefaultUsbId};
  }
  return ids;
}

bool is_listed_device(const char *product, const char *serial, const char *wanted_serial) {
  if (!product || std::strncmp(product, kAmplifierProduct, std::strlen(kAmplifierProduct)) != 0)
    return false;
  if (!wanted_serial || !*wanted_serial) return true;
  return serial && std::strcmp(serial, wanted_serial) == 0;
}

void name_node(FT_DEVICE_LIST_INFO_NODE &node, const char *product, const char *serial,
               int interface) {
  const char letter[2] = {static_cast<char>('A' + interface), '\0'};
  const char spaced[3] = {' ', letter[0], '\0'};
  copy_with_suffix(node.Description, sizeof node.Description, product, spaced);
  if (serial && *serial)
    copy_with_suffix(node.SerialNumber, sizeof node.SerialNumber, serial, letter);
  else
    node.SerialNumber[0] = '\0';
}

ULONG device_type(uint16_t bcd_device) {
  switch (bcd_device) {
    case 0x500:
      return 4;  // FT2232C/D
    case 0x700:
      return 6;  // FT2232H
    case 0x800:
      return 7;  // FT4232H
    default:
      return 3;  // unknown
  }
}

Stripped strip_status(const uint8_t *raw, size_t length, size_t packet_size, uint8_t *out) {
  Stripped r;
  if (packet_size <= 2) return r;
  for (size_t at = 0; at < length; at += packet_size) {
    const size_t chunk = std::min(packet_size, length - at);
    if (chunk < 2) break;  // a truncated status pair carries no data
    if (raw[at + 1] & 0x02) ++r.overruns;
    std::memmove(out + r.payload, raw + at + 2, chunk - 2);
    r.payload += chunk - 2;
  }
  return r;
}

uint16_t eeprom_checksum(const uint8_t *image, size_t size) {
  uint16_t sum = 0xAAAA;
  for (size_t byte = 0; byte + 2 < size; byte += 2) {
    sum ^= word_at(image, byte);
    sum = static_cast<uint16_t>((sum << 1) | (sum >> 15));
  }
  return sum;
}

bool eeprom_checksum_ok(const uint8_t *image, size_t size) {
  return size >= 4 && word_at(image, size - 2) == eeprom_checksum(image, size);
}

size_t guess_eeprom_size(const uint8_t *image256) {
  return std::memcmp(image256, image256 + 128, 128) == 0 ? 128 : 256;
}

UserArea locate_user_area(const uint8_t *image, size_t size) {
  UserArea area;
  if (size != 128 && size != 256) return area;
  // The string pointers at 0x0E..0x13 are (offset, length) pairs; offsets carry 0x80 on parts
  // whose addresses wrap, so they are taken modulo the part's size.
  const size_t mask = size - 1;
  size_t end_of_strings = 0x14;
  for (size_t pair = 0x0E; pair <= 0x12; pair += 2) {
    const size_t offset = image[pair] & mask;
    const size_t length = image[pair + 1];
    if (length == 0) continue;
    if (length < 2 || offset < 0x14 || offset + length > size - 2) return area;
    if (image[offset] != length || image[offset + 1] != 0x03) return area;
    end_of_strings = std::max(end_of_strings, offset + length);
  }
  if (image[0x13] == 0) return area;  // no serial-number string: no known user area
  size_t start = end_of_strings;
  if (start + 4 <= size - 2 && image[start] == 0x02 && image[start + 1] == 0x03 &&
      image[start + 3] == 0x00)
    start += 4;
  if (start > size - 2) return area;
  area.found = true;
  area.start = start;
  area.length = size - 2 - start;
  return area;
}

PatchResult patch_user_area(std::vector<uint8_t> &image, const uint8_t *data, size_t length) {
  const size_t size = image.size();
  const UserArea area = locate_user_area(image.data(), size);
  if (!area.found) return PatchResult::kNoUserArea;
  if (!eeprom_checksum_ok(image.data(), size)) return PatchResult::kBadChecksum;
  if (length > area.length) return PatchResult::kTooLong;
  if (length) std::memcpy(image.data() + area.start, data, length);
  const uint16_t sum = eeprom_checksum(image.data(), size);
  image[size - 2] = static_cast<uint8_t>(sum);
  image[size - 1] = static_cast<uint8_t>(sum >> 8);
  return PatchResult::kOk;
}

StreamQueue::StreamQueue(size_t capacity) : ring_(capacity) {}

bool StreamQueue::reserve(size_t raw) {
  if (size_ + reserved_ + raw > ring_.size()) return false;
  reserved_ += raw;
  return true;
}

void StreamQueue::complete(size_t raw, const uint8_t *payload, size_t length) {
  reserved_ -= std::min(raw, reserved_);
  // The reservation covered the raw size, so this fits; the guard keeps a caller's mistake
  // from writing past the ring.
  length = std::min(length, ring_.size() - size_);
  const size_t cap = ring_.size();
  size_t tail = (head_ + size_) % cap;
  for (size_t done = 0; done < length;) {
    const size_t n = std::min(length - done, cap - tail);
    std::memcpy(ring_.data() + tail, payload + done, n);
    done += n;
    tail = (tail + n) % cap;
  }
  size_ += length;
}

size_t StreamQueue::take(uint8_t *out, size_t want) {
  const size_t cap = ring_.size();
  const size_t total = std::min(want, size_);
  for (size_t done = 0; done < total;) {
    const size_t n = std::min(total - done, cap - head_);
    std::memcpy(out + done, ring_.data() + head_, n);
    done += n;
    head_ = (head_ + n) % cap;
  }
  size_ -= total;
  return total;
}

void StreamQueue::clear() {
  head_ = 0;
  size_ = 0;
}

}  // namespace qxftdi
