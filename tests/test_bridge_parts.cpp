// The USB-free parts of the libftdi1 backend, on recorded and hand-laid data.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "bridge_parts.h"

using namespace qxftdi;

namespace {

// A 128-byte 93x46 image of a dual-interface bridge as a vendor programmer leaves it:
// manufacturer "FTDI", product "QX-470-USB", serial "QX000123", a calibration record in the user
// area, zeros, and the checksum word, which was computed apart from the code under test.
const uint8_t kRecorded128[128] = {
    0x01, 0x01, 0x03, 0x04, 0x10, 0x60, 0x00, 0x05, 0x80, 0x2D, 0x08, 0x00, 0x00, 0x00, 0x96, 0x0A,
    0xA0, 0x16, 0xB6, 0x12, 0x00, 0x00, 0x0A, 0x03, 0x46, 0x00, 0x54, 0x00, 0x44, 0x00, 0x49, 0x00,
    0x16, 0x03, 0x51, 0x00, 0x58, 0x00, 0x2D, 0x00, 0x34, 0x00, 0x37, 0x00, 0x30, 0x00, 0x2D, 0x00,
    0x55, 0x00, 0x53, 0x00, 0x42, 0x00, 0x12, 0x03, 0x51, 0x00, 0x58, 0x00, 0x30, 0x00, 0x30, 0x00,
    0x30, 0x00, 0x31, 0x00, 0x32, 0x00, 0x33, 0x00, 0x63, 0x61, 0x6C, 0x3A, 0x33, 0x32, 0x30, 0x30,
    0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC7, 0x18};

void put_string(std::vector<uint8_t> &img, size_t pointer, size_t at, const std::string &text,
                uint8_t high_bit) {
  img[pointer] = static_cast<uint8_t>(at | high_bit);
  img[pointer + 1] = static_cast<uint8_t>(2 + 2 * text.size());
  img[at] = img[pointer + 1];
  img[at + 1] = 0x03;
  for (size_t i = 0; i < text.size(); ++i) img[at + 2 + 2 * i] = static_cast<uint8_t>(text[i]);
}

// The same strings laid out on a part of `size` bytes, optionally with the empty-string
// marker after the serial number.
std::vector<uint8_t> laid_out(size_t size, bool marker) {
  std::vector<uint8_t> img(size, 0);
  img[0] = 0x01;
  img[2] = 0x03;
  img[3] = 0x04;
  img[4] = 0x10;
  img[5] = 0x60;
  const uint8_t high = size == 128 ? 0x80 : 0x00;
  const size_t base = size == 128 ? 0x16 : 0x96;
  put_string(img, 0x0E, base, "FTDI", high);
  put_string(img, 0x10, base + 10, "QX-470-USB", high);
  put_string(img, 0x12, base + 32, "QX000123", high);
  if (marker) {
    const size_t at = base + 50;
    img[at] = 0x02;
    img[at + 1] = 0x03;
    img[at + 2] = 0x5A;
  }
  const uint16_t sum = eeprom_checksum(img.data(), size);
  img[size - 2] = static_cast<uint8_t>(sum);
  img[size - 1] = static_cast<uint8_t>(sum >> 8);
  return img;
}

}  // namespace

TEST(BridgeParts, UsbIdListsFallBackToTheDefaultWhenMalformed) {
  EXPECT_EQ(parse_usb_ids(nullptr), std::vector<UsbId>{kDefaultUsbId});
  EXPECT_EQ(parse_usb_ids(""), std::vector<UsbId>{kDefaultUsbId});
  EXPECT_EQ(parse_usb_ids("0403:6010,1a2B:00ff"),
            (std::vector<UsbId>{{0x0403, 0x6010}, {0x1A2B, 0x00FF}}));
  for (const char *bad : {"0403", "0403:", ":6010", "0403:6010,", "0403:60100", "xyz:1", "1:2;3:4"})
    EXPECT_EQ(parse_usb_ids(bad), std::vector<UsbId>{kDefaultUsbId}) << bad;
}

