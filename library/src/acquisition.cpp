#include "acquisition.h"

#include <atomic>

#include "context.h"
#include "stream_protocol.h"

namespace qx {

namespace {

// Host side only: the acquisition thread and whether the stream channel is open.
platform::Thread acquisition_thread = 0;
bool stream_open = false;
uint32_t start_block_count = 0;

std::atomic<uint32_t> realignments{0};

// Set by the acquisition thread just before it signals its end, so that the host's busy loops on
// pause_flag cannot wait for a thread that is gone.
std::atomic<bool> thread_ended{false};

// Priming reads go here, never into the ring, so that priming after a resume cannot overwrite
// blocks that readers may still be reading.
uint8_t priming_buffer[2 * 301];

FT_STATUS write_stream(const uint8_t *bytes, DWORD length, DWORD &written) {
  written = 0;
  stream_status = FT_Write(stream_handle, const_cast<uint8_t *>(bytes), length, &written);
  return stream_status;
}

template <std::size_t N>
FT_STATUS write_command(const std::array<uint8_t, N> &cmd, DWORD &written) {
  return write_stream(cmd.data(), static_cast<DWORD>(N), written);
}

void write_stop() {
  DWORD written;
  write_command(kStopCommand, written);
}

void purge_stream() {
  stream_status = FT_Purge(stream_handle, FT_PURGE_RX);
}

// Whether the device lost stream data since the last look: the bridge latches a receive overrun
// in the line status until it is read. A bridge that cannot tell is taken to have lost nothing.
bool overrun_reported() {
  ULONG status = 0;
  return FT_GetModemStatus(stream_handle, &status) == FT_OK &&
         ((status >> 8) & FT_LINE_OVERRUN_ERROR) != 0;
}

enum class Priming { kDone, kPauseRequested, kFailed };

// Discards whole frames from the head of the stream until at least 20 bytes have gone. A frame
// counts only once all its bytes are in, so priming always ends on a frame border.
Priming prime(bool initial) {
  int32_t total = 0;
  int empty_reads = 0;
  while (total < 20) {
    const int32_t frame_bytes = 2 * shared_frame_length();
    if (frame_bytes <= 0 || frame_bytes > static_cast<int32_t>(sizeof priming_buffer))
      return Priming::kFailed;
    int32_t in_frame = 0;
    while (in_frame < frame_bytes) {
      if (running.load(std::memory_order_acquire) == 0) return Priming::kFailed;
      // A pause asked for while first priming: the resume primes afresh.
      if (initial && pause_flag.load(std::memory_order_acquire)) return Priming::kPauseRequested;
      DWORD got = 0;
      const FT_STATUS st = FT_Read(stream_handle, priming_buffer + in_frame,
                                   static_cast<DWORD>(frame_bytes - in_frame), &got);
      if (st != FT_OK || got == 0) {
        if (++empty_reads >= kPrimingEmptyReads) return Priming::kFailed;
        if (st != FT_OK) platform::sleep_ms(10);
        continue;
      }
      empty_reads = 0;
      in_frame += static_cast<int32_t>(got);
    }
    total += frame_bytes;
  }
  return Priming::kDone;
}

// Pause, wait for the restart event, resume. False when the resumed stream could not be primed.
bool pause_and_resume() {
  stream_status = FT_StopInTask(stream_handle);
  write_stop();
  purge_stream();
  overrun_reported();  // the latch belongs to the data just purged
  platform::event_wait(restart_event);
  DWORD written;
  if (write_command(kStartCommand, written) == FT_OK && written == kStartCommand.size())
    blocks_transferred.store(0, std::memory_order_release);
  stream_status = FT_RestartInTask(stream_handle);
  if (prime(false) != Priming::kDone) return false;
  pause_flag.store(0, std::memory_order_release);
  return true;
}

// The device lost words below the library, so the stream has lost its place in the frame: every
// later word would go to the wrong channel and time, and nothing in the words shows it. The
// block in progress is dropped and the stream started afresh as a resume does, without waiting
// for the host: the block count and the boundary begin again at 0, so that every host sees a new
// stream rather than a misaligned one. False when the new stream could not be primed.
bool realign() {
  stream_status = FT_StopInTask(stream_handle);
  write_stop();
  purge_stream();
  overrun_reported();  // the latch belongs to the data just purged
  DWORD written;
  const bool started =
      write_command(kStartCommand, written) == FT_OK && written == kStartCommand.size();
  // The count first: a count of 0 reads as "nothing yet" whatever the boundary, while the old
  // count under a new boundary would map the host's sample numbers to the wrong blocks.
  blocks_transferred.store(0, std::memory_order_release);
  store_boundary(device_context.schedule, 0);
  realignments.fetch_add(1, std::memory_order_relaxed);
  stream_status = FT_RestartInTask(stream_handle);
  return started && prime(false) == Priming::kDone;
}

// Fills ring block blocks_transferred mod 64; true once all 32768 bytes are in. A stop or a pause
// waits for the block in progress while the device keeps delivering, so the tail of a slow stream
// is not lost; it gives the partial block up only once the device has gone silent (a whole read
// time-out without a byte) or a read has failed. A failed read starts it over.
bool read_block() {
  const uint32_t count = blocks_transferred.load(std::memory_order_relaxed);
  uint8_t *block = block_ring[count % kRingBlocks];
  DWORD filled = 0;
  for (;;) {
    DWORD got = 0;
    const FT_STATUS st = FT_Read(stream_handle, block + filled, kBlockBytes - filled, &got);
    if (st != FT_OK) {
      filled = 0;
      platform::sleep_ms(10);  // a failing device must not spin a time-critical thread
    } else {
      filled += got;
      if (filled >= kBlockBytes) break;
    }
    const bool device_silent = st != FT_OK || got == 0;
    if (device_silent && (running.load(std::memory_order_acquire) == 0 ||
                          pause_flag.load(std::memory_order_acquire) != 0))
      return false;
  }
  return true;
}

void run_acquisition() {
  DWORD written;
  FT_SetTimeouts(stream_handle, kStreamReadTimeoutMs, kStreamWriteTimeoutMs);
  write_stop();
  purge_stream();
  overrun_reported();  // whatever an earlier stream lost is not this one's

  int32_t divisors[kChannels];
  for (int c = 0; c < kChannels; ++c) divisors[c] = shared_divisor(c);
  const auto high = rate_high_command(divisors);
  if (write_command(high, written) != FT_OK) return platform::alert("Error 1");
  if (written != high.size()) return platform::alert("Error 2");
  const auto low = rate_low_command(divisors);
  if (write_command(low, written) != FT_OK) return platform::alert("Error 3");
  if (written != low.size()) return platform::alert("Error 4");

  const FT_STATUS start_status = write_command(kStartCommand, written);
  const DWORD start_written = written;
  const Priming primed = prime(true);
  if (primed == Priming::kFailed || start_written != kStartCommand.size() || start_status != FT_OK)
    return write_stop();

  while (running.load(std::memory_order_acquire)) {
    if (pause_flag.load(std::memory_order_acquire) && !pause_and_resume()) break;
    if (!read_block()) continue;
    // Counted only if nothing was lost before or while it came in.
    if (overrun_reported()) {
      if (!realign()) break;
      continue;
    }
    blocks_transferred.fetch_add(1, std::memory_order_release);
  }
  write_stop();
}

uint32_t acquisition_entry(void *) {
  run_acquisition();
  thread_ended.store(true, std::memory_order_release);
  platform::event_set(stopped_event);
  // Only now are the events no longer needed by this thread.
  acquisition_thread_alive.store(false, std::memory_order_release);
  return 0;
}

// The host's answer-wait on pause_flag; false if the thread ended without clearing it.
bool await_resumption() {
  while (pause_flag.load(std::memory_order_acquire)) {
    if (thread_ended.load(std::memory_order_acquire)) return false;
    platform::cpu_relax();
  }
  return true;
}

void release_pause() {
  set_boundary(device_context.schedule, 0);
  platform::event_set(restart_event);
  await_resumption();
}

void end_thread() {
  platform::event_wait(stopped_event);
  platform::thread_join(acquisition_thread);
  acquisition_thread = 0;
}

}  // namespace

int32_t start_acquisition(void *window) {
  if (!library_ready) return 0;
  device_context.host_window = window;
  if (running.load()) {
    if (pause_flag.load()) release_pause();
    running.store(0, std::memory_order_release);
    pause_flag.store(0, std::memory_order_release);
    end_thread();
  }
  blocks_transferred.store(start_block_count, std::memory_order_release);
  set_boundary(device_context.schedule, 0);

  int32_t sum = 0;
  for (int c = 0; c < kChannels; ++c) sum += divisor_of(device_context.schedule, c);

  // A real driver refuses to open an interface that is still open: close the earlier handle.
  if (stream_open) FT_Close(stream_handle);
  stream_status = FT_Open(1, &stream_handle);
  stream_open = stream_status == FT_OK;
  if (sum < 1 || stream_status != FT_OK) return 0;

  platform::event_reset(stopped_event);
  platform::event_reset(restart_event);
  thread_ended.store(false);
  running.store(1, std::memory_order_release);
  pause_flag.store(0, std::memory_order_release);
  acquisition_thread_alive.store(true, std::memory_order_release);
  acquisition_thread = platform::thread_start(acquisition_entry, device_context.host_window);
  if (acquisition_thread == 0) {
    acquisition_thread_alive.store(false, std::memory_order_release);
    running.store(0, std::memory_order_release);
    return 0;
  }
  return 1;
}

int32_t stop_acquisition() {
  if (library_ready && running.load()) {
    if (pause_flag.load()) release_pause();
    running.store(0, std::memory_order_release);
    end_thread();
  }
  const FT_STATUS st = FT_Close(stream_handle);
  stream_open = false;
  return static_cast<int32_t>(st);
}

int32_t pause_acquisition() {
  const uint8_t r = running.load();
  if (r) pause_flag.store(1, std::memory_order_release);
  return r;
}

int32_t restart_acquisition() {
  if (!running.load() || !pause_flag.load()) return 0;
  set_boundary(device_context.schedule, 0);
  platform::event_set(restart_event);
  return await_resumption() ? 1 : 0;
}

uint32_t realignments_for_test() {
  return realignments.load(std::memory_order_relaxed);
}

uint32_t get_blocks_transferred() {
  return blocks_transferred.load(std::memory_order_acquire);
}

void set_start_block_count_for_test(uint32_t count) {
  start_block_count = count;
}

}  // namespace qx
