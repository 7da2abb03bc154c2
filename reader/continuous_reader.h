// Continuous reading of the amplifier for any host program: the library's bounded per-boundary
// sample numbers become one 64-bit index per channel, runs are read with Get_Data_Samples
// straight into the caller's array, and every discontinuity is reported with its extent.
//
// The reader owns the library's sample boundary while it runs (the boundary is one value for
// the whole process), so a process has at most one reader streaming at a time, and nothing else
// may call Set_Sample_Boundary or change a rate meanwhile. It reads only through the twenty
// exports of QX470USB.h.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>

#include "clock_map.h"
#include "rates.h"

namespace qx470reader {

enum class GapKind {
  // Samples [index, index + count) of the channel left the ring's window before they were read.
  kLost,
  // The acquisition was paused and restarted: a new stream begins at index + count. The `count`
  // samples before it were known to be complete in the old stream but were never read (usually
  // none); the time the amplifier was paused has no samples at all.
  kRestart,
  // A new stream began that this reader did not ask for: the library realigned the stream after
  // the device lost words below it (or another caller restarted it). `count` is what the old
  // stream had that was never read, plus the time until the new stream began, measured on the
  // steady clock, at the channel's rate: every later sample keeps its true time.
  kRealign,
  // The stream delivered fewer samples than the steady clock says it should have, by more than
  // a few blocks, and no layer reported a loss. `count` is the shortfall at the channel's rate,
  // placed where the reader had got to when it was found.
  kClock,
};

// "lost", "restart", "realign" or "clock", as files and messages name the kinds.
const char *gap_kind_word(GapKind kind);

// Either kind: samples [index, index + count) are missing, and the next sample read is
// index + count.
struct Gap {
  int channel = 0;
  GapKind kind = GapKind::kLost;
  uint64_t index = 0;
  uint64_t count = 0;
};

// What one read gives: `count` samples starting at `first`, or (count 0) a gap, or nothing yet.
struct ReadResult {
  uint64_t first = 0;
  int32_t count = 0;
  bool has_gap = false;
  Gap gap;
};

class ContinuousReader {
 public:
  // Rates in kS/s per library channel 0..3, 0 for a channel that is off.
  explicit ContinuousReader(const std::array<int, kChannels> &rates_ks);
  ~ContinuousReader();
  ContinuousReader(const ContinuousReader &) = delete;
  ContinuousReader &operator=(const ContinuousReader &) = delete;

  // Sets the rates and starts the acquisition. False if no channel is on, a rate is not one the
  // amplifier runs at, or the library refused to start.
  bool start();
  // Stops the acquisition. What was complete in the ring stays readable until the next start.
  void stop();
  // Pauses and restarts the acquisition: the stream begins anew, and every channel reports a
  // kRestart gap. Read everything first: what is still in the ring is gone after the restart.
  bool restart();

  // Reads the channel's next samples into `dest` (at most `capacity`), or returns the gap that
  // comes before them. A result with count 0 and no gap means nothing more is there yet.
  ReadResult read(int channel, int32_t *dest, int32_t capacity);

  bool started() const { return started_; }
  bool channel_on(int channel) const;
  int rate_ks(int channel) const;
  // Index of the channel's next sample to be read, and samples lost so far (kLost gaps).
  uint64_t next_index(int channel) const;
  uint64_t lost(int channel) const;
  // Blocks the library has completed in the current stream, as last seen.
  uint32_t blocks_seen() const { return last_blocks_; }
  // Streams begun since start (1 after start, +1 for every restart).
  int streams() const { return streams_; }
  // Boundary steps taken in the current stream.
  int32_t boundary_steps() const { return steps_; }
  // How far the reader is behind the newest complete block, in seconds of the channel's signal
  // (an estimate from Get_Current_DataPoint; never negative).
  double behind_seconds(int channel) const;
  // Real-time duration of one ring block for these rates.
  double block_seconds() const;
  // Where the samples lie on the host's clocks, as seen so far.
  const ClockMap &clock() const { return clock_; }

 private:
  using Clock = std::chrono::steady_clock;
  void observe_stream();
  void begin_new_stream(uint32_t blocks_now);
  void check_clock(uint32_t blocks, Clock::time_point now, bool changed);
  void restart_clock();
  // Samples of the channel in `blocks` whole blocks of the stream.
  double samples_in_blocks(int channel, double blocks) const;
  void step_boundary();
  ReadResult recover(int channel);

  std::array<int, kChannels> rates_{};
  std::array<uint32_t, kChannels> modulus_{};  // Get_Sample_Modulus per channel, 0 when off
  std::array<uint32_t, kChannels> next_{};     // next sample number, relative to the boundary
  std::array<uint64_t, kChannels> index_{};    // 64-bit index of that sample
  std::array<uint64_t, kChannels> lost_{};
  std::array<std::deque<Gap>, kChannels> pending_{};
  std::array<uint64_t, kChannels> stream_base_{};  // index of the current stream's sample 0
  int32_t steps_ = 0;                              // boundary step count given to the library
  uint32_t last_blocks_ = 0;
  bool started_ = false;
  int streams_ = 0;

  // The clock: when the block count was last seen to change, and the current stream's time
  // with data coming (the reader's own pauses and a device that sends nothing do not count).
  Clock::time_point last_look_{};
  Clock::time_point last_change_{};
  double quiet_seconds_ = 0;   // since the count last changed, while the reader looked
  double active_seconds_ = 0;  // of the current stream since its first block
  double anchor_blocks_ = 0;   // blocks at the first look of the current stream with data
  bool anchored_ = false;
  double credited_blocks_ = 0;  // shortfall already reported as kClock gaps
  double suspect_blocks_ = 0;   // a shortfall seen, waiting to see whether it stays
  Clock::time_point suspect_since_{};
  bool suspect_ = false;

  ClockMap clock_;
  // `ago`: how long before now the segment's first samples were taken.
  void begin_clock_segment(double ago = 0);
};

}  // namespace qx470reader
