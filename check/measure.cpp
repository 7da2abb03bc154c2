#include "measure.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>

namespace qx470check {

namespace {

double cpu_now() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string reader_error(const char *what, int32_t result) {
  return std::string(what) + ": " + qx470_result_words(result);
}

// The rate of the reference channel against the host clock, from the reader's clock map.
void time_the_rate(qx470_reader *r, Acquisition &a) {
  std::vector<qx470_clock_segment> segs(
      static_cast<size_t>(std::max(0, qx470_reader_clock_segments(r, nullptr, 0))));
  if (segs.empty()) return;
  const int32_t n = qx470_reader_clock_segments(r, segs.data(), static_cast<int32_t>(segs.size()));
  if (n <= 0) return;
  const qx470_clock_segment &s = segs[static_cast<size_t>(n - 1)];
  const int32_t ref_ks = a.rates_ks[static_cast<size_t>(s.reference)];
  if (s.notes < 3 || s.seconds_per_sample <= 0 || ref_ks <= 0) return;
  const double nominal = 1.0 / (ref_ks * 1000.0);
  a.ppm = (nominal / s.seconds_per_sample - 1.0) * 1e6;
  const uint64_t ref_samples = a.samples[static_cast<size_t>(s.reference)];
  const uint64_t first = s.first[s.reference];
  a.timed_s = ref_samples > first ? static_cast<double>(ref_samples - first) * nominal : 0;
  // The slope's standard error for notes spread evenly over the stretch: how much a loaded
  // machine's late notes leave the rate uncertain.
  if (a.timed_s > 0)
    a.ppm_error = s.residual * std::sqrt(12.0 / static_cast<double>(s.notes)) / a.timed_s * 1e6;
}

}  // namespace

Tone::Tone(double hz, double sample_rate)
    : coeff_(2.0 * std::cos(2.0 * std::numbers::pi * hz / sample_rate)) {}

double Tone::rms(uint64_t n) const {
  if (n == 0) return 0;
  const double power = s1_ * s1_ + s2_ * s2_ - coeff_ * s1_ * s2_;
  return std::sqrt(std::max(0.0, power)) * 2.0 / static_cast<double>(n) / std::numbers::sqrt2;
}

ChannelStats::ChannelStats(double sample_rate) : hz50(50, sample_rate), hz60(60, sample_rate) {}

void ChannelStats::add(int32_t code) {
  const double x = code - 32768.0;
  ++n;
  sum_ += x;
  sum_squares_ += x * x;
  min = std::min(min, code);
  max = std::max(max, code);
  if (code <= 0 || code >= 65535) ++at_ends;
  hz50.add(x);
  hz60.add(x);
}

double ChannelStats::mean_counts() const {
  return n ? sum_ / static_cast<double>(n) : 0;
}

double ChannelStats::rms_counts() const {
  if (n < 2) return 0;
  const double m = mean_counts();
  return std::sqrt(std::max(0.0, sum_squares_ / static_cast<double>(n) - m * m));
}

double block_seconds(const std::array<int32_t, 4> &rates_ks) {
  double words_per_second = 0;
  for (int32_t r : rates_ks) words_per_second += std::max(0, r) * 1000.0;
  return words_per_second > 0 ? kBlockWords / words_per_second : 0;
}

Acquisition acquire(const std::array<int32_t, 4> &rates_ks, double seconds,
                    const std::atomic<bool> &stop) {
  Acquisition a;
  a.rates_ks = rates_ks;
  for (size_t c = 0; c < 4; ++c) a.stats[c] = ChannelStats(std::max(1, rates_ks[c]) * 1000.0);
  uint64_t targets[4] = {};
  char why[200] = "";
  if (const int32_t rc =
          qx470_sample_targets(rates_ks.data(), seconds, 0, targets, why, sizeof why);
      rc != QX470_OK) {
    a.error = why;
    return a;
  }
  qx470_reader *r = nullptr;
  if (const int32_t rc = qx470_reader_open(rates_ks.data(), &r); rc != QX470_OK) {
    a.error = reader_error("the reader could not be opened", rc);
    return a;
  }
  const double cpu0 = cpu_now();
  const auto t0 = std::chrono::steady_clock::now();
  // Long enough for every sample asked for and the blocks around them, on a loaded machine.
  const auto deadline =
      t0 + std::chrono::duration<double>(seconds * 2 + 10 + 4 * block_seconds(rates_ks));
  if (const int32_t rc = qx470_reader_start(r); rc != QX470_OK) {
    a.error = reader_error("the acquisition did not start", rc);
    qx470_reader_close(r);
    return a;
  }
  std::vector<int32_t> buf(1 << 16);
  for (;;) {
    bool done = true, moved = false;
    for (int32_t c = 0; c < 4 && a.error.empty(); ++c) {
      const size_t i = static_cast<size_t>(c);
      if (rates_ks[i] <= 0) continue;
      const uint64_t next = qx470_reader_next_index(r, c);
      if (next >= targets[i]) continue;
      done = false;
      uint64_t first = 0;
      qx470_gap gap{};
      const auto want = static_cast<int32_t>(std::min<uint64_t>(buf.size(), targets[i] - next));
      const int32_t n = qx470_reader_read(r, c, buf.data(), want, &first, &gap);
      if (n == QX470_READ_GAP) {
        a.gaps.push_back(gap);
        a.lost[i] += gap.count;
        moved = true;
      } else if (n < 0) {
        a.error = reader_error("reading failed", n);
      } else if (n > 0) {
        for (int32_t k = 0; k < n; ++k) a.stats[i].add(buf[static_cast<size_t>(k)]);
        a.samples[i] += static_cast<uint64_t>(n);
        moved = true;
      }
    }
    if (done || !a.error.empty()) break;
    if (moved) continue;
    if (stop.load()) {
      a.interrupted = true;
      a.error = "interrupted";
      break;
    }
    int32_t status = 0;
    double quiet = 0;
    const int32_t stall = qx470_reader_stalled(r, &quiet, &status);
    if (stall == QX470_STALL_GONE) {
      char words[300];
      qx470_status_words(status, words, sizeof words);
      a.error = "the amplifier stopped answering: " + std::string(words);
      break;
    }
    if (stall == QX470_STALL_SILENT || std::chrono::steady_clock::now() > deadline) {
      char q[64];
      std::snprintf(q, sizeof q, "%.1f", quiet);
      a.error = "the stream stopped coming (quiet for " + std::string(q) +
                " s) though the amplifier answers";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  a.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  a.cpu_seconds = cpu_now() - cpu0;
  time_the_rate(r, a);
  qx470_reader_close(r);
  return a;
}

}  // namespace qx470check
