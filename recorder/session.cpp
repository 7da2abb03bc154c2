#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "amplifiers.h"
#include "continuous_reader.h"
#include "device.h"
#include "events.h"
#include "placement.h"
#include "write_queue.h"
#include "writer.h"

namespace qx470rec {

namespace {

using Clock = std::chrono::steady_clock;
using qx470reader::Gap;
using qx470reader::GapKind;
constexpr int32_t kChunk = 1 << 16;
constexpr int kChunksPerPass = 8;

std::string megabytes(uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

std::string seconds_text(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", s);
  return buf;
}

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// What a warning says of a loss that only the reader's checks found: the time it covers is kept
// in the file, filled, so every later sample stays at its time.
std::string loss_words(const Gap &g) {
  const std::string where = std::to_string(g.count) + " samples of Ch" +
                            std::to_string(g.channel + 1) + " lost from sample " +
                            std::to_string(g.index) + " on";
  if (g.kind == GapKind::kRealign)
    return "the amplifier lost words below the library (was this machine stalled?); the stream "
           "was realigned, " +
           where;
  return "fewer samples came than the clock says were sent, and nothing reported the loss: " +
         where;
}

// One recording: the reader, the writer and what has gone into the file, in the steps
// run_record takes them.
class Session {
 public:
  Session(const Options &opts, SessionIo &io, Writer &writer, EventSources *events)
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
    watch_.emplace(reader_.block_seconds(), t0_);
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
      const bool got_any = read_pass();
      if (!error_.empty() || done_) return;
      if (io_.stop && io_.stop->load()) {
        interrupted_ = true;
        return;
      }
      if (stream_stopped()) return;
      tell_clock_steps();
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
    } else {
      reader_.stop();
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
    std::string s = "qx470-record: " + seconds_text(recorded_seconds()) + " recorded,";
    for (int c = 0; c < 4; ++c)
      if (reader_.channel_on(c))
        s += " Ch" + std::to_string(c + 1) + " " + std::to_string(at(written_, c));
    s += " samples, " + megabytes(writer_.bytes()) + " to";
    for (const auto &p : writer_.paths()) s += " " + p;
    if (!error_.empty() && !output_closed_) {
      // The files may be cut back, or gone: nothing here speaks for what they hold.
      s += "; the recording ended early, by the error below";
    } else if (lost_total() == 0) {
      s += "; no sample lost";
    } else {
      s += "; LOST";
      for (int c = 0; c < 4; ++c)
        if (at(lost_, c))
          s += " Ch" + std::to_string(c + 1) + " " + std::to_string(at(lost_, c)) + " in " +
               std::to_string(at(stretches_, c)) +
               (at(stretches_, c) == 1 ? " stretch" : " stretches");
    }
    if (events_) {
      s += "; " + std::to_string(placed_) + (placed_ == 1 ? " event" : " events");
      if (refused_) s += ", " + std::to_string(refused_) + " refused";
      if (const uint64_t dropped = events_->dropped())
        s += ", " + std::to_string(dropped) + " dropped by the system (sent too fast)";
    }
    if (output_closed_) s += " (the output was closed)";
    if (interrupted_)
      s += io_.left_running ? " (stopped by a second signal, without the block in progress)"
                            : " (stopped by signal)";
    io_.err << s << "\n";
    if (stalled_)
      io_.err << "qx470-record: the amplifier sent no data for "
              << seconds_text(watch_->quiet_seconds())
              << "; the file holds everything received until then.\n";
    if (const std::string w = writer_.warning(); !w.empty())
      io_.err << "qx470-record: warning: " << w << "\n";
    if (!error_.empty()) io_.err << "qx470-record: " << error_ << "\n";
    return !error_.empty() || stalled_ ? kExitDeviceOrFile : lost_total() ? kExitLost : kExitOk;
  }

 private:
  static uint64_t &at(std::array<uint64_t, 4> &a, int c) { return a[static_cast<size_t>(c)]; }
  static uint64_t at(const std::array<uint64_t, 4> &a, int c) { return a[static_cast<size_t>(c)]; }
  const char *line_break() const { return io_.progress ? "\n" : ""; }

  uint64_t lost_total() {
    uint64_t total = 0;
    for (int c = 0; c < 4; ++c)
      if (reader_.channel_on(c)) total += at(lost_, c);
    return total;
  }

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
    const qx470reader::ClockMap &map = reader_.clock();
    const std::optional<double> first = first_sample_steady();
    for (Event &e : events_->take()) {
      if (e.refused.empty()) e.refused = place_event(e, map, first, steady_now(), channels_on());
      if (!e.refused.empty()) {
        if (++refused_ <= kRefusalsSaid)
          io_.err << line_break() << "qx470-record: warning: event '" << e.text
                  << "' refused: " << e.refused
                  << (refused_ == kRefusalsSaid ? " (further refusals are only counted)" : "")
                  << "\n";
      } else {
        ++placed_;
      }
      if (e.cut && ++cut_ <= kRefusalsSaid)
        io_.err << line_break() << "qx470-record: warning: an event line longer than "
                << EventSources::kLineBytes << " bytes was cut to its start\n";
      queue_->event(e);
    }
  }

