// qx470-record's session: the reading loop over the continuous reader, moving samples, gaps and
// events to the write queue and the live bench, with progress and the summary.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "continuous_reader.h"
#include "events.h"
#include "live_bench.h"
#include "lsl_outlet.h"
#include "options.h"
#include "placement.h"
#include "recording.h"
#include "session_io.h"
#include "stream_health.h"
#include "summary.h"
#include "write_queue.h"

namespace qx470rec {

// One recording: the reader, the writer and what has gone into the file, in the steps
// run_record takes them.
class Session {
 public:
  // `writer` is null when nothing is written (the live bench alone), `live` when nothing is shown.
  Session(const Options &opts, SessionIo &io, Recording *writer, EventSources *events,
          LiveBench *live)
      : events_(events),
        live_(live),
        opts_(opts),
        io_(io),
        writer_(writer),
        reader_(opts.rates),
        targets_(sample_targets(opts)),
        buf_(kChunk) {}

  // The stream is published on the Lab Streaming Layer too.
  void publish_on(LslOutlet *outlet) { lsl_ = outlet; }

  // Starts the acquisition, the writer and the event sources. False if the library refused.
  bool start();

  // Reads until the targets are met, a signal, an error or a stream that stopped.
  void run();

  // Stops the acquisition and finishes the file. After a signal, what the library completed
  // while it stopped is read too: a stop loses nothing.
  void finish();

  // The summary, always one line, and the exit code.
  int report();

  // After the summary: the stop of a recording that has everything it asked for. When it takes
  // longer than a second the program may end without it (the files are complete); the amplifier
  // is stopped by the next start, as after any stop.
  void stop_amplifier();

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr int32_t kChunk = 1 << 16;  // samples read at once
  static uint64_t &at(std::array<uint64_t, 4> &a, int c) { return a[static_cast<size_t>(c)]; }
  static uint64_t at(const std::array<uint64_t, 4> &a, int c) { return a[static_cast<size_t>(c)]; }
  const char *line_break() const { return io_.progress ? "\n" : ""; }

  void finish_files();

  // What the page shows of the recording, a few times a second and at its end.
  void publish(bool ended);

  // Seconds of signal of the fastest channel.
  double recorded_seconds();

  // A gap goes into the file at its place, filled, up to the channel's target.
  void take_gap(int c, qx470reader::Gap g);

  // Each event that came goes to the samples the clock map gives for its time; one whose time
  // is not a time of this recording is refused, never moved to another sample.
  void place_events();

  // When the recording's first sample was taken, on the steady clock.
  std::optional<double> first_sample_steady();

  std::array<bool, 4> channels_on();

  // One pass over the channels: what each has, up to its target. False when nothing came.
  bool read_pass();

  void draw(bool final_line);

  // After Ctrl-C or SIGTERM the library first finishes the block in progress, which the device
  // is still delivering (up to 16 s at the slowest rates), so that it can be written too: the
  // user is told how long it may take. A second signal leaves it unfinished: the stop goes on in
  // its thread, and io.left_running tells the caller to end the program without waiting for it.
  void stop_keeping_the_tail();

  EventSources *events_;
  LiveBench *live_;
  LslOutlet *lsl_ = nullptr;
  LiveStatus live_base_;          // the device and the files, as run_record set them
  std::vector<Event> commanded_;  // the page's marks and device changes, still to be placed
  Clock::time_point last_publish_{};
  Clock::time_point last_block_{};
  uint32_t blocks_at_publish_ = 0;
  int streams_at_publish_ = 0;
  EventCounts counts_;
  bool stop_after_report_ = false;
  size_t segments_told_ = 0;
  const Options &opts_;
  SessionIo &io_;
  Recording *writer_;
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

// A run of the recorder from its options: checks, the device, the session. Returns the
// program's exit code.
int run_record(const Options &opts, SessionIo &io);

}  // namespace qx470rec
