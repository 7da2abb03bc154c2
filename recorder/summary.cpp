#include "summary.h"

#include <cstdio>

namespace qx470rec {

std::string seconds_text(double s) {
  char buf[48];
  // A time far from any recording's (a sender's clock gone wrong) in its order of magnitude.
  std::snprintf(buf, sizeof buf, s < 1e9 ? "%.3f s" : "%.3g s", s);
  return buf;
}

std::string megabytes(uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

uint64_t Summary::lost_total() const {
  uint64_t total = 0;
  for (size_t c = 0; c < 4; ++c)
    if (on[c]) total += lost[c];
  return total;
}

std::string summary_text(const Summary &r) {
  std::string s = "qx470-record: " + seconds_text(r.seconds) +
                  (!r.viewed     ? " recorded,"
                   : r.published ? " published,"
                                 : " viewed,");
  for (size_t c = 0; c < 4; ++c)
    if (r.on[c]) s += " Ch" + std::to_string(c + 1) + " " + std::to_string(r.written[c]);
  s += " samples";
  if (!r.viewed) s += ", " + megabytes(r.bytes) + " to";
  for (const auto &p : r.paths) s += " " + p;
  if (!r.error.empty() && !r.output_closed) {
    // The files may be cut back, or gone: nothing here speaks for what they hold.
    s += "; the recording ended early, by the error below";
  } else if (r.lost_total() == 0) {
    s += "; no sample lost";
  } else {
    s += "; LOST";
    for (size_t c = 0; c < 4; ++c)
      if (r.lost[c])
        s += " Ch" + std::to_string(c + 1) + " " + std::to_string(r.lost[c]) + " in " +
             std::to_string(r.stretches[c]) + (r.stretches[c] == 1 ? " stretch" : " stretches");
  }
  if (r.events) {
    s += "; " + std::to_string(r.placed) + (r.placed == 1 ? " event" : " events");
    if (r.refused) s += ", " + std::to_string(r.refused) + " refused";
    if (r.dropped) s += ", " + std::to_string(r.dropped) + " dropped by the system (sent too fast)";
  }
  if (r.output_closed) s += " (the output was closed)";
  if (r.interrupted)
    s += r.left_running ? " (stopped by a second signal, without the block in progress)"
                        : " (stopped by signal)";
  s += "\n";
  if (r.stalled)
    s += "qx470-record: the amplifier sent no data for " + seconds_text(r.quiet_seconds) +
         (r.viewed ? ".\n" : "; the file holds everything received until then.\n");
  if (!r.warning.empty()) s += "qx470-record: warning: " + r.warning + "\n";
  if (!r.error.empty()) s += "qx470-record: " + r.error + "\n";
  return s;
}

int exit_code(const Summary &s) {
  if (!s.error.empty() || s.stalled) return kExitDeviceOrFile;
  return s.lost_total() ? kExitLost : kExitOk;
}

std::string program_lines(const std::string &words) {
  std::string out;
  for (size_t from = 0, nl = 0; nl != std::string::npos; from = nl + 1) {
    nl = words.find('\n', from);
    out += "qx470-record: " + words.substr(from, nl - from) + "\n";
  }
  return out;
}

// What a warning says of a loss that only the reader's checks found: the time it covers is kept
// in the file, filled, so every later sample stays at its time.
std::string loss_words(const qx470reader::Gap &g) {
  const std::string where = std::to_string(g.count) + " samples of Ch" +
                            std::to_string(g.channel + 1) + " lost from sample " +
                            std::to_string(g.index) + " on";
  if (g.kind == qx470reader::GapKind::kRealign)
    return "the amplifier lost words below the library (was this machine stalled?); the stream "
           "was realigned, " +
           where;
  return "fewer samples came than the clock says were sent, and nothing reported the loss: " +
         where;
}

}  // namespace qx470rec
