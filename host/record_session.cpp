#include "record_session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "QX470USB.h"
#include "continuous_reader.h"
#include "record_devices.h"
#include "record_writers.h"

namespace qx470rec {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kReady = 101;
constexpr int32_t kCalMin = 300001;
constexpr int32_t kCalMax = 319999;
constexpr int32_t kChunk = 1 << 16;
constexpr int kChunksPerPass = 8;

std::string status_words(int32_t status) {
  switch (status) {
    case kReady:
      return "ready (status 101)";
    case -5:
      return no_device_words();
    case -8:
      return "the amplifier does not answer (status -8): is it powered?";
    default:
      return "unexpected status " + std::to_string(status);
  }
}

// Like the console: a second look before giving up, as a first probe can meet a device that is
// still settling.
int32_t device_status() {
  const int32_t s = Get_QX470USB_Status();
  return s == kReady ? s : Get_QX470USB_Status();
}

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

// What a warning says of a loss that only the reader's checks found: the time it covers is kept
// in the file, filled, so every later sample stays at its time.
std::string loss_words(const qx470host::Gap &g) {
  const std::string where = std::to_string(g.count) + " samples of Ch" +
                            std::to_string(g.channel + 1) + " lost from sample " +
                            std::to_string(g.index) + " on";
  if (g.kind == qx470host::GapKind::kRealign)
    return "the amplifier lost words below the library (was this machine stalled?); the stream "
           "was realigned, " +
           where;
  return "fewer samples came than the clock says were sent, and nothing reported the loss: " +
         where;
}

// Stops after Ctrl-C or SIGTERM. The library first finishes the block in progress, which the
// device is still delivering (up to 16 s at the slowest rates), so that it can be written too: the
// user is told how long it may take. A second signal leaves it unfinished: the stop goes on in its
// thread, and io.left_running tells the caller to end the program without waiting for it.
void stop_keeping_the_tail(qx470host::ContinuousReader &reader, SessionIo &io) {
  auto stopped = std::make_shared<std::atomic<bool>>(false);
  std::thread stopper([&reader, stopped] {
    reader.stop();
    stopped->store(true);
  });
  const auto begun = Clock::now();
  bool told = false;
  while (!stopped->load()) {
    if (io.stop_now && io.stop_now->load()) {
      stopper.detach();
      io.left_running = true;
      return;
    }
    if (!told && Clock::now() - begun > std::chrono::milliseconds(300)) {
      told = true;
      io.err << (io.progress ? "\n" : "") << "qx470-record: stopping: the block in progress "
             << "ends within " << seconds_text(reader.block_seconds())
             << "; Ctrl-C again to stop without it\n";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stopper.join();
}

}  // namespace

int run_show(SessionIo &io) {
  const int32_t status = device_status();
  io.out << "Device: " << status_words(status) << "\n";
  io.out << "Bridge: " << qx470host::describe(qx470host::bridge_in_use()) << "\n";
  if (status != kReady) return kExitDeviceOrFile;
  std::vector<AttachedAmplifier> amps;
  attached_amplifiers(amps);
  const char *chosen = std::getenv(kSerialVariable);
  if (chosen && *chosen)
    io.out << "Serial number: " << chosen << "\n";
  else if (amps.size() == 1)
    io.out << "Serial number: " << amps[0].serial << "\n";
  const int32_t cal = Get_Calibration_Data();
  if (cal >= kCalMin && cal <= kCalMax) {
    char vpc[32];
    std::snprintf(vpc, sizeof vpc, "%.9g", cal * 1e-9);
    io.out << "Calibration: " << cal << " nV per count (" << vpc << " V per count)\n";
  } else {
    io.out << "Calibration: not readable (read " << cal << ", valid 300001 to 319999); "
           << "recordings use " << kDefaultCalibration << "\n";
  }
  return kExitOk;
}

int run_record(const Options &opts, SessionIo &io) {
  const int32_t status = device_status();
  if (status != kReady) {
    io.err << "qx470-record: " << status_words(status) << "\n";
    return kExitDeviceOrFile;
  }
  if (Do_Cal_Off() != 1)
    io.err << "qx470-record: warning: could not switch the calibration shunt off\n";
  RecordingInfo info;
  info.rates = opts.rates;
  info.bridge = qx470host::bridge_in_use();
  info.calibration = Get_Calibration_Data();
  if (info.calibration < kCalMin || info.calibration > kCalMax) {
    io.err << "qx470-record: warning: calibration value not readable (read " << info.calibration
           << "), using " << kDefaultCalibration << " nV per count\n";
    info.calibration = kDefaultCalibration;
  }

  std::unique_ptr<Writer> writer = make_writer(opts.format);
  if (std::string e = writer->open(opts.output, info); !e.empty()) {
    io.err << "qx470-record: " << e << "\n";
    writer->finish();
    return kExitDeviceOrFile;
  }

  qx470host::ContinuousReader reader(opts.rates);
  if (!reader.start()) {
    io.err << "qx470-record: the acquisition did not start\n";
    writer->finish();
    return kExitDeviceOrFile;
  }
  const auto t0 = Clock::now();
  std::string error = writer->begin(std::chrono::system_clock::now());

  const std::array<uint64_t, 4> targets = sample_targets(opts);
  std::array<uint64_t, 4> written{};
  std::array<uint64_t, 4> lost{};
  std::array<uint64_t, 4> stretches{};
  std::vector<int32_t> buf(kChunk);
  // A stream that stops is noticed after a few blocks' time (the slowest layouts fill a block in
  // 16 s). The library reports nothing then, so the device is asked: if it is gone or silent the
  // recording ends; if it still answers, a busy machine may only have held the stream up, and
  // the recording waits longer before it gives up.
  const auto stall_limit = std::chrono::duration<double>(2.0 + 3.0 * reader.block_seconds());
  const auto stall_limit_answering =
      std::chrono::duration<double>(20.0 + 3.0 * reader.block_seconds());
  bool probed = false;
  uint32_t last_blocks = 0;
  auto last_progress = t0;
  auto last_draw = t0 - std::chrono::seconds(1);
  bool interrupted = false;
  bool stalled = false;

  const auto draw = [&](bool final_line) {
    std::string line = "\r";
    line += seconds_text(std::chrono::duration<double>(Clock::now() - t0).count());
    double behind = 0;
    uint64_t lost_total = 0;
    for (int c = 0; c < 4; ++c) {
      if (!reader.channel_on(c)) continue;
      line += "  Ch" + std::to_string(c + 1) + " " + std::to_string(written[size_t(c)]);
      behind = std::max(behind, reader.behind_seconds(c));
      lost_total += lost[size_t(c)];
    }
    char tail[96];
    std::snprintf(tail, sizeof tail, "  %s  behind %.2f s  lost %llu   ",
                  megabytes(writer->bytes()).c_str(), behind,
                  static_cast<unsigned long long>(lost_total));
    io.err << line << tail << (final_line ? "\n" : "") << std::flush;
  };

  int first_on = 0;
  while (first_on < 3 && !reader.channel_on(first_on)) ++first_on;
  // One pass over the channels: what each has, up to its target. False when nothing came.
  bool done = false;
  auto read_pass = [&]() {
    bool got_any = false;
    done = true;
    for (int c = 0; c < 4 && error.empty(); ++c) {
      const size_t i = static_cast<size_t>(c);
      if (!reader.channel_on(c)) continue;
      // A bounded share per pass, so that a stream faster than the reader cannot keep it on one
      // channel while the others fall out of the ring, nor keep it from seeing a stop request.
      for (int chunks = 0; chunks < kChunksPerPass && written[i] < targets[i] && error.empty();
           ++chunks) {
        const qx470host::ReadResult r = reader.read(c, buf.data(), kChunk);
        const uint64_t room = targets[i] - written[i];
        if (r.has_gap) {
          qx470host::Gap g = r.gap;
          g.count = std::min(g.count, room);
          if (g.count || g.kind != qx470host::GapKind::kLost) {
            if (c == first_on &&
                (g.kind == qx470host::GapKind::kRealign || g.kind == qx470host::GapKind::kClock))
              io.err << (io.progress ? "\n" : "") << "qx470-record: warning: " << loss_words(g)
                     << "\n";
            error = writer->gap(g);
            written[i] += g.count;
            lost[i] += g.count;
            ++stretches[i];
          }
          continue;
        }
        if (r.count == 0) break;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(room, uint64_t(r.count)));
        error = writer->samples(c, buf.data(), n);
        written[i] += n;
        got_any = true;
      }
      done = done && written[i] >= targets[i];
    }
    return got_any;
  };

  for (;;) {
    if (io.before_poll) io.before_poll();
    const bool got_any = read_pass();
    if (!error.empty() || done) break;
    if (io.stop && io.stop->load()) {
      interrupted = true;
      break;
    }
    const auto now = Clock::now();
    if (reader.blocks_seen() != last_blocks) {
      last_blocks = reader.blocks_seen();
      last_progress = now;
      probed = false;
    } else if (now - last_progress > stall_limit_answering) {
      stalled = true;
      break;
    } else if (now - last_progress > stall_limit && !probed) {
      probed = true;
      const int32_t status = Get_QX470USB_Status();
      if (status != kReady) {
        stalled = true;
        io.err << (io.progress ? "\n" : "") << "qx470-record: " << status_words(status) << "\n";
        break;
      }
      io.err << (io.progress ? "\n" : "") << "qx470-record: warning: no data for "
             << seconds_text(std::chrono::duration<double>(now - last_progress).count())
             << ", but the amplifier answers: waiting\n";
    }
    if (io.progress && now - last_draw > std::chrono::milliseconds(250)) {
      draw(false);
      last_draw = now;
    }
    if (!got_any) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (interrupted) {
    stop_keeping_the_tail(reader, io);
    // What the library completed while it stopped is in the ring still: a stop loses nothing.
    if (!io.left_running)
      while (error.empty() && !done && read_pass()) {
      }
  } else {
    reader.stop();
  }
  const std::string finish_error = writer->finish();
  if (error.empty()) error = finish_error;
  if (io.progress) draw(true);

  // The summary: always, one line.
  int fastest = 0;
  for (int c = 0; c < 4; ++c)
    if (reader.channel_on(c) && opts.rates[size_t(c)] > fastest) fastest = opts.rates[size_t(c)];
  uint64_t fastest_samples = 0;
  for (int c = 0; c < 4; ++c)
    if (opts.rates[size_t(c)] == fastest) fastest_samples = written[size_t(c)];
  std::string s = "qx470-record: ";
  s += seconds_text(fastest ? fastest_samples / (fastest * 1000.0) : 0) + " recorded,";
  uint64_t lost_total = 0;
  for (int c = 0; c < 4; ++c) {
    if (!reader.channel_on(c)) continue;
    s += " Ch" + std::to_string(c + 1) + " " + std::to_string(written[size_t(c)]);
    lost_total += lost[size_t(c)];
  }
  s += " samples, " + megabytes(writer->bytes()) + " to";
  for (const auto &p : writer->paths()) s += " " + p;
  if (lost_total == 0) {
    s += "; no sample lost";
  } else {
    s += "; LOST";
    for (int c = 0; c < 4; ++c)
      if (lost[size_t(c)])
        s += " Ch" + std::to_string(c + 1) + " " + std::to_string(lost[size_t(c)]) + " in " +
             std::to_string(stretches[size_t(c)]) +
             (stretches[size_t(c)] == 1 ? " stretch" : " stretches");
  }
  if (interrupted)
    s += io.left_running ? " (stopped by a second signal, without the block in progress)"
                         : " (stopped by signal)";
  io.err << s << "\n";
  if (stalled)
    io.err << "qx470-record: the amplifier sent no data for "
           << seconds_text(std::chrono::duration<double>(Clock::now() - last_progress).count())
           << "; the file holds everything received until then.\n";
  if (!error.empty()) io.err << "qx470-record: " << error << "\n";
  const int code = !error.empty() || stalled ? kExitDeviceOrFile : lost_total ? kExitLost : kExitOk;
  if (io.left_running) {
    // The library's thread is still finishing a block and the reader with it: the file is
    // complete, so the program ends here rather than tear the reader down under that thread.
    io.err.flush();
    std::fflush(nullptr);
    std::_Exit(code);
  }
  return code;
}

}  // namespace qx470rec
