// Continuous reading of the amplifier for any host program: the library's bounded per-boundary
// sample numbers become one 64-bit index per channel, runs are read with Get_Data_Samples
// straight into the caller's array, and every discontinuity is reported with its extent. Its
// parts judge on their own (the watch for a new stream, the check against the clock, each
// channel's cursor); the reader applies their verdicts.
//
// The reader owns the library's sample boundary while it runs (the boundary is one value for
// the whole process), so a process has at most one reader streaming at a time, and nothing else
// may call Set_Sample_Boundary or change a rate meanwhile. It reads only through the twenty
// exports of QX470USB.h.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "channel_cursor.h"
#include "clock_check.h"
#include "clock_map.h"
#include "rates.h"
#include "stream_watch.h"

namespace qx470reader {

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
  uint32_t blocks_seen() const { return watch_.last(); }
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
  // One look at the block count: a new stream, a clock note, a shortfall against the clock.
  void observe_stream();
  void begin_new_stream(const StreamLook &look);
  void credit_clock_shortfall(double blocks);
  // Samples of the channel in `blocks` whole blocks of the stream.
  double samples_in_blocks(int channel, double blocks) const;
  void step_boundary();
  ReadResult recover(int channel);
  // `ago`: how long before now the segment's first samples were taken.
  void begin_clock_segment(double ago = 0);
  std::array<uint64_t, kChannels> stream_bases() const;
  ChannelCursor &cursor(int channel) { return cursors_[static_cast<size_t>(channel)]; }
  const ChannelCursor &cursor(int channel) const { return cursors_[static_cast<size_t>(channel)]; }

  std::array<int, kChannels> rates_{};
  std::array<ChannelCursor, kChannels> cursors_{};
  int32_t steps_ = 0;  // boundary step count given to the library
  bool started_ = false;
  int streams_ = 0;
  StreamWatch watch_;
  ClockCheck check_;
  ClockMap clock_;
};

}  // namespace qx470reader
