// How far ahead of the device the recorder keeps up, and what it costs in real time.
//   qx470_record_bench speed [seconds of signal, default 60] [speed factors...]
//       for each factor: a host loop that only reads the runs (the baseline), then qx470-record's
//       session writing EDF+; both with all four channels at 100 kS/s. Counts samples lost by the
//       reader, words the simulated bridge dropped, and samples read back wrong from the file.
//   qx470_record_bench realtime [seconds, default 600]
//       one real-time recording to EDF+; the CPU share of the process and of the recording
//       thread, and the file checked sample by sample.
#include <edflib.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QX470USB.h"
#include "continuous_reader.h"
#include "qxsim.h"
#include "options.h"
#include "session.h"

namespace {

constexpr uint64_t kPrimed = 3;  // priming discards three frames of four words

double cpu_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void fresh_simulator(double speed) {
  Stop_Acquisition();
  qxsim_reset();
  qxsim_set_signal(1);
  qxsim_set_speed(speed);
}

struct LoopResult {
  uint64_t lost = 0;
  unsigned long long dropped = 0;
  uint64_t wrong = 0;
};

// The baseline: the continuous reader alone, every sample checked, nothing written.
LoopResult read_only(double speed, double seconds) {
  fresh_simulator(speed);
  qx470reader::ContinuousReader reader({100, 100, 100, 100});
  LoopResult r;
  if (!reader.start()) return {~0ull, 0, 0};
  const uint64_t target = static_cast<uint64_t>(seconds * 100000);
  std::vector<int32_t> buf(1 << 16);
  bool done = false;
  while (!done) {
    done = true;
    bool got = false;
    for (int c = 0; c < 4; ++c) {
      for (int chunks = 0; chunks < 8 && reader.next_index(c) < target; ++chunks) {
        const auto res = reader.read(c, buf.data(), static_cast<int32_t>(buf.size()));
        if (res.has_gap) continue;
        if (res.count == 0) break;
        got = true;
        for (int32_t i = 0; i < res.count; ++i)
          r.wrong += static_cast<uint32_t>(buf[size_t(i)]) !=
                     qxsim_pattern_value(c, unsigned(res.first + uint64_t(i) + kPrimed));
      }
      done = done && reader.next_index(c) >= target;
    }
    if (!got && !done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (int c = 0; c < 4; ++c) r.lost += reader.lost(c);
  r.dropped = qxsim_lost_words();
  reader.stop();
  return r;
}

uint64_t wrong_in_edf(const std::string &path, uint64_t samples) {
  auto hdr = std::make_unique<edf_hdr_struct>();
  if (edfopen_file_readonly(path.c_str(), hdr.get(), EDFLIB_DO_NOT_READ_ANNOTATIONS) != 0)
    return ~0ull;
  uint64_t wrong = 0;
  std::vector<int> v(100000);
  for (int s = 0; s < hdr->edfsignals; ++s) {
    for (uint64_t at = 0; at < samples; at += v.size()) {
      const int n = edfread_digital_samples(hdr->handle, s, int(v.size()), v.data());
      if (n <= 0) return ~0ull;
      for (int i = 0; i < n && at + uint64_t(i) < samples; ++i)
        wrong += v[size_t(i)] !=
                 int(int16_t(qxsim_pattern_value(s, unsigned(at + uint64_t(i) + kPrimed)) - 32768));
    }
  }
  edfclose_file(hdr->handle);
  return wrong;
}

struct RecordResult {
  int code = -1;
  unsigned long long dropped = 0;
  uint64_t wrong = 0;
  double process_cpu = 0, thread_cpu = 0, wall = 0;
  std::string summary;
};

RecordResult record_edf(double speed, uint64_t seconds, const std::string &path) {
  fresh_simulator(speed);
  qx470rec::Options opts;
  opts.rates = {100, 100, 100, 100};
  opts.duration_ms = seconds * 1000;
  opts.output = path;
  opts.format = qx470rec::Format::kEdf;
  opts.quiet = true;
  std::ostringstream out, err;
  qx470rec::SessionIo io{out, err, false, nullptr, {}};
  RecordResult r;
  const double p0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
  const double t0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
  const auto w0 = std::chrono::steady_clock::now();
  r.code = qx470rec::run_record(opts, io);
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  r.process_cpu = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - p0;
  r.thread_cpu = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - t0;
  r.dropped = qxsim_lost_words();
  r.summary = err.str();
  r.wrong = wrong_in_edf(path, seconds * 100000);
  return r;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "speed";
  const std::string path = "/tmp/qx470_record_bench_" + std::to_string(getpid()) + ".edf";
  if (mode == "realtime") {
    const uint64_t seconds = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 600;
    const RecordResult r = record_edf(1.0, seconds, path);
    std::printf("real time, 4 x 100 kS/s into EDF+ for %llu s of signal (%.1f s wall)\n",
                static_cast<unsigned long long>(seconds), r.wall);
    std::printf("%s", r.summary.c_str());
    std::printf("exit code %d, words dropped by the simulated bridge %llu, samples wrong %llu\n",
                r.code, r.dropped, static_cast<unsigned long long>(r.wrong));
    std::printf(
        "CPU per second of signal: process %.2f %% of a core, recording thread (reader and "
        "EDF+ writer) %.2f %%, acquisition thread with the simulated bridge %.2f %%\n",
        100 * r.process_cpu / r.wall, 100 * r.thread_cpu / r.wall,
        100 * (r.process_cpu - r.thread_cpu) / r.wall);
    std::remove(path.c_str());
    return r.code == 0 && r.dropped == 0 && r.wrong == 0 ? 0 : 1;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 60;
  std::vector<double> speeds;
  for (int i = 3; i < argc; ++i) speeds.push_back(std::atof(argv[i]));
  if (speeds.empty()) speeds = {10, 25, 50, 75, 100, 150, 200, 300};
  std::printf("%s of signal per run, all four channels at 100 kS/s\n",
              std::to_string(seconds).c_str());
  std::printf("%8s | %-38s | %-48s\n", "speed", "read only: lost / dropped / wrong",
              "EDF+ recorder: exit / dropped / wrong / wall s");
  double best_read = 0, best_record = 0;
  bool read_ok = true, record_ok = true;
  for (double s : speeds) {
    const LoopResult b = read_only(s, seconds);
    const RecordResult r = record_edf(s, static_cast<uint64_t>(seconds), path);
    const bool b_clean = b.lost == 0 && b.dropped == 0 && b.wrong == 0;
    const bool r_clean = r.code == 0 && r.dropped == 0 && r.wrong == 0;
    std::printf("%8.0f | %12llu / %10llu / %8llu | %5d / %10llu / %8llu / %7.2f\n", s,
                static_cast<unsigned long long>(b.lost), b.dropped,
                static_cast<unsigned long long>(b.wrong), r.code, r.dropped,
                static_cast<unsigned long long>(r.wrong), r.wall);
    std::fflush(stdout);
    read_ok = read_ok && b_clean;
    record_ok = record_ok && r_clean;
    if (read_ok) best_read = s;
    if (record_ok) best_record = s;
  }
  std::remove(path.c_str());
  std::printf("highest speed without a lost or wrong sample: read only %.0f, EDF+ recorder %.0f\n",
              best_read, best_record);
  return 0;
}
