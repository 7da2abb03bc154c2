#include "progress.h"

#include <cstdio>

#include "summary.h"

namespace qx470rec {

std::string progress_line(const Progress &p) {
  // Built in steps: "\r" + string draws a false -Wrestrict from GCC 12 at -O3.
  std::string line = "\r";
  line += seconds_text(p.seconds);
  for (size_t c = 0; c < 4; ++c)
    if (p.on[c]) line += "  Ch" + std::to_string(c + 1) + " " + std::to_string(p.written[c]);
  char tail[160];
  std::snprintf(tail, sizeof tail, "  %s  behind %.2f s  queue %.0f%%  lost %llu   ",
                megabytes(p.bytes).c_str(), p.behind, 100.0 * p.queue_fill,
                static_cast<unsigned long long>(p.lost));
  line += tail;
  if (p.waiting_for_first_block) {
    char wait[96];
    std::snprintf(wait, sizeof wait, "  waiting for the first block (%.1f s of %.1f s)", p.seconds,
                  p.block_seconds);
    line += wait;
  }
  return line;
}

}  // namespace qx470rec