  // A step of the system clock (someone set it) starts a clock segment: the samples before keep
  // their time, and the user learns why the times jump.
  void tell_clock_steps() {
    const auto &segments = reader_.clock().segments();
    for (; segments_told_ < segments.size(); ++segments_told_) {
      const qx470reader::ClockSegment &s = segments[segments_told_];
      if (s.clock_step == 0) continue;
      char text[64];
      std::snprintf(text, sizeof text, "%+.3f s", s.clock_step);
      const int ref = reader_.clock().reference();
      io_.err << line_break() << "qx470-record: warning: the system clock stepped by " << text
              << "; from sample " << s.first[size_t(ref)] << " of Ch" << ref + 1
              << " on, the recording's times follow the new clock (a new clock segment)\n";
    }
  }

  std::array<bool, 4> channels_on() {
    std::array<bool, 4> on{};
    for (int c = 0; c < 4; ++c) on[size_t(c)] = reader_.channel_on(c);
    return on;
  }

  // When the recording's first sample was taken, on the steady clock.
  std::optional<double> first_sample_steady() {
    const auto &segments = reader_.clock().segments();
    if (segments.empty()) return std::nullopt;
    return segments.front().steady0;
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
          held_ = true;
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

  // True when the stream has stopped for good: the amplifier is gone, or silent too long.
  bool stream_stopped() {
    using State = qx470reader::StallWatch::State;
    if (held_) {  // the reading waited for the output: no news of the stream either way
      held_ = false;
      watch_->not_looked();
      return false;
    }
    switch (watch_->check(reader_.blocks_seen())) {
      case State::kFlowing:
        return false;
      case State::kWaiting:
        io_.err << line_break() << "qx470-record: warning: no data for "
                << seconds_text(watch_->quiet_seconds())
                << ", but the amplifier answers: waiting\n";
        return false;
      case State::kGone:
        io_.err << line_break() << program_lines(qx470reader::status_words(watch_->status()));
        break;
      case State::kSilent:
        break;
    }
    stalled_ = true;
    return true;
  }

  void draw(bool final_line) {
    // Built in two steps: "\r" + string draws a false -Wrestrict from GCC 12 at -O3.
    std::string line = "\r";
    line += seconds_text(seconds_since(t0_));
    double behind = 0;
    for (int c = 0; c < 4; ++c) {
      if (!reader_.channel_on(c)) continue;
      line += "  Ch" + std::to_string(c + 1) + " " + std::to_string(at(written_, c));
      behind = std::max(behind, reader_.behind_seconds(c));
    }
    char tail[160];
    std::snprintf(tail, sizeof tail, "  %s  behind %.2f s  queue %.0f%%  lost %llu   ",
                  megabytes(queue_->bytes()).c_str(), behind, 100.0 * queue_->fill(),
                  static_cast<unsigned long long>(lost_total()));
    // At low rates a block takes long to fill, and nothing arrives before it does.
    if (reader_.blocks_seen() == 0 && reader_.streams() <= 1) {
      char wait[96];
      std::snprintf(wait, sizeof wait, "  waiting for the first block (%.1f s of %.1f s)",
                    seconds_since(t0_), reader_.block_seconds());
      std::strncat(tail, wait, sizeof tail - std::strlen(tail) - 1);
    }
    io_.err << line << tail << (final_line ? "\n" : "") << std::flush;
  }

  // After Ctrl-C or SIGTERM the library first finishes the block in progress, which the device
  // is still delivering (up to 16 s at the slowest rates), so that it can be written too: the
  // user is told how long it may take. A second signal leaves it unfinished: the stop goes on in
  // its thread, and io.left_running tells the caller to end the program without waiting for it.
  void stop_keeping_the_tail() {
    auto stopped = std::make_shared<std::atomic<bool>>(false);
    qx470reader::ContinuousReader &reader = reader_;
    std::thread stopper([&reader, stopped] {
      reader.stop();
      stopped->store(true);
    });
    const auto begun = Clock::now();
    bool told = false;
    while (!stopped->load()) {
      if (io_.stop_now && io_.stop_now->load()) {
        stopper.detach();
        io_.left_running = true;
        return;
      }
      if (!told && Clock::now() - begun > std::chrono::milliseconds(300)) {
        told = true;
        io_.err << line_break() << "qx470-record: stopping: the block in progress "
                << "ends within " << seconds_text(reader_.block_seconds())
                << "; Ctrl-C again to stop without it\n";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stopper.join();
  }

  static constexpr uint64_t kRefusalsSaid = 10;

  EventSources *events_;
  uint64_t placed_ = 0, refused_ = 0, cut_ = 0;
  size_t segments_told_ = 0;
  const Options &opts_;
  SessionIo &io_;
  Writer &writer_;
  qx470reader::ContinuousReader reader_;
  std::optional<qx470reader::StallWatch> watch_;
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
  bool stalled_ = false;
  bool output_closed_ = false;
  bool held_ = false;  // the last pass stopped for a full write queue
};

// The device check as the console makes it: ready, shunt off, the calibration value.
bool prepare_device(SessionIo &io, RecordingInfo &info) {
  const qx470reader::DeviceCheck d = qx470reader::check_device(true);
  if (!d.ready()) {
    io.err << program_lines(qx470reader::status_words(d.status));
    return false;
  }
  if (!d.shunt_off) io.err << "qx470-record: warning: could not switch the calibration shunt off\n";
  if (!d.calibration_valid())
    io.err << "qx470-record: warning: calibration value not readable (read " << d.calibration_read
           << "), using " << d.calibration << " nV per count\n";
  info.calibration = d.calibration;
  info.bridge = qx470reader::bridge_in_use();
  return true;
}

// The library's thread is still finishing a block and the reader with it: the file is
// complete, so the program ends here rather than tear the reader down under that thread.
[[noreturn]] void end_now(SessionIo &io, int code) {
  io.err.flush();
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace

std::string program_lines(const std::string &words) {
  std::string out;
  for (size_t from = 0, nl = 0; nl != std::string::npos; from = nl + 1) {
    nl = words.find('\n', from);
    out += "qx470-record: " + words.substr(from, nl - from) + "\n";
  }
  return out;
}

int run_show(SessionIo &io) {
  const qx470reader::DeviceCheck d = qx470reader::check_device(false);
  // The first line is the report's; further ones (why no amplifier) are the program's.
  const std::string words = program_lines(qx470reader::status_words(d.status));
  io.out << "Device: " << words.substr(std::string("qx470-record: ").size());
  io.out << "Bridge: " << qx470reader::describe(qx470reader::bridge_in_use()) << "\n";
  if (!d.ready()) return kExitDeviceOrFile;
  std::vector<qx470reader::Amplifier> amps;
  qx470reader::list_amplifiers(amps);
  if (const std::string chosen = qx470reader::chosen_amplifier(); !chosen.empty())
    io.out << "Serial number: " << chosen << "\n";
  else if (amps.size() == 1)
    io.out << "Serial number: " << amps[0].serial << "\n";
  if (d.calibration_valid()) {
    io.out << "Calibration: " << d.calibration_read << " nV per count ("
           << RecordingInfo{{}, d.calibration_read, {}}.volts_per_count_text() << " V per count)\n";
  } else {
    io.out << "Calibration: not readable (read " << d.calibration_read << ", valid "
           << qx470reader::kCalibrationMin << " to " << qx470reader::kCalibrationMax
           << "); recordings use " << d.calibration << "\n";
  }
  return kExitOk;
}

int run_record(const Options &opts, SessionIo &io) {
  // Before the device is touched: no recording replaces a file by accident, nor, even with -f,
  // a file that another recording is writing.
  for (const std::string &f : planned_files(opts.output, opts.format, opts.rates)) {
    if (const std::string holder = held_by_a_recording(f); !holder.empty()) {
      io.err << "qx470-record: " << being_recorded_words(f, holder) << "\n";
      return kExitBadArguments;
    }
    if (std::error_code ec;
        !opts.force && (std::filesystem::exists(f, ec) || std::filesystem::is_symlink(f, ec))) {
      io.err << "qx470-record: '" << f << "' exists: give -f (--force) to replace it\n";
      return kExitBadArguments;
    }
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
  if (!prepare_device(io, info)) return kExitDeviceOrFile;

  std::unique_ptr<Writer> writer = make_writer(opts.format);
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
  if (io.left_running) end_now(io, code);
  return code;
}

}  // namespace qx470rec
