// The stream channel's reader of the libftdi1 backend against a fake USB side: transfers kept in
// flight, nothing dropped when the reader falls behind, stop/restart/purge and the overruns they
// may hide, a device that goes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "stream_pump.h"

using namespace qxftdi;

namespace {

constexpr size_t kPacket = 64;
constexpr size_t kTransferBytes = 4 * kPacket;
constexpr int kTransfers = 4;

class FakeUsb : public InTransfers {
 public:
  bool submit(int slot, uint8_t *buf, size_t length) override {
    std::lock_guard lock(mu_);
    if (fail_submit) return false;
    EXPECT_EQ(length, kTransferBytes);
    EXPECT_FALSE(live_.count(slot)) << "slot " << slot << " submitted twice";
    live_.insert(slot);
    buffers_[slot] = buf;
    ++submits;
    return true;
  }
  void cancel(int slot) override {
    std::lock_guard lock(mu_);
    cancels_.push_back(slot);
  }
  bool flush_chip() override {
    ++flushes;
    return true;
  }

  int live() {
    std::lock_guard lock(mu_);
    return static_cast<int>(live_.size());
  }
  size_t cancel_count() {
    std::lock_guard lock(mu_);
    return cancels_.size();
  }

  // The chip sends `payload` in one transfer (status pair before every 62 bytes).
  bool deliver(StreamPump &pump, const std::vector<uint8_t> &payload,
               TransferEnd end = TransferEnd::kCompleted, uint8_t line_status = 0x60) {
    int slot;
    size_t raw = 0;
    {
      std::lock_guard lock(mu_);
      if (live_.empty()) return false;
      slot = *live_.begin();
      live_.erase(slot);
      uint8_t *b = buffers_[slot];
      for (size_t at = 0; at < payload.size() || raw == 0;) {
        const size_t n = std::min(kPacket - 2, payload.size() - at);
        b[raw++] = 0x31;
        b[raw++] = line_status;
        if (n) std::memcpy(b + raw, payload.data() + at, n);
        raw += n;
        at += n;
        if (n == 0) break;
      }
    }
    pump.transfer_done(slot, end, raw);
    return true;
  }

  // Gives back every cancelled transfer, as USB does after a cancel.
  void return_cancelled(StreamPump &pump) {
    std::vector<int> back;
    {
      std::lock_guard lock(mu_);
      back.assign(live_.begin(), live_.end());
      live_.clear();
    }
    for (int slot : back) pump.transfer_done(slot, TransferEnd::kCancelled, 0);
  }

  std::atomic<bool> fail_submit{false};
  int submits = 0;
  std::atomic<int> flushes{0};

 private:
  std::mutex mu_;
  std::set<int> live_;
  std::vector<int> cancels_;
  uint8_t *buffers_[kTransfers] = {};
};

std::vector<uint8_t> bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i * 13);
  return v;
}

std::vector<uint8_t> read_n(StreamPump &pump, DWORD n, ULONG timeout, FT_STATUS *st = nullptr) {
  std::vector<uint8_t> out(n);
  DWORD got = 0;
  const FT_STATUS s = pump.read(out.data(), n, got, timeout);
  if (st) *st = s;
  out.resize(got);
  return out;
}

}  // namespace

TEST(StreamPump, KeepsEveryTransferInFlightAndQueuesPayloadInOrder) {
  FakeUsb usb;
  StreamPump pump(usb, kPacket, kTransfers, kTransferBytes, 1 << 16);
  ASSERT_EQ(pump.start(), FT_OK);
  EXPECT_EQ(usb.live(), kTransfers);

  std::vector<uint8_t> sent;
  for (int i = 0; i < 10; ++i) {
    const auto chunk = bytes(i % 3 == 0 ? 0 : 100 + i, static_cast<uint8_t>(i));
    sent.insert(sent.end(), chunk.begin(), chunk.end());
    ASSERT_TRUE(usb.deliver(pump, chunk));
    EXPECT_EQ(usb.live(), kTransfers) << "each completed transfer goes straight back";
  }
  EXPECT_EQ(read_n(pump, static_cast<DWORD>(sent.size()), 1000), sent);
  EXPECT_EQ(pump.overruns(), 0u);

  ASSERT_TRUE(usb.deliver(pump, bytes(10, 1), TransferEnd::kCompleted, 0x62));
  EXPECT_EQ(pump.overruns(), 1u);
}

