// The emulated FT2232D on its own, on a clock the test sets: packets, the latency timer, the FIFO
// and its overrun, the purge, and the EEPROM as the backend's own independent code reads it.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <vector>

#include "bridge_parts.h"
#include "ft2232d.h"

namespace {

using qxusb::Ft2232d;
using qxusb::InTransfer;
using std::chrono::microseconds;
using std::chrono::milliseconds;

struct SetupPacket {
  uint8_t bytes[8];
};
SetupPacket setup(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  return {{type, request, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
           static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8),
           static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)}};
}

class Chip : public ::testing::Test {
 protected:
  Chip() : amp(UINT64_MAX / 4, 1), chip(amp) { amp.test_pattern = true; }

  int vendor_out(uint8_t request, uint16_t value, uint16_t index) {
    const SetupPacket s = setup(0x40, request, value, index, 0);
    return chip.control(s.bytes, nullptr, t0);
  }
  // Starts the stream of all four channels at 100 kS/s (800 kB/s) at t0.
  void start_full_rate() {
    const uint8_t high[] = {0x8B, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00};
    const uint8_t low[] = {0x80, 0xC1, 0xC1, 0xC1, 0xC1, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00};
    const uint8_t start[] = {0x4A, 0xC1, 0x00};
    chip.bulk_out(0x04, high, sizeof high, t0);
    chip.bulk_out(0x04, low, sizeof low, t0);
    chip.bulk_out(0x04, start, sizeof start, t0);
  }
  // The payload of a transfer with the status bytes of every packet checked and removed.
  static std::vector<uint8_t> payload(const InTransfer &t, int *overrun_packets = nullptr) {
    std::vector<uint8_t> out;
    for (size_t at = 0; at < t.data.size(); at += 64) {
      const size_t n = std::min<size_t>(64, t.data.size() - at);
      EXPECT_GE(n, 2u);
      EXPECT_EQ(t.data[at] & 0x30, 0x30) << "modem status of packet at " << at;
      if (overrun_packets && (t.data[at + 1] & 0x02)) ++*overrun_packets;
      out.insert(out.end(), t.data.begin() + static_cast<long>(at + 2),
                 t.data.begin() + static_cast<long>(at + n));
    }
    return out;
  }
  static uint16_t word(const std::vector<uint8_t> &b, size_t i) {
    return static_cast<uint16_t>(b[2 * i] | b[2 * i + 1] << 8);
  }
  // Word w of the full-rate stream: channels 1, 2, 3, 0 in every tick.
  static uint16_t stream_word(uint64_t w) {
    static constexpr int kOrder[4] = {1, 2, 3, 0};
    return qxsim::pattern_value(kOrder[w % 4], w / 4);
  }

  qxsim::Clock::time_point t0 = qxsim::Clock::now();
  qxsim::Amplifier amp;
  Ft2232d chip;
};

TEST_F(Chip, DescriptorsAreThoseOfADualInterfaceFullSpeedBridge) {
  const auto d = Ft2232d::descriptors();
  ASSERT_EQ(d.size(), 18u + 55u);
  EXPECT_EQ(d[8] | d[9] << 8, 0x0403);
  EXPECT_EQ(d[10] | d[11] << 8, 0x6010);
  EXPECT_EQ(d[12] | d[13] << 8, 0x0500);
  EXPECT_EQ(d[18 + 2] | d[18 + 3] << 8, 55);  // wTotalLength covers what follows
  // Walk the configuration: two interfaces, each with a bulk IN and OUT endpoint of 64 bytes.
  std::vector<std::array<int, 2>> endpoints;
  int interfaces = 0;
  for (size_t at = 18; at < d.size(); at += d[at]) {
    ASSERT_GT(d[at], 0);
    if (d[at + 1] == 4) ++interfaces;
    if (d[at + 1] == 5) {
      EXPECT_EQ(d[at + 3], 0x02) << "bulk";
      EXPECT_EQ(d[at + 4] | d[at + 5] << 8, 64);
      endpoints.push_back({interfaces - 1, d[at + 2]});
    }
  }
  EXPECT_EQ(interfaces, 2);
  const std::vector<std::array<int, 2>> want = {{0, 0x81}, {0, 0x02}, {1, 0x83}, {1, 0x04}};
  EXPECT_EQ(endpoints, want);
}

