// One channel's place in the stream: the library's sample number relative to the boundary, the
// 64-bit index it stands for, what was lost, and the gaps still to be handed out before the
// samples that follow them.
#pragma once

#include <cstdint>
#include <deque>

#include "qx470_reader.h"

namespace qx470reader {

// The values are the C interface's, so that the two faces of the reader cannot disagree.
enum class GapKind : int32_t {
  // Samples [index, index + count) of the channel left the ring's window before they were read.
  kLost = QX470_GAP_LOST,
  // The acquisition was paused and restarted: a new stream begins at index + count. The `count`
  // samples before it were known to be complete in the old stream but were never read (usually
  // none); the time the amplifier was paused has no samples at all.
  kRestart = QX470_GAP_RESTART,
  // A new stream began that this reader did not ask for: the library realigned the stream after
  // the device lost words below it (or another caller restarted it). `count` is what the old
  // stream had that was never read, plus the time until the new stream began, measured on the
  // steady clock, at the channel's rate: every later sample keeps its true time.
  kRealign = QX470_GAP_REALIGN,
  // The stream delivered fewer samples than the steady clock says it should have, by more than
  // a few blocks, and no layer reported a loss. `count` is the shortfall at the channel's rate,
  // placed where the reader had got to when it was found.
  kClock = QX470_GAP_CLOCK,
};

// "lost", "restart", "realign" or "clock", as files and messages name the kinds; nullptr for a
// number that is no kind.
const char *gap_kind_word(GapKind kind);

// Either kind: samples [index, index + count) are missing, and the next sample read is
// index + count.
struct Gap {
  int channel = 0;
  GapKind kind = GapKind::kLost;
  uint64_t index = 0;
  uint64_t count = 0;
};

struct ChannelCursor {
  uint32_t modulus = 0;      // Get_Sample_Modulus, 0 when off
  uint32_t next = 0;         // next sample number, relative to the boundary
  uint64_t index = 0;        // 64-bit index of that sample
  uint64_t lost = 0;         // samples in gaps so far
  uint64_t stream_base = 0;  // index of the current stream's sample 0
  std::deque<Gap> pending;   // gaps to hand out before the next samples

  void reset(uint32_t sample_modulus);
  // `count` samples at the cursor are missing: a gap to hand out, and the index moves past it.
  Gap skip(int channel, GapKind kind, uint64_t count);
  // A new stream begins at the index: its sample numbers start from 0.
  void begin_stream();
  // `n` samples were read.
  void took(uint32_t n);
};

}  // namespace qx470reader