TEST(StreamPump, AFullQueueHoldsTransfersBackInsteadOfDropping) {
  FakeUsb usb;
  // Room for three transfers' worth: with data queued, fewer may be in flight.
  StreamPump pump(usb, kPacket, kTransfers, kTransferBytes, 3 * kTransferBytes);
  ASSERT_EQ(pump.start(), FT_OK);
  EXPECT_EQ(usb.live(), 3);

  std::vector<uint8_t> sent, received;
  uint8_t seed = 0;
  for (int round = 0; round < 50; ++round) {
    while (usb.live() > 0) {
      const auto chunk = bytes(4 * (kPacket - 2), seed++);  // a full transfer
      sent.insert(sent.end(), chunk.begin(), chunk.end());
      ASSERT_TRUE(usb.deliver(pump, chunk));
    }
    // The reader was away: nothing more is in flight until it reads.
    EXPECT_EQ(usb.live(), 0);
    const auto got = read_n(pump, static_cast<DWORD>(sent.size() - received.size()), 1000);
    received.insert(received.end(), got.begin(), got.end());
    EXPECT_GT(usb.live(), 0) << "reading made room again";
  }
  EXPECT_EQ(received, sent);
}

// Stopped, the pump hands nothing to the reader but keeps every transfer out: a device that
// goes on sending (as the amplifier does until its stop command arrives, and again from its
// start command until the restart) is drained, not left to overflow the chip's small buffer.
TEST(StreamPump, StopHoldsDataBackWhileTransfersKeepDrainingTheChip) {
  FakeUsb usb;
  StreamPump pump(usb, kPacket, kTransfers, kTransferBytes, 1 << 16);
  ASSERT_EQ(pump.start(), FT_OK);
  ASSERT_TRUE(usb.deliver(pump, bytes(50, 7)));

  EXPECT_EQ(pump.stop_in(), FT_OK);
  EXPECT_EQ(usb.cancel_count(), 0u);
  std::vector<uint8_t> expected = bytes(50, 7);
  for (int i = 0; i < 3 * kTransfers; ++i) {
    const auto chunk = bytes(100, static_cast<uint8_t>(i));
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    ASSERT_TRUE(usb.deliver(pump, chunk));
    EXPECT_EQ(usb.live(), kTransfers) << "every transfer goes straight back while stopped";
  }
  FT_STATUS st;
  EXPECT_TRUE(read_n(pump, 10, 50, &st).empty()) << "nothing for the reader while stopped";
  EXPECT_EQ(st, FT_OK);

  EXPECT_EQ(pump.restart_in(), FT_OK);
  EXPECT_EQ(read_n(pump, static_cast<DWORD>(expected.size()), 1000), expected);
}

