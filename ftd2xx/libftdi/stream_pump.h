// The stream channel's reader: keeps several bulk-IN transfers in flight, strips the chip's
// status bytes from what they bring and queues the data for FT_Read. USB itself is behind
// `InTransfers`, so the bookkeeping can be tested without a device.
#ifndef QX470_STREAM_PUMP_H
#define QX470_STREAM_PUMP_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "bridge_parts.h"

namespace qxftdi {

// What the pump needs of USB. Completions come back through StreamPump::transfer_done, never
// from inside submit or cancel.
class InTransfers {
 public:
  virtual ~InTransfers() = default;
  // Starts a bulk-IN transfer into buf; false when it cannot be started (the device is gone).
  virtual bool submit(int slot, uint8_t *buf, size_t length) = 0;
  virtual void cancel(int slot) = 0;
  // Clears the chip's receive buffer.
  virtual bool flush_chip() = 0;
};

enum class TransferEnd { kCompleted, kCancelled, kTimedOut, kFailed };

class StreamPump {
 public:
  StreamPump(InTransfers &usb, size_t packet_size, int transfers, size_t transfer_bytes,
             size_t queue_bytes);
  StreamPump(const StreamPump &) = delete;
  StreamPump &operator=(const StreamPump &) = delete;

  FT_STATUS start();  // puts every transfer on the bus
  // Stops handing data to the reader. Transfers stay in flight and keep draining the chip, so that
  // a device that goes on sending while the host pauses does not overflow its small buffer; what
  // they bring is kept for after restart_in(), unless a purge drops it first.
  FT_STATUS stop_in();
  // Hands data to the reader again, what came while stopped first.
  FT_STATUS restart_in();
  // Drops everything received so far: the transfers in flight are cancelled and their data
  // discarded, the chip's buffer is cleared, the queue emptied; then the transfers go out again.
  // Nothing received before the purge ever reaches the reader.
  FT_STATUS purge_rx();
  // Brings every transfer home (cancelled, up to wait_ms), for closing the device.
  FT_STATUS shutdown(int wait_ms = 2000);
  // D2XX read: all `want` bytes, or what came by the time-out (0 waits without limit), FT_OK;
  // once the device has failed, what is still queued and then FT_IO_ERROR. While stopped it
  // hands out nothing.
  FT_STATUS read(uint8_t *out, DWORD want, DWORD &got, ULONG timeout_ms);

  // Called by the USB side when a transfer ends, with the raw bytes it brought.
  void transfer_done(int slot, TransferEnd end, size_t actual);

  bool in_flight(int slot);
  int transfers_in_flight();
  unsigned long overruns() const { return overruns_.load(); }
  // Whether the chip reported an overrun in data handed on since the last call (D2XX's latched
  // line status): set before that data can be read, so a reader that checks after its read
  // never misses one.
  bool take_overrun();

 private:
  struct Slot {
    std::vector<uint8_t> buffer;
    bool in_flight = false;
    bool discard = false;  // cancelled by a purge: what it brings predates the purge
  };
  void submit_idle_locked();
  void report_overruns_locked(unsigned long n);
  // Cancels what is in flight and waits (up to wait_ms) until it is back.
  bool cancel_all_locked(std::unique_lock<std::mutex> &lock, bool discard, int wait_ms);

  InTransfers &usb_;
  const size_t packet_;
  std::mutex mu_;
  std::condition_variable cv_;
  StreamQueue queue_;
  std::vector<Slot> slots_;
  bool running_ = true;  // transfers are kept in flight
  bool held_ = false;    // stop_in(): nothing goes to the reader
  bool failed_ = false;
  // Overruns seen while held: they count once the data around them is handed on, not if a purge
  // throws that data away anyway.
  unsigned long held_overruns_ = 0;
  bool overrun_latched_ = false;
  std::atomic<unsigned long> overruns_{0};
};

}  // namespace qxftdi

#endif
