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
constexpr int32_t kChunk = 1 << 16;
constexpr int kChunksPerPass = 8;

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// One recording: the reader, the writer and what has gone into the file, in the steps
// run_record takes them.
class Session {
 public:
  Session(const Options &opts, SessionIo &io, Recording &writer, EventSources *events)
      : events_(events),
        opts_(opts),
        io_(io),
        writer_(writer),
        reader_(opts.rates),
        targets_(sample_targets(opts)),
        buf_(kChunk) {}

  bool start() {
    if (!reader_.start()) return false;
    t0_ = Clock::now();
    last_draw_ = t0_ - std::chrono::seconds(1);
    last_sync_ = t0_;
    health_.emplace(reader_.block_seconds(), t0_, io_);
    error_ = writer_.begin(std::chrono::system_clock::now());
    // Room for opts.buffer_ms of signal at these rates.
    uint64_t per_second = 0;
    for (int r : opts_.rates) per_second += r > 0 ? uint64_t(r) * 1000 : 0;
    queue_.emplace(writer_, std::max<uint64_t>(per_second * opts_.buffer_ms / 1000, kChunk));
    while (first_on_ < 3 && !reader_.channel_on(first_on_)) ++first_on_;
    if (events_) events_->start();
    return true;
  }

  // Reads until the targets are met, a signal, an error or a stream that stopped.
  void run() {
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
      place_events();
      // The files on disk read whole at any moment, and reach the disk every second or so.
      if (Clock::now() - last_sync_ > std::chrono::seconds(1)) {
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

  // Stops the acquisition and finishes the file. After a signal, what the library completed
  // while it stopped is read too: a stop loses nothing.
  void finish() {
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
    place_events();
    // The clock map as it ends, for the sidecar.
    queue_->sync(reader_.clock(), events_ ? events_->dropped() : 0);
    // Everything read goes into the files, however slow the output.
    queue_->drain();
    if (error_.empty()) error_ = queue_->error();
    const std::string finish_error = writer_.finish();
    if (error_.empty()) error_ = finish_error;
    // A reader of standard output that has had enough (`| head`) ends the recording, as a
    // normal end.
    if (!error_.empty() && writer_.output_closed()) {
      error_.clear();
      output_closed_ = true;
    }
    // After a failed write the files were cut back to what reads whole: the summary says that.
    if (!error_.empty()) {
      const std::array<uint64_t, 4> kept = writer_.samples_in_files();
      for (int c = 0; c < 4; ++c) at(written_, c) = std::min(at(written_, c), at(kept, c));
    }
    if (io_.progress) draw(true);
  }

  // The summary, always one line, and the exit code.
  int report() {
    Summary s;
    s.seconds = recorded_seconds();
    s.on = channels_on();
    s.written = written_;
    s.lost = lost_;
    s.stretches = stretches_;
    s.bytes = writer_.bytes();
    s.paths = writer_.paths();
    s.events = events_ != nullptr;
    s.placed = counts_.placed;
    s.refused = counts_.refused;
    s.dropped = events_ ? events_->dropped() : 0;
    s.output_closed = output_closed_;
    s.interrupted = interrupted_;
    s.left_running = io_.left_running;
    s.stalled = health_->stalled();
    s.quiet_seconds = s.stalled ? health_->quiet_seconds() : 0;
    s.warning = writer_.warning();
    s.error = error_;
    io_.err << summary_text(s);
    return exit_code(s);
  }

  // After the summary: the stop of a recording that has everything it asked for. When it takes
  // longer than a second the program may end without it (the files are complete); the amplifier
  // is stopped by the next start, as after any stop.
  void stop_amplifier() {
    if (!stop_after_report_) return;
    stop_after_report_ = false;
    const bool stopped = stop_reader(reader_, [this](double waited) {
      return io_.may_leave_the_stop && (waited > 1.0 || (io_.stop && io_.stop->load()));
    });
    if (stopped) return;
    io_.err << "qx470-record: the files are complete; the library's stop waits for the block in "
            << "progress (up to " << seconds_text(reader_.block_seconds())
            << "), so the program ends without it\n";
    io_.left_running = true;
  }

 private:
  static uint64_t &at(std::array<uint64_t, 4> &a, int c) { return a[static_cast<size_t>(c)]; }
  static uint64_t at(const std::array<uint64_t, 4> &a, int c) { return a[static_cast<size_t>(c)]; }
  const char *line_break() const { return io_.progress ? "\n" : ""; }

  // Seconds of signal of the fastest channel.
  double recorded_seconds() {
    int fastest = 0;
    for (int c = 0; c < 4; ++c)
      if (reader_.channel_on(c)) fastest = std::max(fastest, reader_.rate_ks(c));
    uint64_t samples = 0;
    for (int c = 0; c < 4; ++c)
      if (opts_.rates[size_t(c)] == fastest) samples = at(written_, c);
    return fastest ? samples / (fastest * 1000.0) : 0;
  }

  // A gap goes into the file at its place, filled, up to the channel's target.
  void take_gap(int c, Gap g) {
    g.count = std::min(g.count, at(targets_, c) - at(written_, c));
    if (!g.count && g.kind == GapKind::kLost) return;
    if (c == first_on_ && (g.kind == GapKind::kRealign || g.kind == GapKind::kClock))
      io_.err << line_break() << "qx470-record: warning: " << loss_words(g) << "\n";
    queue_->gap(g);
    at(written_, c) += g.count;
    at(lost_, c) += g.count;
    ++at(stretches_, c);
  }

  // Each event that came goes to the samples the clock map gives for its time; one whose time
  // is not a time of this recording is refused, never moved to another sample.
  void place_events() {
    if (!events_) return;
    std::vector<Event> events = events_->take();
    qx470rec::place_events(events, reader_.clock(), first_sample_steady(), steady_now(),
                           channels_on(), counts_, io_.err, line_break());
    for (const Event &e : events) queue_->event(e);
  }

  // When the recording's first sample was taken, on the steady clock.
  std::optional<double> first_sample_steady() {
    const auto &segments = reader_.clock().segments();
    if (segments.empty()) return std::nullopt;
    return segments.front().steady0;
  }

  std::array<bool, 4> channels_on() {
    std::array<bool, 4> on{};
    for (int c = 0; c < 4; ++c) on[size_t(c)] = reader_.channel_on(c);
    return on;
  }

  // One pass over the channels: what each has, up to its target. False when nothing came.
  bool read_pass() {
    bool got_any = false;
    done_ = true;
    if (error_.empty()) error_ = queue_->error();
    for (int c = 0; c < 4 && error_.empty(); ++c) {
      if (!reader_.channel_on(c)) continue;
      // A bounded share per pass, so that a stream faster than the reader cannot keep it on one
      // channel while the others fall out of the ring, nor keep it from seeing a stop request.
      for (int chunks = 0;
           chunks < kChunksPerPass && at(written_, c) < at(targets_, c) && error_.empty();
           ++chunks) {
        // A full queue (the output has stalled) leaves the samples in the ring for now.
        if (!queue_->has_room(kChunk)) {
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
        queue_->samples(c, buf_.data(), n);
        at(written_, c) += n;
        got_any = true;
      }
      done_ = done_ && at(written_, c) >= at(targets_, c);
    }
    return got_any;
  }

  void draw(bool final_line) {
    Progress p;
    p.seconds = seconds_since(t0_);
    p.signal_seconds = recorded_seconds();
    p.on = channels_on();
    p.written = written_;
    for (int c = 0; c < 4; ++c)
      if (reader_.channel_on(c)) p.behind = std::max(p.behind, reader_.behind_seconds(c));
    p.bytes = queue_->bytes();
    p.queue_fill = queue_->fill();
    for (int c = 0; c < 4; ++c) p.lost += reader_.channel_on(c) ? at(lost_, c) : 0;
    p.events = events_ != nullptr;
    p.placed = counts_.placed;
    // At low rates a block takes long to fill, and nothing arrives before it does.
    p.waiting_for_first_block = reader_.blocks_seen() == 0 && reader_.streams() <= 1;
    p.block_seconds = reader_.block_seconds();
    p.width = terminal_width(STDERR_FILENO);
    io_.err << progress_line(p) << (final_line ? "\n" : "") << std::flush;
  }

  // After Ctrl-C or SIGTERM the library first finishes the block in progress, which the device
  // is still delivering (up to 16 s at the slowest rates), so that it can be written too: the
  // user is told how long it may take. A second signal leaves it unfinished: the stop goes on in
  // its thread, and io.left_running tells the caller to end the program without waiting for it.
  void stop_keeping_the_tail() {
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

  EventSources *events_;
  EventCounts counts_;
  bool stop_after_report_ = false;
  size_t segments_told_ = 0;
  const Options &opts_;
  SessionIo &io_;
  Recording &writer_;
  qx470reader::ContinuousReader reader_;
  std::optional<StreamHealth> health_;
  std::optional<WriteQueue> queue_;
  const std::array<uint64_t, 4> targets_;
  std::array<uint64_t, 4> written_{};
  std::array<uint64_t, 4> lost_{};
  std::array<uint64_t, 4> stretches_{};
  std::vector<int32_t> buf_;
  Clock::time_point t0_{};
  Clock::time_point last_draw_{};
  Clock::time_point last_sync_{};
  std::string error_;
  int first_on_ = 0;
  bool done_ = false;
  bool interrupted_ = false;
  bool output_closed_ = false;
};

// The library's thread is still finishing a block and the reader with it: the file is
// complete, so the program ends here rather than tear the reader down under that thread.
[[noreturn]] void end_now(SessionIo &io, int code) {
  io.err.flush();
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace

int run_record(const Options &opts, SessionIo &io) {
  // Before the device is touched: no recording replaces a file by accident, nor, even with -f,
  // a file that another recording is writing.
  if (const std::string e =
          outputs_taken(planned_files(opts.output, opts.format, opts.rates), opts.force);
      !e.empty()) {
    io.err << "qx470-record: " << e << "\n";
    return kExitBadArguments;
  }
  // Event sources open before the device is touched, so a port in use is said at once.
  EventSources events;
  for (const std::string &source : opts.events) {
    bool bad_argument = false;
    if (std::string e = events.add(source, bad_argument); !e.empty()) {
      io.err << "qx470-record: " << e << "\n";
      return bad_argument ? kExitBadArguments : kExitDeviceOrFile;
    }
  }
  RecordingInfo info;
  info.rates = opts.rates;
  info.replace_files = opts.force;
  info.events = !opts.events.empty();
  info.volts = opts.volts;
  info.names = opts.labels;
  info.subject = opts.subject;
  info.meta = opts.meta;
  if (!prepare_device(io, info, !opts.quiet)) return kExitDeviceOrFile;

  auto writer = std::make_unique<Recording>(opts.format);
  if (std::string e = writer->open(opts.output, info); !e.empty()) {
    io.err << "qx470-record: " << e << "\n";
    writer->finish();
    return kExitDeviceOrFile;
  }
  Session session(opts, io, *writer, events.empty() ? nullptr : &events);
  if (!session.start()) {
    io.err << "qx470-record: the acquisition did not start\n";
    writer->finish();
    return kExitDeviceOrFile;
  }
  session.run();
  session.finish();
  const int code = session.report();
  session.stop_amplifier();
  if (io.left_running) end_now(io, code);
  return code;
}

}  // namespace qx470rec