// The backend's own reading of an EEPROM (written apart from the chip's) agrees with the layout.
TEST_F(Chip, EepromIsLaidOutAsTheBackendExpectsIt) {
  std::array<uint8_t, 256> read{};
  for (uint16_t w = 0; w < 128; ++w) {
    const SetupPacket s = setup(0xC0, 0x90, 0, w, 2);
    ASSERT_EQ(chip.control(s.bytes, &read[2 * w], t0), 2);
  }
  // A 93C46 wraps after 64 words: that is how its size is told.
  ASSERT_EQ(qxftdi::guess_eeprom_size(read.data()), 128u);
  EXPECT_TRUE(qxftdi::eeprom_checksum_ok(read.data(), 128));
  const auto area = qxftdi::locate_user_area(read.data(), 128);
  ASSERT_TRUE(area.found);
  EXPECT_EQ(area.start, 0x5Eu);
  EXPECT_EQ(std::memcmp(&read[area.start], "cal:312500 ", 12), 0);

  // The strings the chip serves are the EEPROM's.
  uint8_t product[64] = {};
  const SetupPacket s = setup(0x80, 6, 0x0302, 0x0409, sizeof product);
  const int n = chip.control(s.bytes, product, t0);
  ASSERT_EQ(n, 2 + 2 * 10);
  std::string text;
  for (int i = 2; i < n; i += 2) text += static_cast<char>(product[i]);
  EXPECT_EQ(text, "QX-470-USB");

  // Word writes land where they are addressed; erase clears all.
  ASSERT_EQ(vendor_out(0x91, 0xBEEF, 64 + 0x30), 0);
  EXPECT_EQ(chip.eeprom[0x60], 0xEF);
  EXPECT_EQ(chip.eeprom[0x61], 0xBE);
  ASSERT_EQ(vendor_out(0x92, 0, 0), 0);
  for (uint8_t b : chip.eeprom) ASSERT_EQ(b, 0xFF);
}

TEST_F(Chip, VendorRequestsOutsideTheChipsSetStall) {
  EXPECT_EQ(vendor_out(0x09, 0, 1), -1) << "latency 0";
  EXPECT_EQ(vendor_out(0x42, 0, 1), -1);
  const SetupPacket in_set = setup(0xC0, 0x09, 5, 1, 1);
  uint8_t b[2];
  EXPECT_EQ(chip.control(in_set.bytes, b, t0), -1) << "a setter asked as IN";
  EXPECT_EQ(vendor_out(0x09, 7, 2), 0);
  EXPECT_EQ(chip.latency_ms(1), 7);
  EXPECT_EQ(chip.latency_ms(0), 16) << "interface A keeps the power-on value";
}

// A few bytes wait for the latency timer, then go in one short packet that ends the transfer.
TEST_F(Chip, TheLatencyTimerReleasesAShortPacket) {
  ASSERT_EQ(vendor_out(0x09, 2, 1), 0);  // interface A, 2 ms, from t0
  const uint8_t probe[] = {0x00, 0x40};
  chip.bulk_out(0x02, probe, sizeof probe, t0);
  InTransfer t;
  t.length = 4096;
  chip.service_in(0, t0 + microseconds(1900), {&t});
  EXPECT_TRUE(t.data.empty());
  chip.service_in(0, t0 + microseconds(2000), {&t});
  ASSERT_TRUE(t.complete);
  EXPECT_EQ(payload(t), (std::vector<uint8_t>{0x00, 0x40}));
  // With nothing to send the chip still answers each period, with the status bytes alone.
  InTransfer idle;
  idle.length = 4096;
  chip.service_in(0, t0 + microseconds(3000), {&idle});
  EXPECT_FALSE(idle.complete);
  chip.service_in(0, t0 + microseconds(4000), {&idle});
  ASSERT_TRUE(idle.complete);
  EXPECT_EQ(idle.data.size(), 2u);
}

