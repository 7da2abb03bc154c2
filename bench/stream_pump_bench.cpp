// The libftdi backend's stream reader on the CPU side: a full 16 KiB bulk-IN transfer of 64-byte
// packets goes through status stripping and the queue into the reader's buffer, beside a baseline
// of the two plain copies any reader needs (USB buffer filled, payload copied out).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "stream_pump.h"

namespace {

constexpr size_t kPacket = 64;
constexpr size_t kTransfer = 16384;
constexpr size_t kPayload = kTransfer / kPacket * (kPacket - 2);

std::vector<uint8_t> raw_transfer() {
  std::vector<uint8_t> raw(kTransfer);
  for (size_t i = 0; i < raw.size(); ++i)
    raw[i] = i % kPacket == 0 ? 0x31 : i % kPacket == 1 ? 0x60 : static_cast<uint8_t>(i);
  return raw;
}

class OneSlotUsb : public qxftdi::InTransfers {
 public:
  bool submit(int slot, uint8_t *buf, size_t) override {
    slot_ = slot;
    buf_ = buf;
    return true;
  }
  void cancel(int) override {}
  bool flush_chip() override { return true; }
  int slot_ = -1;
  uint8_t *buf_ = nullptr;
};

void BM_TwoCopiesBaseline(benchmark::State &state) {
  const auto raw = raw_transfer();
  std::vector<uint8_t> usb(kTransfer), out(kPayload);
  for (auto _ : state) {
    std::memcpy(usb.data(), raw.data(), kTransfer);
    benchmark::ClobberMemory();
    std::memcpy(out.data(), usb.data(), kPayload);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPayload));
}

void BM_PumpTransferToReader(benchmark::State &state) {
  const auto raw = raw_transfer();
  OneSlotUsb usb;
  qxftdi::StreamPump pump(usb, kPacket, 1, kTransfer, 4 * kTransfer);
  pump.start();
  std::vector<uint8_t> out(kPayload);
  for (auto _ : state) {
    std::memcpy(usb.buf_, raw.data(), kTransfer);
    pump.transfer_done(usb.slot_, qxftdi::TransferEnd::kCompleted, kTransfer);
    DWORD got = 0;
    pump.read(out.data(), kPayload, got, 1000);
    benchmark::DoNotOptimize(out.data());
    if (got != kPayload) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPayload));
}

BENCHMARK(BM_TwoCopiesBaseline);
BENCHMARK(BM_PumpTransferToReader);

}  // namespace

BENCHMARK_MAIN();