// The pause as the library does it: stop, the stop command, purge, the start command, restart.
// Nothing from before the purge reaches the reader; everything after it does, the stream that
// starts before the restart included.
TEST(StreamPump, PurgeWhileStoppedDropsTheOldStreamAndKeepsTheNewOne) {
  FakeUsb usb;
  StreamPump pump(usb, kPacket, kTransfers, kTransferBytes, 1 << 16);
  ASSERT_EQ(pump.start(), FT_OK);
  ASSERT_TRUE(usb.deliver(pump, bytes(80, 3)));
  ASSERT_EQ(pump.stop_in(), FT_OK);
  ASSERT_TRUE(usb.deliver(pump, bytes(60, 4)));  // the old stream, still coming

  auto purged = std::async(std::launch::async, [&] { return pump.purge_rx(); });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (usb.cancel_count() < static_cast<size_t>(kTransfers) &&
         std::chrono::steady_clock::now() < end)
    std::this_thread::yield();
  EXPECT_EQ(purged.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
      << "the purge returned with transfers of the old stream still out";
  // A cancelled transfer brings what it had of the old stream, with an overrun: both go.
  ASSERT_TRUE(usb.deliver(pump, bytes(20, 99), TransferEnd::kCancelled, 0x62));
  usb.return_cancelled(pump);
  EXPECT_EQ(purged.get(), FT_OK);
  EXPECT_EQ(usb.flushes, 1);
  EXPECT_EQ(usb.live(), kTransfers) << "out again after the purge, though still stopped";

  ASSERT_TRUE(usb.deliver(pump, bytes(40, 200)));  // the new stream, before the restart
  EXPECT_TRUE(read_n(pump, 10, 20).empty());
  ASSERT_EQ(pump.restart_in(), FT_OK);
  ASSERT_TRUE(usb.deliver(pump, bytes(30, 100)));
  auto expected = bytes(40, 200);
  const auto tail = bytes(30, 100);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(read_n(pump, 70, 1000), expected);
  EXPECT_EQ(pump.overruns(), 0u) << "the purged data's overrun is no loss of the reader's";
}

TEST(StreamPump, PurgeWhileRunningFlushesTheChipAndRunsOn) {
  FakeUsb usb;
  StreamPump pump(usb, kPacket, kTransfers, kTransferBytes, 1 << 16);
  ASSERT_EQ(pump.start(), FT_OK);
  ASSERT_TRUE(usb.deliver(pump, bytes(80, 3)));
  auto purged = std::async(std::launch::async, [&] { return pump.purge_rx(); });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (usb.cancel_count() < static_cast<size_t>(kTransfers) &&
         std::chrono::steady_clock::now() < end)
    std::this_thread::yield();
  usb.return_cancelled(pump);
  EXPECT_EQ(purged.get(), FT_OK);
  EXPECT_EQ(usb.flushes, 1);
  EXPECT_EQ(usb.live(), kTransfers);
  ASSERT_TRUE(usb.deliver(pump, bytes(5, 200)));
  EXPECT_EQ(read_n(pump, 5, 1000), bytes(5, 200));
}

// An overrun while stopped is the reader's loss only if its data is handed on after all.
TEST(StreamPump, AnOverrunWhileStoppedCountsOnlyIfNoPurgeFollows) {
  FakeUsb usb;
  StreamPump pump(usb, kPacket, kTransfers, kTransferBytes, 1 << 16);
  ASSERT_EQ(pump.start(), FT_OK);
  ASSERT_EQ(pump.stop_in(), FT_OK);
  ASSERT_TRUE(usb.deliver(pump, bytes(10, 1), TransferEnd::kCompleted, 0x62));
  EXPECT_EQ(pump.overruns(), 0u);
  EXPECT_FALSE(pump.take_overrun());
  ASSERT_EQ(pump.restart_in(), FT_OK);
  EXPECT_EQ(pump.overruns(), 1u) << "restarted without a purge: the hole is in the reader's data";
  EXPECT_TRUE(pump.take_overrun()) << "latched for the line status";
  EXPECT_FALSE(pump.take_overrun()) << "until it is read";
}

TEST(StreamPump, ADeviceThatGoesGivesQueuedDataThenAnError) {
  FakeUsb usb;
  StreamPump pump(usb, kPacket, kTransfers, kTransferBytes, 1 << 16);
  ASSERT_EQ(pump.start(), FT_OK);
  ASSERT_TRUE(usb.deliver(pump, bytes(30, 1)));
  usb.fail_submit = true;
  ASSERT_TRUE(usb.deliver(pump, {}, TransferEnd::kFailed));
  const int left = usb.live();

  FT_STATUS st;
  EXPECT_EQ(read_n(pump, 100, 0, &st), bytes(30, 1)) << "no time-out, yet no hang";
  EXPECT_EQ(st, FT_OK);
  EXPECT_TRUE(read_n(pump, 1, 0, &st).empty());
  EXPECT_EQ(st, FT_IO_ERROR);
  EXPECT_EQ(usb.live(), left) << "nothing resubmitted after the failure";
  EXPECT_EQ(pump.restart_in(), FT_IO_ERROR);

  // A device that never gives its transfers back: closing gives up on them in time.
  EXPECT_EQ(pump.shutdown(50), FT_IO_ERROR);
}

TEST(StreamPump, AReadWithNothingArrivingEndsOnItsTimeOut) {
  FakeUsb usb;
  StreamPump pump(usb, kPacket, kTransfers, kTransferBytes, 1 << 16);
  ASSERT_EQ(pump.start(), FT_OK);
  const auto t0 = std::chrono::steady_clock::now();
  FT_STATUS st;
  EXPECT_TRUE(read_n(pump, 10, 100, &st).empty());
  EXPECT_EQ(st, FT_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));

  // Bytes that come while a read waits are handed out as soon as it has them all.
  auto reader = std::async(std::launch::async, [&] { return read_n(pump, 40, 30000, &st); });
  ASSERT_TRUE(usb.deliver(pump, bytes(25, 5)));
  ASSERT_TRUE(usb.deliver(pump, bytes(15, 9)));
  auto expected = bytes(25, 5);
  const auto second = bytes(15, 9);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(reader.get(), expected);
}
