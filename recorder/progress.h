// The progress line on a terminal, redrawn in place: time, samples per channel, bytes, how far
// the reader is behind, how full the write queue is, the samples lost; at low rates, the wait for
// the first block (a block takes 16.4 s to fill at 1 kS/s on one channel).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qx470rec {

struct Progress {
  double seconds = 0;  // since the start
  std::array<bool, 4> on{};
  std::array<uint64_t, 4> written{};
  uint64_t bytes = 0;
  double behind = 0;      // seconds, the channel furthest behind
  double queue_fill = 0;  // 0 to 1
  uint64_t lost = 0;
  bool waiting_for_first_block = false;
  double block_seconds = 0;
};

// The line, from "\r" to its end (no newline).
std::string progress_line(const Progress &p);

}  // namespace qx470rec