// At the full rate, packets are full and a transfer carries the stream in order.
TEST_F(Chip, AStreamFillsWholePacketsInOrder) {
  ASSERT_EQ(vendor_out(0x09, 2, 2), 0);
  start_full_rate();
  InTransfer a, b;
  a.length = b.length = 16384;
  chip.service_in(1, t0 + milliseconds(10), {&a, &b});  // 10 ms: 8000 bytes
  EXPECT_FALSE(a.complete);
  EXPECT_EQ(a.data.size(), 8000u / 62 * 64);
  EXPECT_EQ(chip.fifo_bytes(1), 8000u % 62);
  chip.service_in(1, t0 + milliseconds(30), {&a, &b});
  EXPECT_TRUE(a.complete);
  int overruns = 0;
  auto bytes = payload(a, &overruns);
  const auto more = payload(b, &overruns);
  bytes.insert(bytes.end(), more.begin(), more.end());
  EXPECT_EQ(overruns, 0);
  ASSERT_EQ(bytes.size(), 24000u / 62 * 62);
  for (size_t i = 0; i < bytes.size() / 2; ++i) ASSERT_EQ(word(bytes, i), stream_word(i)) << i;
}

// With no transfer to move data into, the FIFO holds 384 bytes; the rest is lost and the next
// packet says so, once. Had a transfer been pending, nothing would have been lost.
TEST_F(Chip, AFullFifoLosesTheNewestDataAndFlagsTheNextPacket) {
  start_full_rate();
  chip.service_in(1, t0 + milliseconds(1), {});  // 800 bytes for 384 of room
  EXPECT_EQ(chip.fifo_bytes(1), qxusb::kInFifoBytes);
  EXPECT_EQ(chip.overruns(1), 1u);
  EXPECT_EQ(amp.lost_words(t0 + milliseconds(1)), (800u - 384u) / 2);

  InTransfer t;
  t.length = 16384;
  chip.service_in(1, t0 + milliseconds(2), {&t});
  ASSERT_GE(t.data.size(), 128u);
  EXPECT_TRUE(t.data[1] & 0x02) << "the first packet after the loss carries the overrun bit";
  EXPECT_FALSE(t.data[64 + 1] & 0x02) << "and only that one";
  const auto bytes = payload(t);
  for (size_t i = 0; i < 192; ++i) ASSERT_EQ(word(bytes, i), stream_word(i)) << i;
  EXPECT_EQ(word(bytes, 192), stream_word(400)) << "the words after the FIFO's were lost";
  EXPECT_EQ(chip.overruns(1), 1u);
}

TEST_F(Chip, APendingTransferTakesWhatTheFifoCouldNotHold) {
  start_full_rate();
  InTransfer t;
  t.length = 16384;
  chip.service_in(1, t0 + milliseconds(15), {&t});  // 12000 bytes arrived, all taken
  EXPECT_EQ(chip.overruns(1), 0u);
  EXPECT_EQ(payload(t).size() + chip.fifo_bytes(1), 12000u);
}

// libftdi's TCIFLUSH (reset request, value 2) empties the chip-to-host FIFO of that interface only.
TEST_F(Chip, PurgeEmptiesOnlyTheNamedInterfacesFifo) {
  start_full_rate();
  chip.service_in(1, t0 + milliseconds(1), {});
  const uint8_t probe[] = {0x00};
  chip.bulk_out(0x02, probe, 1, t0);
  chip.service_in(0, t0 + milliseconds(1), {});
  ASSERT_GT(chip.fifo_bytes(1), 0u);
  ASSERT_EQ(chip.fifo_bytes(0), 1u);
  ASSERT_EQ(vendor_out(0x00, 2, 2), 0);
  EXPECT_EQ(chip.fifo_bytes(1), 0u);
  EXPECT_EQ(chip.fifo_bytes(0), 1u);
  // The overrun belonged to the data purged with it: the next packet does not report it.
  InTransfer t;
  t.length = 64;
  chip.service_in(1, t0 + milliseconds(1) + microseconds(100), {&t});
  chip.service_in(1, t0 + milliseconds(20), {&t});
  ASSERT_GE(t.data.size(), 2u);
  EXPECT_FALSE(t.data[1] & 0x02);
}

}  // namespace
