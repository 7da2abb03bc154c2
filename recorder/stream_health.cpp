#include "stream_health.h"

#include <ostream>

#include "summary.h"

namespace qx470rec {

StreamHealth::StreamHealth(double block_seconds, Clock::time_point start, const SessionIo &io)
    : io_(io), watch_(block_seconds, start), last_pass_(start) {
  if (io_.resumed) resumed_seen_ = io_.resumed->load();
}

void StreamHealth::before_pass() {
  const auto now = Clock::now();
  if (io_.resumed != nullptr && io_.resumed->load() != resumed_seen_) {
    resumed_seen_ = io_.resumed->load();
    io_.err << line_break() << "qx470-record: warning: the recorder itself was stopped for "
            << seconds_text(std::chrono::duration<double>(now - last_pass_).count())
            << " (SIGSTOP or Ctrl-Z); what the amplifier sent beyond its buffer meanwhile is "
            << "lost and written as a gap\n";
    watch_.not_looked(now);
  }
  last_pass_ = now;
}

bool StreamHealth::stopped(uint32_t blocks_seen) {
  using State = qx470reader::StallWatch::State;
  if (held_) {  // the reading waited for the output: no news of the stream either way
    held_ = false;
    watch_.not_looked();
    return false;
  }
  switch (watch_.check(blocks_seen)) {
    case State::kFlowing:
      return false;
    case State::kWaiting:
      io_.err << line_break() << "qx470-record: warning: no data for "
              << seconds_text(watch_.quiet_seconds()) << ", but the amplifier answers: waiting\n";
      return false;
    case State::kGone:
      io_.err << line_break() << program_lines(qx470reader::status_words(watch_.status()));
      break;
    case State::kSilent:
      break;
  }
  stalled_ = true;
  return true;
}

}  // namespace qx470rec
