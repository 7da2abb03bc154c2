// What a recording says when it ends: one summary line, then the stall, the files' warning and
// the error, each as the program's own line; and the exit code that goes with them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "channel_cursor.h"

namespace qx470rec {

constexpr int kExitOk = 0;
constexpr int kExitDeviceOrFile = 1;
constexpr int kExitBadArguments = 2;
constexpr int kExitLost = 3;

struct Summary {
  double seconds = 0;                   // of signal, of the fastest channel
  std::array<bool, 4> on{};             // channels recorded
  std::array<uint64_t, 4> written{};    // samples in the files, gaps included
  std::array<uint64_t, 4> lost{};       // samples in gaps
  std::array<uint64_t, 4> stretches{};  // gaps
  uint64_t bytes = 0;
  std::vector<std::string> paths;
  bool viewed = false;     // no file: the live bench or the LSL outlet alone
  bool published = false;  // on the Lab Streaming Layer
  bool events = false;     // --events was given
  uint64_t placed = 0, refused = 0, dropped = 0;
  bool output_closed = false;  // the reader of standard output went away
  bool interrupted = false;    // a signal ended it
  bool left_running = false;   // a second signal: without the block in progress
  bool stalled = false;        // the amplifier stopped sending
  double quiet_seconds = 0;    // how long it had sent nothing, when stalled
  std::string warning;         // the files', once they are finished
  std::string error;

  uint64_t lost_total() const;
};

std::string summary_text(const Summary &s);
int exit_code(const Summary &s);

// What a warning says of a loss that only the reader's checks found (a realigned stream, a
// shortfall against the clock).
std::string loss_words(const qx470reader::Gap &g);

// Each line of shared words said as the program's own: "qx470-record: " before it.
std::string program_lines(const std::string &words);

// "1.234 s", "2.5 MB": as the summary and the progress line write them.
std::string seconds_text(double s);
std::string megabytes(uint64_t bytes);

}  // namespace qx470rec
