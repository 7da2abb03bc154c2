// Soak: the library against the simulator in real time, all four channels at 100 kS/s, every
// sample of every channel read as a host reads them (runs, boundary steps as the console takes
// them) and checked against the test pattern.
//   qx470_soak [seconds]     (default 600)
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "QX470USB.h"
#include "qxsim.h"

namespace {

double cpu_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 600.0;
  qxsim_reset();
  qxsim_set_speed(1);
  qxsim_set_signal(1);
  for (int c = 0; c < 4; ++c) Set_Sample_Rate(c, 100);
  // Priming discards three frames of four words: three samples of every channel.
  constexpr uint32_t kPrimed = 3;

  const double cpu0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
  const double host0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
  const auto t0 = std::chrono::steady_clock::now();
  if (Start_Acquisition(0) != 1) {
    std::fprintf(stderr, "start failed\n");
    return 2;
  }

  std::vector<int32_t> buf(1 << 16);
  uint32_t next[4] = {0, 0, 0, 0};
  uint32_t shift[4] = {0, 0, 0, 0};  // samples moved by boundary steps, modulo 2^32
  int32_t steps = 0;
  unsigned long long checked = 0, wrong = 0;
  std::map<int32_t, unsigned long long> statuses;
  double elapsed = 0;
  while (elapsed < seconds) {
    for (int c = 0; c < 4; ++c) {
      for (;;) {
        const int32_t got =
            Get_Data_Samples(buf.data(), c, next[c], static_cast<int32_t>(buf.size()));
        for (int32_t i = 0; i < got; ++i) {
          const uint32_t n = next[c] + static_cast<uint32_t>(i) + shift[c] + kPrimed;
          if (static_cast<uint32_t>(buf[static_cast<size_t>(i)]) != qxsim_pattern_value(c, n))
            ++wrong;
        }
        checked += static_cast<unsigned long long>(got);
        next[c] += static_cast<uint32_t>(got);
        if (got < static_cast<int32_t>(buf.size())) {
          ++statuses[Get_DataPoint(c, next[c])];
          break;
        }
      }
    }
    bool all_passed = true;
    for (int c = 0; c < 4; ++c)
      all_passed = all_passed && next[c] > static_cast<uint32_t>(Get_Sample_Modulus(c));
    if (all_passed) {
      Set_Sample_Boundary(++steps);
      for (int c = 0; c < 4; ++c) {
        const auto m = static_cast<uint32_t>(Get_Sample_Modulus(c));
        next[c] -= m;
        shift[c] += m;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  const uint32_t received = Get_Blocks_Transferred();
  const unsigned long long sent_words = qxsim_words_sent();
  const unsigned long long lost = qxsim_lost_words();
  Stop_Acquisition();

  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  const double process_cpu = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  const double host_cpu = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - host0;
  std::printf("streamed %.1f s, all four channels at 100 kS/s\n", elapsed);
  std::printf("blocks received %u, blocks sent %.2f (words sent %llu, of them 12 primed)\n",
              received, static_cast<double>(sent_words - 12) / 16384.0, sent_words);
  std::printf("lost words %llu\n", lost);
  std::printf("samples checked %llu, wrong values %llu, boundary steps %d\n", checked, wrong,
              steps);
  std::printf("statuses where a run stopped:");
  for (const auto &[status, count] : statuses) std::printf(" %d x%llu", status, count);
  std::printf("\n");
  std::printf(
      "CPU per second of streaming: process %.2f%%, host reader %.2f%%, "
      "acquisition thread with the simulated bridge %.2f%% of a core\n",
      100 * process_cpu / elapsed, 100 * host_cpu / elapsed,
      100 * (process_cpu - host_cpu) / elapsed);
  const bool ok = wrong == 0 && lost == 0 && statuses.count(-4) == 0 &&
                  received + 1 >= static_cast<uint32_t>((sent_words - 12) / 16384);
  std::printf("%s\n", ok ? "OK: nothing lost or wrong" : "FAILED");
  return ok ? 0 : 1;
}
