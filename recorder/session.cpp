#include "session.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "amplifiers.h"
#include "continuous_reader.h"
#include "device.h"
#include "devices.h"
#include "events.h"
#include "live_bench.h"
#include "placement.h"
#include "progress.h"
#include "recording.h"
#include "stopping.h"
#include "stream_health.h"
#include "write_queue.h"

namespace qx470rec {

namespace {

using Clock = std::chrono::steady_clock;
using qx470reader::Gap;
using qx470reader::GapKind;
constexpr int kChunksPerPass = 8;

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace

bool Session::start() {
  if (!reader_.start()) return false;
  t0_ = Clock::now();
  last_draw_ = t0_ - std::chrono::seconds(1);
  last_sync_ = t0_;
  health_.emplace(reader_.block_seconds(), t0_, io_);
  if (writer_) {
    error_ = writer_->begin(std::chrono::system_clock::now());
    // Room for opts.buffer_ms of signal at these rates.
    uint64_t per_second = 0;
    for (int r : opts_.rates) per_second += r > 0 ? uint64_t(r) * 1000 : 0;
    queue_.emplace(*writer_, std::max<uint64_t>(per_second * opts_.buffer_ms / 1000, kChunk));
  }
  if (live_) live_base_ = live_->tap().status();
  while (first_on_ < 3 && !reader_.channel_on(first_on_)) ++first_on_;
  if (events_) events_->start();
  return true;
}

void Session::run() {
  for (;;) {
    if (io_.before_poll) io_.before_poll();
    health_->before_pass();
    const bool got_any = read_pass();
    if (!error_.empty() || done_) return;
    if (io_.stop && io_.stop->load()) {
      interrupted_ = true;
      return;
    }
    if (health_->stopped(reader_.blocks_seen())) return;
    tell_clock_steps(reader_.clock(), segments_told_, io_.err, line_break());
    if (live_) live_->run_commands(commanded_);
    place_events();
    publish(false);
    // The files on disk read whole at any moment, and reach the disk every second or so.
    if (queue_ && Clock::now() - last_sync_ > std::chrono::seconds(1)) {
      last_sync_ = Clock::now();
      queue_->sync(reader_.clock(), events_ ? events_->dropped() : 0);
    }
    if (io_.progress && Clock::now() - last_draw_ > std::chrono::milliseconds(250)) {
      draw(false);
      last_draw_ = Clock::now();
    }
    if (!got_any) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Session::finish() {
  if (interrupted_) {
    stop_keeping_the_tail();
    if (!io_.left_running)
      while (error_.empty() && !done_ && read_pass()) {
      }
  } else if (!done_) {
    reader_.stop();
  } else {
    // Everything asked for is in: the files are finished first, as at the slowest rates the
    // stop waits for a block that holds nothing of the recording.
    stop_after_report_ = true;
  }
  if (events_) events_->stop();
  if (live_) {
    live_->run_commands(commanded_);
    live_->leave_shunt_off(commanded_);
  }
  place_events();
  if (live_) live_->refuse_commands();
  if (writer_) finish_files();
  publish(true);
  if (io_.progress) draw(true);
}

int Session::report() {
  Summary s;
  s.seconds = recorded_seconds();
  s.on = channels_on();
  s.written = written_;
  s.lost = lost_;
  s.stretches = stretches_;
  s.bytes = writer_ ? writer_->bytes() : 0;
  if (writer_) s.paths = writer_->paths();
  s.viewed = !writer_;
  s.published = lsl_ != nullptr;
  s.events = events_ != nullptr || live_ != nullptr || lsl_ != nullptr;
  s.placed = counts_.placed;
  s.refused = counts_.refused;
  s.dropped = events_ ? events_->dropped() : 0;
  s.output_closed = output_closed_;
  s.interrupted = interrupted_;
  s.left_running = io_.left_running;
  s.stalled = health_->stalled();
  s.quiet_seconds = s.stalled ? health_->quiet_seconds() : 0;
  s.warning = writer_ ? writer_->warning() : std::string();
  s.error = error_;
  io_.err << summary_text(s);
  return exit_code(s);
}

void Session::stop_amplifier() {
  if (!stop_after_report_) return;
  stop_after_report_ = false;
  const bool stopped = stop_reader(reader_, [this](double waited) {
    return io_.may_leave_the_stop && (waited > 1.0 || (io_.stop && io_.stop->load()));
  });
  if (stopped) return;
  io_.err << "qx470-record: " << (writer_ ? "the files are complete; " : "")
          << "the library's stop waits for the block in "
          << "progress (up to " << seconds_text(reader_.block_seconds())
          << "), so the program ends without it\n";
  io_.left_running = true;
}

void Session::finish_files() {
  // The clock map as it ends, for the sidecar.
  queue_->sync(reader_.clock(), events_ ? events_->dropped() : 0);
  // Everything read goes into the files, however slow the output.
  queue_->drain();
  if (error_.empty()) error_ = queue_->error();
  const std::string finish_error = writer_->finish();
  if (error_.empty()) error_ = finish_error;
  // A reader of standard output that has had enough (`| head`) ends the recording, as a
  // normal end.
  if (!error_.empty() && writer_->output_closed()) {
    error_.clear();
    output_closed_ = true;
  }
  // After a failed write the files were cut back to what reads whole: the summary says that.
  if (!error_.empty()) {
    const std::array<uint64_t, 4> kept = writer_->samples_in_files();
    for (int c = 0; c < 4; ++c) at(written_, c) = std::min(at(written_, c), at(kept, c));
  }
}

void Session::publish(bool ended) {
  if (!live_) return;
  const auto now = Clock::now();
  if (!ended && now - last_publish_ < std::chrono::milliseconds(100)) return;
  last_publish_ = now;
  if (reader_.blocks_seen() != blocks_at_publish_ || reader_.streams() != streams_at_publish_) {
    blocks_at_publish_ = reader_.blocks_seen();
    streams_at_publish_ = reader_.streams();
    last_block_ = now;
  }
  LiveStatus s = live_base_;
  s.state = ended ? "finished" : writer_ ? "recording" : "viewing";
  s.signal_seconds = recorded_seconds();
  s.wall_seconds = seconds_since(t0_);
  s.samples = written_;
  s.lost = lost_;
  for (int c = 0; c < 4; ++c) s.gaps += at(stretches_, c);
  s.events = counts_.placed;
  s.queue_fill = queue_ ? queue_->fill() : 0;
  s.block_seconds = reader_.block_seconds();
  const double since =
      std::chrono::duration<double>(now - (last_block_ > t0_ ? last_block_ : t0_)).count();
  s.next_block_seconds = ended ? -1 : std::max(0.0, s.block_seconds - since);
  s.shunt = live_->shunt();
  live_->tap().status(s);
}

double Session::recorded_seconds() {
  int fastest = 0;
  for (int c = 0; c < 4; ++c)
    if (reader_.channel_on(c)) fastest = std::max(fastest, reader_.rate_ks(c));
  uint64_t samples = 0;
  for (int c = 0; c < 4; ++c)
    if (opts_.rates[size_t(c)] == fastest) samples = at(written_, c);
  return fastest ? samples / (fastest * 1000.0) : 0;
}

void Session::take_gap(int c, Gap g) {
  g.count = std::min(g.count, at(targets_, c) - at(written_, c));
  if (!g.count && g.kind == GapKind::kLost) return;
  if (c == first_on_ && (g.kind == GapKind::kRealign || g.kind == GapKind::kClock))
    io_.err << line_break() << "qx470-record: warning: " << loss_words(g) << "\n";
  if (queue_) queue_->gap(g);
  if (live_) live_->tap().gap(g);
  if (lsl_) lsl_->gap(g, reader_.clock());
  at(written_, c) += g.count;
  at(lost_, c) += g.count;
  ++at(stretches_, c);
}

void Session::place_events() {
  if (!events_ && commanded_.empty()) return;  // gaps reach the outlet through take_gap
  if (events_)
    for (const std::string &n : events_->take_notes())
      io_.err << line_break() << "qx470-record: warning: " << n << "\n";
  std::vector<Event> events = events_ ? events_->take() : std::vector<Event>();
  events.insert(events.end(), commanded_.begin(), commanded_.end());
  commanded_.clear();
  if (events.empty()) return;
  qx470rec::place_events(events, reader_.clock(), first_sample_steady(), steady_now(),
                         channels_on(), counts_, io_.err, line_break());
  for (const Event &e : events) {
    if (queue_) queue_->event(e);
    if (lsl_) lsl_->event(e, reader_.clock());
    if (live_ && e.refused.empty())
      live_->tap().event(
          {e.text, double(e.index[size_t(first_on_)]) / (reader_.rate_ks(first_on_) * 1000.0)});
  }
}

std::optional<double> Session::first_sample_steady() {
  const auto &segments = reader_.clock().segments();
  if (segments.empty()) return std::nullopt;
  return segments.front().steady0;
}

std::array<bool, 4> Session::channels_on() {
  std::array<bool, 4> on{};
  for (int c = 0; c < 4; ++c) on[size_t(c)] = reader_.channel_on(c);
  return on;
}

bool Session::read_pass() {
  bool got_any = false;
  done_ = true;
  if (error_.empty() && queue_) error_ = queue_->error();
  for (int c = 0; c < 4 && error_.empty(); ++c) {
    if (!reader_.channel_on(c)) continue;
    // A bounded share per pass, so that a stream faster than the reader cannot keep it on one
    // channel while the others fall out of the ring, nor keep it from seeing a stop request.
    for (int chunks = 0;
         chunks < kChunksPerPass && at(written_, c) < at(targets_, c) && error_.empty(); ++chunks) {
      // A full queue (the output has stalled) leaves the samples in the ring for now.
      if (queue_ && !queue_->has_room(kChunk)) {
        done_ = false;
        health_->output_held();
        return got_any;
      }
      const qx470reader::ReadResult r = reader_.read(c, buf_.data(), kChunk);
      if (r.has_gap) {
        take_gap(c, r.gap);
        continue;
      }
      if (r.count == 0) break;
      const size_t n = static_cast<size_t>(
          std::min<uint64_t>(at(targets_, c) - at(written_, c), uint64_t(r.count)));
      if (queue_) queue_->samples(c, buf_.data(), n);
      // The view after the files: it copies into its ring and never waits.
      if (live_) live_->tap().samples(c, buf_.data(), n);
      if (lsl_) lsl_->samples(c, buf_.data(), n, reader_.clock());
      at(written_, c) += n;
      got_any = true;
    }
    done_ = done_ && at(written_, c) >= at(targets_, c);
  }
  return got_any;
}

void Session::draw(bool final_line) {
  Progress p;
  p.seconds = seconds_since(t0_);
  p.signal_seconds = recorded_seconds();
  p.on = channels_on();
  p.written = written_;
  for (int c = 0; c < 4; ++c)
    if (reader_.channel_on(c)) p.behind = std::max(p.behind, reader_.behind_seconds(c));
  p.bytes = queue_ ? queue_->bytes() : 0;
  p.queue_fill = queue_ ? queue_->fill() : 0;
  for (int c = 0; c < 4; ++c) p.lost += reader_.channel_on(c) ? at(lost_, c) : 0;
  p.events = events_ != nullptr || live_ != nullptr;
  p.placed = counts_.placed;
  // At low rates a block takes long to fill, and nothing arrives before it does.
  p.waiting_for_first_block = reader_.blocks_seen() == 0 && reader_.streams() <= 1;
  p.block_seconds = reader_.block_seconds();
  p.width = terminal_width(STDERR_FILENO);
  io_.err << progress_line(p) << (final_line ? "\n" : "") << std::flush;
}

void Session::stop_keeping_the_tail() {
  bool told = false;
  io_.left_running = !stop_reader(reader_, [this, &told](double waited) {
    if (!told && waited > 0.3) {
      told = true;
      io_.err << line_break() << "qx470-record: stopping: the block in progress "
              << "ends within " << seconds_text(reader_.block_seconds())
              << "; Ctrl-C again to stop without it\n";
    }
    return io_.stop_now && io_.stop_now->load();
  });
}

}  // namespace qx470rec
