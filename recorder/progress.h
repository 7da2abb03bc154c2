// The progress line on a terminal, redrawn in place and fitted to its width: the time, the
// samples lost and the events first, then each channel's samples, the bytes, how full the write
// queue is and how far the reader is behind, as many as fit; at low rates, the wait for the first
// block (a block takes 16.4 s to fill at 1 kS/s on one channel).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qx470rec {

struct Progress {
  double seconds = 0;         // wall time since the start
  double signal_seconds = 0;  // of signal recorded (the fastest channel)
  std::array<bool, 4> on{};
  std::array<uint64_t, 4> written{};
  uint64_t bytes = 0;
  double behind = 0;      // seconds, the channel furthest behind
  double queue_fill = 0;  // 0 to 1
  uint64_t lost = 0;
  bool events = false;  // events come (--events): their count is shown
  uint64_t placed = 0;
  bool waiting_for_first_block = false;
  double block_seconds = 0;
  int width = 80;  // the terminal's columns
};

// The line, from "\r" to the erasure of the rest of the terminal line (no newline).
std::string progress_line(const Progress &p);

// Columns of the terminal on `fd`; 80 when it does not say.
int terminal_width(int fd);

}  // namespace qx470rec
