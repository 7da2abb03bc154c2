#include "stream_pump.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace qxftdi {

StreamPump::StreamPump(InTransfers &usb, size_t packet_size, int transfers, size_t transfer_bytes,
                       size_t queue_bytes)
    : usb_(usb), packet_(packet_size), queue_(queue_bytes), slots_(static_cast<size_t>(transfers)) {
  for (Slot &s : slots_) s.buffer.resize(transfer_bytes);
}

FT_STATUS StreamPump::start() {
  std::lock_guard lock(mu_);
  running_ = true;
  submit_idle_locked();
  return failed_ ? FT_IO_ERROR : FT_OK;
}

bool StreamPump::cancel_all_locked(std::unique_lock<std::mutex> &lock, bool discard, int wait_ms) {
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i].in_flight) continue;
    slots_[i].discard = discard;
    usb_.cancel(static_cast<int>(i));
  }
  return cv_.wait_for(lock, std::chrono::milliseconds(wait_ms), [this] {
    return std::none_of(slots_.begin(), slots_.end(), [](const Slot &s) { return s.in_flight; });
  });
}

FT_STATUS StreamPump::stop_in() {
  std::lock_guard lock(mu_);
  held_ = true;
  cv_.notify_all();
  return FT_OK;
}

FT_STATUS StreamPump::restart_in() {
  std::lock_guard lock(mu_);
  held_ = false;
  report_overruns_locked(held_overruns_);
  held_overruns_ = 0;
  running_ = true;
  failed_ = false;  // a transient error may clear; a gone device fails the next submit again
  submit_idle_locked();
  cv_.notify_all();
  return failed_ ? FT_IO_ERROR : FT_OK;
}

FT_STATUS StreamPump::purge_rx() {
  std::unique_lock lock(mu_);
  // Transfers in flight may hold bytes from before the purge: bring them home and drop them.
  const bool was_running = running_;
  running_ = false;
  FT_STATUS st = cancel_all_locked(lock, true, 2000) ? FT_OK : FT_IO_ERROR;
  lock.unlock();
  if (!usb_.flush_chip()) st = FT_IO_ERROR;
  lock.lock();
  queue_.clear();
  held_overruns_ = 0;  // they belonged to data that is gone now
  running_ = was_running;
  submit_idle_locked();
  return st;
}

FT_STATUS StreamPump::shutdown(int wait_ms) {
  std::unique_lock lock(mu_);
  running_ = false;
  return cancel_all_locked(lock, true, wait_ms) ? FT_OK : FT_IO_ERROR;
}

FT_STATUS StreamPump::read(uint8_t *out, DWORD want, DWORD &got, ULONG timeout_ms) {
  got = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock lock(mu_);
  for (;;) {
    if (!held_) got += static_cast<DWORD>(queue_.take(out + got, want - got));
    submit_idle_locked();  // the room just made may let a waiting transfer go
    if (got == want) return FT_OK;
    if (failed_) return got ? FT_OK : FT_IO_ERROR;
    if (timeout_ms == 0) {
      cv_.wait(lock);
    } else if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
      if (!held_) got += static_cast<DWORD>(queue_.take(out + got, want - got));
      submit_idle_locked();
      return FT_OK;
    }
  }
}

void StreamPump::transfer_done(int slot, TransferEnd end, size_t actual) {
  std::lock_guard lock(mu_);
  Slot &s = slots_.at(static_cast<size_t>(slot));
  if (!s.in_flight) return;  // not ours: a stray completion changes nothing
  s.in_flight = false;
  if (s.discard) {
    // Cancelled by a purge: its data, and any overrun it reports, went with the purge.
    s.discard = false;
    queue_.complete(s.buffer.size(), nullptr, 0);
  } else {
    // A cancelled or timed-out transfer may still carry data: it is kept like any other.
    const size_t raw = std::min(actual, s.buffer.size());
    const Stripped got = strip_status(s.buffer.data(), raw, packet_, s.buffer.data());
    queue_.complete(s.buffer.size(), s.buffer.data(), got.payload);
    if (held_)
      held_overruns_ += got.overruns;
    else
      report_overruns_locked(got.overruns);
  }
  if (end == TransferEnd::kFailed) failed_ = true;  // readers get what is queued, then the error
  submit_idle_locked();
  cv_.notify_all();
}

bool StreamPump::take_overrun() {
  std::lock_guard lock(mu_);
  const bool o = overrun_latched_;
  overrun_latched_ = false;
  return o;
}

void StreamPump::report_overruns_locked(unsigned long n) {
  if (n) overrun_latched_ = true;
  if (n && overruns_.fetch_add(n) == 0)
    std::fprintf(stderr, "QX470 bridge: the stream channel's receive buffer overran\n");
}

bool StreamPump::in_flight(int slot) {
  std::lock_guard lock(mu_);
  return slots_.at(static_cast<size_t>(slot)).in_flight;
}

int StreamPump::transfers_in_flight() {
  std::lock_guard lock(mu_);
  return static_cast<int>(
      std::count_if(slots_.begin(), slots_.end(), [](const Slot &s) { return s.in_flight; }));
}

// Puts idle transfers back on the bus while taking data and while the queue has room for all
// they could bring; otherwise they wait for the reader to make room, so nothing is dropped.
void StreamPump::submit_idle_locked() {
  if (!running_ || failed_) return;
  for (size_t i = 0; i < slots_.size(); ++i) {
    Slot &s = slots_[i];
    if (s.in_flight) continue;
    if (!queue_.reserve(s.buffer.size())) return;
    s.in_flight = true;
    if (!usb_.submit(static_cast<int>(i), s.buffer.data(), s.buffer.size())) {
      s.in_flight = false;
      queue_.complete(s.buffer.size(), nullptr, 0);
      failed_ = true;
      cv_.notify_all();
      return;
    }
  }
}

}  // namespace qxftdi
