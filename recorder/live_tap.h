// The live bench's view of a recording: the newest samples of each channel in a ring, with the
// extremes and sums of every 64 samples beside them, so that an envelope of any window (0.1 s to
// a minute) is made in a few thousand steps. The session feeds it after the write queue and never
// waits on it: the rings are written by one thread and published with one atomic count each, and
// a page reads behind that count. The gaps, events and state shown beside the traces sit behind a
// small lock held only to copy them. Commands from the page (marks, auto-zero, the shunt) queue
// here for the session, which runs them between its reads, on the thread that reads the library.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channel_cursor.h"
#include "events.h"
#include "recording_info.h"

namespace qx470rec {

// What some samples hold: how many (gap fill left out), their extremes in codes, and the sums
// of their values about mid-scale for the mean and the RMS.
struct CodeSpan {
  uint32_t count = 0;
  uint16_t lo = 65535, hi = 0;
  int64_t sum = 0;
  uint64_t sum_sq = 0;
  void add(uint16_t code) {
    const int64_t v = int64_t(code) - 32768;
    ++count;
    lo = code < lo ? code : lo;
    hi = code > hi ? code : hi;
    sum += v;
    sum_sq += uint64_t(v * v);
  }
  void add(const CodeSpan &o) {
    if (!o.count) return;
    count += o.count;
    lo = o.lo < lo ? o.lo : lo;
    hi = o.hi > hi ? o.hi : hi;
    sum += o.sum;
    sum_sq += o.sum_sq;
  }
};

// One channel's envelope: column i spans samples [first + i * per_column, + per_column).
struct ChannelEnvelope {
  int channel = 0;    // library channel 0..3
  int rate = 0;       // samples per second
  int64_t first = 0;  // negative before the recording's first sample
  uint64_t per_column = 1;
  uint64_t end = 0;  // samples the channel has so far
  std::vector<CodeSpan> columns;
  CodeSpan total;  // the whole window
};

struct LiveGap {
  int channel = 0;
  std::string kind;             // "lost", "restart", ...
  std::string text;             // as the files say it
  uint64_t start = 0, end = 0;  // the channel's samples it covers (end == start: none)
};

struct LiveEvent {
  std::string text;
  double seconds = 0;  // signal time of its sample
};

// The recording's state as the page and /api/status show it.
struct LiveStatus {
  std::string serial;
  std::string bridge;  // "simulated amplifier", "USB", "emulated USB"
  int32_t calibration = 0;
  std::vector<std::string> files;  // empty when the view alone is served
  std::string state = "starting";  // "starting", "recording", "viewing", "finished"
  double signal_seconds = 0, wall_seconds = 0;
  std::array<uint64_t, 4> samples{}, lost{};
  uint64_t gaps = 0, events = 0;
  double queue_fill = 0;
  double block_seconds = 0;
  double next_block_seconds = -1;  // < 0: not known (no block yet, or the recording ended)
  bool shunt = false;
};

// What the page asks the session to do.
struct LiveCommand {
  enum Kind { kMark, kAutoZero, kShunt } kind = kMark;
  std::string text;   // the mark's text
  bool on = false;    // the shunt's new state
  double steady = 0;  // when it was asked, on the steady clock
  // Called on the session's thread with "" or what went wrong; it must not block.
  std::function<void(const std::string &error)> done;
};

class LiveTap {
 public:
  // Ring length in seconds of signal: the longest window with room to spare while a page reads.
  static constexpr double kRingSeconds = 80;
  static constexpr double kMaxWindowSeconds = 60;
  static constexpr uint64_t kBucket = 64;

  // `rates`: kS/s by library channel, 0 off.
  LiveTap(const std::array<int, 4> &rates, const std::array<std::string, 4> &labels);
  LiveTap(const LiveTap &) = delete;
  LiveTap &operator=(const LiveTap &) = delete;

  // --- the session's side: never waits for a page ---
  void samples(int channel, const int32_t *codes, size_t n);
  void gap(const qx470reader::Gap &g);
  void event(const LiveEvent &e);
  void status(const LiveStatus &s);
  void set_volts_per_count(double v) { volts_per_count_.store(v); }
  std::vector<LiveCommand> take_commands();

  // --- the pages' side ---
  // Each channel that is on, over the last `seconds`, in at most `columns` columns.
  std::vector<ChannelEnvelope> envelopes(double seconds, int columns) const;
  // Gaps and events that reach into the last `seconds` of the fastest channel.
  void marks_since(double from_seconds, std::vector<LiveGap> &gaps,
                   std::vector<LiveEvent> &events) const;
  LiveStatus status() const;
  void post(LiveCommand c);
  double volts_per_count() const { return volts_per_count_.load(); }
  // When the newest samples came, on the system clock (seconds since 1970; 0 before any).
  double fed() const { return fed_.load(); }
  int rate(int channel) const { return rings_[size_t(channel)].rate; }
  const std::string &label(int channel) const { return labels_[size_t(channel)]; }
  // Samples of the channel so far.
  uint64_t written(int channel) const {
    return rings_[size_t(channel)].written.load(std::memory_order_acquire);
  }

 private:
  struct Ring {
    int rate = 0;
    uint64_t mask = 0;  // samples in the ring - 1
    std::unique_ptr<uint16_t[]> raw;
    std::unique_ptr<CodeSpan[]> buckets;  // (mask + 1) / kBucket of them
    CodeSpan partial;                     // the bucket being filled
    std::atomic<uint64_t> written{0};
  };
  void put(Ring &r, uint64_t at, uint16_t code, bool fill);
  CodeSpan span(const Ring &r, int channel, uint64_t from, uint64_t to,
                const std::vector<LiveGap> &gaps) const;
  ChannelEnvelope envelope(int channel, double seconds, int columns) const;

  std::array<Ring, 4> rings_;
  std::array<std::string, 4> labels_;
  RecordingInfo names_;  // for the gaps' words, as the files say them
  std::atomic<double> volts_per_count_{0};
  std::atomic<double> fed_{0};
  mutable std::mutex mutex_;  // what follows
  std::deque<LiveGap> gaps_;
  std::deque<LiveEvent> events_;
  LiveStatus status_;
  std::vector<LiveCommand> commands_;
};

}  // namespace qx470rec
