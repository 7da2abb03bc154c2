#include "progress.h"

#include <sys/ioctl.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "summary.h"

namespace qx470rec {

namespace {

struct Field {
  int importance;  // the lowest goes first when the line is too long
  std::string text;
};

std::string printed(const char *format, double a, double b = 0) {
  char buf[96];
  std::snprintf(buf, sizeof buf, format, a, b);
  return buf;
}

}  // namespace

std::string progress_line(const Progress &p) {
  std::vector<Field> fields;
  // Signal and wall time part where they differ (a simulator run faster than real time, or a
  // reader that fell behind).
  const bool apart = std::fabs(p.signal_seconds - p.seconds) > std::max(0.5, 0.05 * p.seconds);
  fields.push_back({9, apart ? printed("%.1f s signal, %.1f s wall", p.signal_seconds, p.seconds)
                             : seconds_text(p.seconds)});
  for (size_t c = 0; c < 4; ++c)
    if (p.on[c])
      fields.push_back({4, "Ch" + std::to_string(c + 1) + " " + std::to_string(p.written[c])});
  fields.push_back({3, megabytes(p.bytes)});
  fields.push_back({2, printed("queue %.0f%%", 100.0 * p.queue_fill)});
  fields.push_back({1, printed("behind %.2f s", p.behind)});
  fields.push_back({8, "lost " + std::to_string(p.lost)});
  if (p.events)
    fields.push_back({7, std::to_string(p.placed) + (p.placed == 1 ? " event" : " events")});
  if (p.waiting_for_first_block)
    fields.push_back(
        {6, printed("waiting for the first block (%.1f s of %.1f s)", p.seconds, p.block_seconds)});
  // The last column stays free: a line that fills it wraps on many terminals.
  const size_t room = static_cast<size_t>(std::max(p.width - 1, 20));
  const auto length = [&] {
    size_t n = 0;
    for (const Field &f : fields) n += f.text.size() + (n ? 2 : 0);
    return n;
  };
  while (length() > room && fields.size() > 1) {
    auto least = fields.begin();
    for (auto it = fields.begin(); it != fields.end(); ++it)
      if (it->importance < least->importance) least = it;
    fields.erase(least);
  }
  std::string line = "\r";
  for (const Field &f : fields) {
    if (line.size() > 1) line += "  ";
    line += f.text;
  }
  if (line.size() > room + 1) line.resize(room + 1);
  return line + "\x1b[K";
}

int terminal_width(int fd) {
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

}  // namespace qx470rec