TEST(BridgeParts, OnlyAmplifiersAreListedAndASerialNumberNarrowsToOne) {
  EXPECT_TRUE(is_listed_device("QX-470-USB", "QX47001", nullptr));
  EXPECT_TRUE(is_listed_device("QX-470", "", ""));
  // Other devices on the same ids, and strings that could not be read, are not guessed at.
  for (const char *other : {"Dual RS232", "qx-470-USB", "QX-47", "", " QX-470"})
    EXPECT_FALSE(is_listed_device(other, "QX47001", nullptr)) << other;
  EXPECT_FALSE(is_listed_device(nullptr, "QX47001", nullptr));

  EXPECT_TRUE(is_listed_device("QX-470-USB", "QX47002", "QX47002"));
  EXPECT_FALSE(is_listed_device("QX-470-USB", "QX47001", "QX47002"));
  // The device's serial number, whole: not a prefix, not a node's lettered one.
  EXPECT_FALSE(is_listed_device("QX-470-USB", "QX470021", "QX47002"));
  EXPECT_FALSE(is_listed_device("QX-470-USB", "QX47002", "QX47002A"));
  EXPECT_FALSE(is_listed_device("QX-470-USB", nullptr, "QX47002"));
  EXPECT_FALSE(is_listed_device("Dual RS232", "QX47002", "QX47002"));
}

TEST(BridgeParts, NodesAreNamedPerInterfaceAndAlwaysTerminated) {
  FT_DEVICE_LIST_INFO_NODE a{}, b{};
  name_node(a, "QX-470-USB", "QX000123", 0);
  name_node(b, "QX-470-USB", "QX000123", 1);
  EXPECT_STREQ(a.Description, "QX-470-USB A");
  EXPECT_STREQ(b.Description, "QX-470-USB B");
  EXPECT_STREQ(a.SerialNumber, "QX000123A");
  EXPECT_STREQ(b.SerialNumber, "QX000123B");
  // The library recognises the amplifier by the start of node 0's description.
  EXPECT_EQ(std::memcmp(a.Description, "QX-470", 6), 0);

  FT_DEVICE_LIST_INFO_NODE n;
  std::memset(&n, 0x55, sizeof n);
  const std::string long_product(100, 'p');
  name_node(n, long_product.c_str(), "0123456789ABCDEFGHIJ", 1);
  EXPECT_EQ(std::strlen(n.Description), sizeof n.Description - 1);
  EXPECT_STREQ(n.Description + sizeof n.Description - 3, " B");
  EXPECT_EQ(std::strlen(n.SerialNumber), sizeof n.SerialNumber - 1);
  EXPECT_EQ(n.SerialNumber[sizeof n.SerialNumber - 2], 'B');

  name_node(n, nullptr, nullptr, 0);  // strings unreadable without permission
  EXPECT_STREQ(n.Description, " A");
  EXPECT_STREQ(n.SerialNumber, "");
  EXPECT_EQ(device_type(0x500), 4u);
  EXPECT_EQ(device_type(0x700), 6u);
}

TEST(BridgeParts, StatusBytesAreStrippedPerPacketAndOverrunsCounted) {
  for (size_t packet : {size_t{64}, size_t{512}}) {
    // Three full packets and a short one that ends the transfer, as the chip sends them.
    std::vector<uint8_t> raw;
    std::vector<uint8_t> expected;
    const size_t payloads[] = {packet - 2, packet - 2, packet - 2, 7};
    uint8_t next = 0;
    for (size_t p = 0; p < 4; ++p) {
      raw.push_back(0x31);
      raw.push_back(p == 1 || p == 3 ? 0x62 : 0x60);  // overrun reported on packets 1 and 3
      for (size_t i = 0; i < payloads[p]; ++i) {
        raw.push_back(next);
        expected.push_back(next);
        next = static_cast<uint8_t>(next * 7 + 3);
      }
    }
    std::vector<uint8_t> out(raw.size());
    Stripped s = strip_status(raw.data(), raw.size(), packet, out.data());
    out.resize(s.payload);
    EXPECT_EQ(out, expected) << packet;
    EXPECT_EQ(s.overruns, 2u) << packet;

    // In place, as the pump does it.
    s = strip_status(raw.data(), raw.size(), packet, raw.data());
    raw.resize(s.payload);
    EXPECT_EQ(raw, expected) << packet;
  }
  const uint8_t only_status[2] = {0x31, 0x60};
  uint8_t sink[2];
  EXPECT_EQ(strip_status(only_status, 2, 64, sink).payload, 0u);
  EXPECT_EQ(strip_status(only_status, 1, 64, sink).payload, 0u);  // a torn status pair
  EXPECT_EQ(strip_status(only_status, 0, 64, sink).payload, 0u);
}

