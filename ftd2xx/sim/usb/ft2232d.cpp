#include "ft2232d.h"

#include <algorithm>
#include <cstring>

namespace qxusb {

namespace {

constexpr uint8_t kModemStatus = 0x31;  // CTS and DSR set, as an idle FT2232D reports
constexpr uint8_t kLineStatus = 0x60;   // transmitter empty
constexpr uint8_t kOverrunBit = 0x02;
constexpr std::size_t kStringsStart = 0x1A;

uint16_t le16(const uint8_t *p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
void put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// The 93C46 checksum, written here from the chip's rule and not shared with the backend, so a
// mistake in one cannot hide in the other.
uint16_t checksum(const uint8_t *image, std::size_t size) {
  uint16_t sum = 0xAAAA;
  for (std::size_t i = 0; i + 2 < size; i += 2) {
    sum = static_cast<uint16_t>(sum ^ le16(image + i));
    sum = static_cast<uint16_t>((sum << 1) | (sum >> 15));
  }
  return sum;
}

// Vendor requests of the FT2232 family.
enum : uint8_t {
  kReset = 0x00,
  kModemCtrl = 0x01,
  kSetFlowCtrl = 0x02,
  kSetBaudRate = 0x03,
  kSetData = 0x04,
  kPollModemStatus = 0x05,
  kSetEventChar = 0x06,
  kSetErrorChar = 0x07,
  kSetLatency = 0x09,
  kGetLatency = 0x0A,
  kSetBitmode = 0x0B,
  kReadPins = 0x0C,
  kReadEeprom = 0x90,
  kWriteEeprom = 0x91,
  kEraseEeprom = 0x92,
};

}  // namespace

Ft2232d::Ft2232d(qxsim::Amplifier &amp, const std::string &product, const std::string &serial)
    : amp_(amp) {
  eeprom = eeprom_image(amp.user_area.data(), amp.user_area.size(), product, serial);
}

std::vector<uint8_t> Ft2232d::descriptors() {
  // One descriptor a line: a byte table reads better than one byte a line.
  // clang-format off
  std::vector<uint8_t> d = {
      // Device: USB 2.0, vendor class in the interfaces, 8-byte control endpoint; the ids are
      // filled in below.
      0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0x03, 0x01,
      // Configuration: 55 bytes, two interfaces, bus powered, 90 mA.
      0x09, 0x02, 55, 0x00, 0x02, 0x01, 0x00, 0x80, 0x2D,
      // Interface A with bulk IN 0x81 and OUT 0x02, 64-byte packets.
      0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x02,
      0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,
      0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,
      // Interface B with bulk IN 0x83 and OUT 0x04.
      0x09, 0x04, 0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x02,
      0x07, 0x05, 0x83, 0x02, 0x40, 0x00, 0x00,
      0x07, 0x05, 0x04, 0x02, 0x40, 0x00, 0x00,
  };
  // clang-format on
  put16(&d[8], kVendorId);
  put16(&d[10], kProductId);
  put16(&d[12], kBcdDevice);
  return d;
}

std::array<uint8_t, kEepromBytes> Ft2232d::eeprom_image(const uint8_t *user_area, std::size_t n,
                                                        const std::string &product,
                                                        const std::string &serial) {
  std::array<uint8_t, kEepromBytes> e{};
  e[0x00] = 0x00;  // both channels UART (the D2XX driver serves them)
  e[0x01] = 0x00;
  put16(&e[0x02], kVendorId);
  put16(&e[0x04], kProductId);
  put16(&e[0x06], kBcdDevice);
  e[0x08] = 0x80;  // bus powered
  e[0x09] = 0x2D;  // 90 mA in 2 mA units
  e[0x0A] = 0x08;  // serial number enabled
  put16(&e[0x0C], 0x0200);
  e[0x14] = 0x46;  // a 93C46
  std::size_t at = kStringsStart;
  const std::string strings[3] = {kManufacturer, product.substr(0, 12), serial.substr(0, 12)};
  for (int i = 0; i < 3; ++i) {
    const std::size_t len = 2 + 2 * strings[i].size();
    // String pointers carry 0x80 on a 93C46, as the vendor's tool writes them.
    e[0x0E + 2 * static_cast<std::size_t>(i)] = static_cast<uint8_t>(at | 0x80);
    e[0x0F + 2 * static_cast<std::size_t>(i)] = static_cast<uint8_t>(len);
    e[at] = static_cast<uint8_t>(len);
    e[at + 1] = 0x03;
    for (std::size_t k = 0; k < strings[i].size(); ++k)
      e[at + 2 + 2 * k] = static_cast<uint8_t>(strings[i][k]);
    at += len;
  }
  const std::size_t room = kEepromBytes - 2 - at;
  std::fill(e.begin() + static_cast<long>(at), e.end() - 2, 0xFF);
  std::memcpy(&e[at], user_area, std::min(n, room));
  put16(&e[kEepromBytes - 2], checksum(e.data(), kEepromBytes));
  return e;
}

int Ft2232d::control(const uint8_t (&setup)[8], uint8_t *data, Clock::time_point now) {
  if ((setup[0] & 0x60) == 0x40) return vendor_request(setup, data, now);
  if ((setup[0] & 0x60) == 0x00) return standard_request(setup, data);
  return -1;
}

int Ft2232d::vendor_request(const uint8_t (&setup)[8], uint8_t *data, Clock::time_point now) {
  const uint16_t value = le16(setup + 2);
  const uint16_t index = le16(setup + 4);
  const uint16_t length = le16(setup + 6);
  // Port requests name the interface in wIndex (1 A, 2 B); some send 0, which means A.
  Port &port = ports_[(index & 0xFF) == 2 ? 1 : 0];
  const bool in = setup[0] & 0x80;
  switch (setup[1]) {
    case kReset:
      if (value == 0 || value == 2) {  // reset, or clear the chip-to-host FIFO (libftdi's TCIFLUSH)
        port.fifo.clear();
        port.overrun_flag = false;
      }
      return 0;  // 1 clears the host-to-chip FIFO, which never holds anything here
    case kModemCtrl:
    case kSetFlowCtrl:
    case kSetBaudRate:
    case kSetData:
    case kSetEventChar:
    case kSetErrorChar:
    case kSetBitmode:
      return in ? -1 : 0;
    case kPollModemStatus:
      if (!in || length < 2) return -1;
      data[0] = kModemStatus;
      data[1] = kLineStatus;
      return 2;
    case kSetLatency:
      if (in || (value & 0xFF) == 0) return -1;
      port.latency_ms = static_cast<uint8_t>(value);
      port.last_packet = now;
      return 0;
    case kGetLatency:
      if (!in || length < 1) return -1;
      data[0] = port.latency_ms;
      return 1;
    case kReadPins:
      if (!in || length < 1) return -1;
      data[0] = 0xFF;
      return 1;
    case kReadEeprom: {
      if (!in || length < 2) return -1;
      // A 93C46 has 64 words; higher addresses wrap, which is how hosts tell its size.
      const std::size_t word = index % (kEepromBytes / 2);
      data[0] = eeprom[2 * word];
      data[1] = eeprom[2 * word + 1];
      return 2;
    }
    case kWriteEeprom: {
      if (in) return -1;
      const std::size_t word = index % (kEepromBytes / 2);
      put16(&eeprom[2 * word], value);
      return 0;
    }
    case kEraseEeprom:
      if (in) return -1;
      eeprom.fill(0xFF);
      return 0;
    default:
      return -1;
  }
}

int Ft2232d::standard_request(const uint8_t (&setup)[8], uint8_t *data) {
  const uint16_t value = le16(setup + 2);
  const uint16_t length = le16(setup + 6);
  const bool in = setup[0] & 0x80;
  auto give = [&](const uint8_t *bytes, std::size_t n) {
    n = std::min<std::size_t>(n, length);
    std::memcpy(data, bytes, n);
    return static_cast<int>(n);
  };
  switch (setup[1]) {
    case 0x00: {  // GET_STATUS
      const uint8_t status[2] = {0, 0};
      return in ? give(status, 2) : -1;
    }
    case 0x06: {  // GET_DESCRIPTOR
      if (!in) return -1;
      const auto all = descriptors();
      const uint8_t type = static_cast<uint8_t>(value >> 8);
      const uint8_t i = static_cast<uint8_t>(value);
      if (type == 1) return give(all.data(), 18);
      if (type == 2) return give(all.data() + 18, all.size() - 18);
      if (type != 3) return -1;
      if (i == 0) {
        const uint8_t languages[4] = {4, 3, 0x09, 0x04};  // US English
        return give(languages, 4);
      }
      if (i > 3) return -1;
      // The chip serves its strings from the EEPROM.
      const std::size_t at = eeprom[0x0E + 2 * (i - 1)] & (kEepromBytes - 1);
      const std::size_t len = eeprom[0x0F + 2 * (i - 1)];
      if (len < 2 || at + len > kEepromBytes) return -1;
      return give(&eeprom[at], len);
    }
    case 0x08: {  // GET_CONFIGURATION
      const uint8_t config = 1;
      return in ? give(&config, 1) : -1;
    }
    case 0x09:  // SET_CONFIGURATION
    case 0x0B:  // SET_INTERFACE
    case 0x01:  // CLEAR_FEATURE
      return in ? -1 : 0;
    default:
      return -1;
  }
}

void Ft2232d::bulk_out(int endpoint, const uint8_t *bytes, std::size_t n, Clock::time_point now) {
  if (endpoint == 0x02)
    amp_.control_write(bytes, n, qxsim::Reply::kNormal);
  else if (endpoint == 0x04)
    amp_.stream_write(bytes, n, now);
}

void Ft2232d::take_input(int port_index, Clock::time_point now, std::size_t room) {
  Port &port = ports_[static_cast<std::size_t>(port_index)];
  std::size_t accept = 0;
  uint64_t lost = 0;
  if (port_index == 0) {
    auto &out = amp_.control_out;
    accept = std::min(out.size(), room);
    port.fifo.insert(port.fifo.end(), out.begin(), out.begin() + static_cast<long>(accept));
    lost = out.size() - accept;
    out.clear();
  } else {
    const uint64_t avail = amp_.available(now);
    accept = avail == qxsim::kUnbounded ? room
                                        : static_cast<std::size_t>(std::min<uint64_t>(avail, room));
    // The amplifier writes whole words: a word without room is lost whole.
    if (avail != qxsim::kUnbounded && accept < avail) accept &= ~std::size_t{1};
    const std::size_t old = port.fifo.size();
    port.fifo.resize(old + accept);
    amp_.read_stream(port.fifo.data() + old, accept);
    if (avail != qxsim::kUnbounded && accept < avail) {
      lost = avail - accept;
      amp_.drop(lost);
    }
  }
  if (lost) {
    port.overrun_flag = true;
    ++port.overruns;
  }
}

void Ft2232d::service_in(int port_index, Clock::time_point now,
                         const std::vector<InTransfer *> &pending) {
  Port &port = ports_[static_cast<std::size_t>(port_index)];
  std::size_t room = kInFifoBytes - std::min(port.fifo.size(), kInFifoBytes);
  for (const InTransfer *t : pending)
    if (!t->complete)
      room += (t->length - std::min(t->data.size(), t->length) + kPacketBytes - 1) / kPacketBytes *
              (kPacketBytes - 2);
  take_input(port_index, now, room);

  std::size_t head = 0;  // bytes of the FIFO sent so far
  const auto latency = std::chrono::milliseconds(port.latency_ms);
  // Fills one packet into `t`; false when the chip has no packet to send yet.
  auto send_packet = [&](InTransfer &t) {
    const std::size_t space = t.length - std::min(t.data.size(), t.length);
    if (space < 2) {
      t.complete = true;
      return true;
    }
    const std::size_t payload_room = std::min(kPacketBytes, space) - 2;
    const std::size_t queued = port.fifo.size() - head;
    // A packet goes when it is full, or when the latency timer runs out with whatever is there
    // (nothing at all included: then it carries only the status bytes).
    if (queued < payload_room && now - port.last_packet < latency) return false;
    const std::size_t take = std::min(queued, payload_room);
    t.data.push_back(kModemStatus);
    t.data.push_back(static_cast<uint8_t>(kLineStatus | (port.overrun_flag ? kOverrunBit : 0)));
    t.data.insert(t.data.end(), port.fifo.begin() + static_cast<long>(head),
                  port.fifo.begin() + static_cast<long>(head + take));
    head += take;
    port.overrun_flag = false;
    port.last_packet = now;
    // A short packet ends the transfer; so does a full buffer.
    if (take + 2 < kPacketBytes || t.data.size() >= t.length) t.complete = true;
    return true;
  };
  bool sending = true;
  for (InTransfer *t : pending)
    while (sending && !t->complete) sending = send_packet(*t);
  port.fifo.erase(port.fifo.begin(), port.fifo.begin() + static_cast<long>(head));
}

}  // namespace qxusb