TEST(BridgeParts, TheUserAreaFollowsTheSerialNumberUpToTheChecksum) {
  ASSERT_TRUE(eeprom_checksum_ok(kRecorded128, 128));
  EXPECT_EQ(guess_eeprom_size(std::vector<uint8_t>(256, 0).data()), 128u);
  std::vector<uint8_t> twice(256);  // how a 93x46 reads as 256 bytes
  std::memcpy(twice.data(), kRecorded128, 128);
  std::memcpy(twice.data() + 128, kRecorded128, 128);
  EXPECT_EQ(guess_eeprom_size(twice.data()), 128u);

  UserArea a = locate_user_area(kRecorded128, 128);
  ASSERT_TRUE(a.found);
  EXPECT_EQ(a.start, 0x48u);
  EXPECT_EQ(a.length, 54u);
  EXPECT_EQ(std::memcmp(kRecorded128 + a.start, "cal:3200 ", 9), 0);

  const auto big = laid_out(256, false);
  EXPECT_EQ(guess_eeprom_size(big.data()), 256u);
  a = locate_user_area(big.data(), 256);
  ASSERT_TRUE(a.found);
  EXPECT_EQ(a.start, 0xC8u);
  EXPECT_EQ(a.length, 54u);

  for (size_t size : {size_t{128}, size_t{256}}) {
    const auto marked = laid_out(size, true);
    a = locate_user_area(marked.data(), size);
    ASSERT_TRUE(a.found);
    EXPECT_EQ(a.start, (size == 128 ? 0x48u : 0xC8u) + 4) << size;
  }

  // Blank, string pointers out of the part, a pointer at something that is no string descriptor,
  // a part of no known size: no user area, so nothing is read or written there.
  EXPECT_FALSE(locate_user_area(std::vector<uint8_t>(128, 0xFF).data(), 128).found);
  auto broken = laid_out(128, false);
  broken[0x13] = 0x70;
  EXPECT_FALSE(locate_user_area(broken.data(), 128).found);
  broken = laid_out(128, false);
  broken[0x12] = 0x90;
  EXPECT_FALSE(locate_user_area(broken.data(), 128).found);
  EXPECT_FALSE(locate_user_area(kRecorded128, 64).found);
}

TEST(BridgeParts, PatchingChangesOnlyTheUserAreaAndTheChecksum) {
  const uint8_t record[12] = {'c', 'a', 'l', ':', '1', '2', '3', '4', '5', ' ', 0, 0};
  std::vector<std::vector<uint8_t>> images = {
      {kRecorded128, kRecorded128 + 128}, laid_out(256, false), laid_out(128, true)};
  for (const auto &original : images) {
    const size_t size = original.size();
    auto img = original;
    ASSERT_EQ(patch_user_area(img, record, sizeof record), PatchResult::kOk);
    const UserArea a = locate_user_area(img.data(), size);
    ASSERT_TRUE(a.found);
    EXPECT_EQ(std::memcmp(img.data() + a.start, record, sizeof record), 0);
    for (size_t i = 0; i < size - 2; ++i) {
      if (i < a.start || i >= a.start + sizeof record) {
        EXPECT_EQ(img[i], original[i]) << "byte " << i << " of a " << size << "-byte part";
      }
    }
    EXPECT_TRUE(eeprom_checksum_ok(img.data(), size));

    // The whole user area fits; one byte more does not, and nothing is changed then.
    std::vector<uint8_t> full(a.length, 0x42);
    auto copy = original;
    EXPECT_EQ(patch_user_area(copy, full.data(), full.size()), PatchResult::kOk);
    full.push_back(0x42);
    copy = original;
    EXPECT_EQ(patch_user_area(copy, full.data(), full.size()), PatchResult::kTooLong);
    EXPECT_EQ(copy, original);

    auto corrupt = original;
    corrupt[0x09] ^= 0x01;  // a flipped bit in the power setting
    const auto before = corrupt;
    EXPECT_EQ(patch_user_area(corrupt, record, sizeof record), PatchResult::kBadChecksum);
    EXPECT_EQ(corrupt, before);
  }
  std::vector<uint8_t> blank(128, 0xFF);
  EXPECT_EQ(patch_user_area(blank, record, sizeof record), PatchResult::kNoUserArea);
  EXPECT_EQ(blank, std::vector<uint8_t>(128, 0xFF));
}

namespace {

// A transport that hands out scripted chunks, each after a scripted delay on a fake clock.
struct FakeTransport {
  struct Step {
    int delay_ms;
    std::vector<uint8_t> bytes;  // empty: nothing arrived by then
    bool error = false;
  };
  std::deque<Step> script;
  int64_t clock = 1000;
  std::vector<int> waits;

  int read(uint8_t *buf, int n, int wait_ms) {
    waits.push_back(wait_ms);
    if (script.empty()) {
      clock += wait_ms;  // silence until the wait ends
      return 0;
    }
    Step &s = script.front();
    if (s.delay_ms > wait_ms) {  // the chunk is not here yet
      s.delay_ms -= wait_ms;
      clock += wait_ms;
      return 0;
    }
    clock += s.delay_ms;
    if (s.error) return -1;
    const int k = std::min<int>(n, static_cast<int>(s.bytes.size()));
    if (k > 0) std::memcpy(buf, s.bytes.data(), static_cast<size_t>(k));
    s.bytes.erase(s.bytes.begin(), s.bytes.begin() + k);
    if (s.bytes.empty())
      script.pop_front();
    else
      s.delay_ms = 0;
    return k;
  }
};

FT_STATUS run(FakeTransport &t, uint8_t *buf, DWORD want, ULONG timeout, DWORD &got) {
  return read_with_deadline([&](uint8_t *b, int n, int w) { return t.read(b, n, w); },
                            [&] { return t.clock; }, buf, want, timeout, got, 500);
}

}  // namespace

TEST(BridgeParts, DeadlineReadsGiveAllBytesOrWhatArrivedByTheTimeOut) {
  uint8_t buf[16] = {};
  DWORD got = 99;
  {
    FakeTransport t;
    t.script = {{3, {1, 2}}, {0, {}}, {4, {3, 4, 5, 6}}};
    EXPECT_EQ(run(t, buf, 5, 1000, got), FT_OK);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(t.clock, 1007);  // returned as soon as the last byte came
  }
  {
    FakeTransport t;  // one byte, then silence: the read ends on the deadline with FT_OK
    t.script = {{10, {7}}};
    EXPECT_EQ(run(t, buf, 2, 1000, got), FT_OK);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(t.clock, 2000);
    for (int w : t.waits) EXPECT_LE(w, 500);  // no single USB call outlasts the deadline
    EXPECT_EQ(t.waits.back(), 2000 - 1010 - 500);
  }
  {
    FakeTransport t;  // nothing at all
    EXPECT_EQ(run(t, buf, 1, 300, got), FT_OK);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(t.clock, 1300);
  }
  {
    FakeTransport t;  // the device went away mid-read
    t.script = {{1, {1}}, {1, {}, true}};
    EXPECT_EQ(run(t, buf, 4, 1000, got), FT_IO_ERROR);
  }
  {
    FakeTransport t;  // no time-out: waits as long as it takes
    t.script = {{5000, {1, 2, 3}}};
    EXPECT_EQ(run(t, buf, 3, 0, got), FT_OK);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(t.clock, 6000);
  }
  {
    FakeTransport t;
    EXPECT_EQ(run(t, buf, 0, 1000, got), FT_OK);  // nothing asked, nothing waited for
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(t.waits.empty());
  }
}

TEST(BridgeParts, TheStreamQueueStopsTakingTransfersWhenFullAndNeverDrops) {
  StreamQueue q(1000);
  // Four 256-byte transfers would not all fit: the fourth waits.
  EXPECT_TRUE(q.reserve(256));
  EXPECT_TRUE(q.reserve(256));
  EXPECT_TRUE(q.reserve(256));
  EXPECT_FALSE(q.reserve(256));
  EXPECT_EQ(q.reserved(), 768u);

  std::vector<uint8_t> payload(250);
  uint8_t next = 0;
  auto fill = [&] {
    for (auto &b : payload) b = next++;
  };
  for (int i = 0; i < 3; ++i) {
    fill();
    q.complete(256, payload.data(), payload.size());
  }
  EXPECT_EQ(q.size(), 750u);
  EXPECT_EQ(q.reserved(), 0u);
  EXPECT_FALSE(q.reserve(256));  // 750 queued + 256 > 1000: wait for the reader

  // Reading makes room; the bytes come out in order across the ring's wrap.
  std::vector<uint8_t> out(600);
  EXPECT_EQ(q.take(out.data(), out.size()), 600u);
  for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], static_cast<uint8_t>(i));
  uint8_t expect = static_cast<uint8_t>(600);
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(q.reserve(256));
    fill();
    q.complete(256, payload.data(), payload.size());
    EXPECT_LE(q.size(), q.capacity());
    const size_t n = q.take(out.data(), 250);
    ASSERT_EQ(n, 250u);
    for (size_t i = 0; i < n; ++i, ++expect) ASSERT_EQ(out[i], expect) << round;
  }

  // A cancelled transfer frees its reservation and adds nothing.
  ASSERT_TRUE(q.reserve(256));
  const size_t before = q.size();
  q.complete(256, nullptr, 0);
  EXPECT_EQ(q.size(), before);
  EXPECT_EQ(q.reserved(), 0u);

  q.clear();
  EXPECT_EQ(q.size(), 0u);
  EXPECT_EQ(q.take(out.data(), 10), 0u);
}
