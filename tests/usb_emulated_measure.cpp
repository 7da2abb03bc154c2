// Figures for docs/performance.md, through the emulated FT2232D:
//   usb_emulated_measure cpu [seconds]   per-thread CPU with four channels at 100 kS/s, real time
//   usb_emulated_measure throughput [seconds]   unpaced bulk-IN throughput through the backend
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QX470USB.h"
#include "emulated_bus.h"
#include "ftd2xx.h"
#include "qxftdi.h"
#include "stream_protocol.h"
#include "umockdev_preload.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ThreadTime {
  std::string name;
  double seconds = 0;  // user + system
};

std::map<int, ThreadTime> thread_times() {
  std::map<int, ThreadTime> out;
  DIR *d = opendir("/proc/self/task");
  if (!d) return out;
  while (dirent *e = readdir(d)) {
    const int tid = std::atoi(e->d_name);
    if (tid <= 0) continue;
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    std::ifstream comm(base + "/comm");
    std::ifstream sched(base + "/schedstat");  // nanoseconds on a CPU: finer than clock ticks
    ThreadTime t;
    std::getline(comm, t.name);
    double ns = 0;
    if (sched >> ns) t.seconds = ns / 1e9;
    out[tid] = t;
  }
  closedir(d);
  return out;
}

std::set<int> tids() {
  std::set<int> s;
  for (const auto &[tid, t] : thread_times()) s.insert(tid);
  return s;
}

double process_seconds() {
  double sum = 0;
  for (const auto &[tid, t] : thread_times()) sum += t.seconds;
  return sum;
}

int measure_cpu(qxusb::EmulatedBus &bus, double seconds) {
  const std::set<int> before_start = tids();
  for (int c = 0; c < 4; ++c) Set_Sample_Rate(c, 100);
  if (Start_Acquisition(0) != 1) {
    std::fprintf(stderr, "the acquisition did not start\n");
    return 1;
  }
  // The acquisition thread is the last one the start made (after the stream channel's).
  int acquisition = 0;
  for (int tid : tids())
    if (!before_start.count(tid)) acquisition = std::max(acquisition, tid);
  std::this_thread::sleep_for(std::chrono::seconds(2));  // settled

  const auto a = thread_times();
  const double pa = process_seconds();
  const uint32_t blocks_a = Get_Blocks_Transferred();
  const auto c0 = bus.counters();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const auto b = thread_times();
  const double pb = process_seconds();
  const uint32_t blocks_b = Get_Blocks_Transferred();
  const auto c1 = bus.counters();
  Stop_Acquisition();
  if (blocks_b == blocks_a) {
    std::fprintf(stderr, "no data came: the figures would mean nothing\n");
    return 1;
  }

  std::printf("four channels at 100 kS/s for %.1f s: %.0f kB/s into the ring\n", wall,
              (blocks_b - blocks_a) * 32768.0 / wall / 1000);
  std::printf("%-8s %-22s %s\n", "tid", "thread", "share of one core");
  for (const auto &[tid, t] : b) {
    const auto it = a.find(tid);
    const double used = t.seconds - (it == a.end() ? 0 : it->second.seconds);
    std::string role = t.name;
    if (tid == getpid())
      role = "main (idle)";
    else if (tid == acquisition)
      role = "library acquisition";
    else if (t.name == "qxftdi-events")
      role = "backend USB events";
    else if (t.name != "gmain" && t.name != "libusb_event" && !before_start.count(tid))
      role = t.name + " (new)";
    else if (t.name != "gmain" && t.name != "libusb_event")
      role = "emulator (umockdev)";
    std::printf("%-8d %-22s %6.2f%%\n", tid, role.c_str(), 100 * used / wall);
  }
  std::printf("%-8s %-22s %6.2f%%\n", "", "whole process", 100 * (pb - pa) / wall);
  std::printf("URBs submitted %.0f/s, reap calls %.0f/s\n", (c1.submitted - c0.submitted) / wall,
              (c1.reaps - c0.reaps) / wall);
  return 0;
}

int measure_throughput(qxusb::EmulatedBus &bus, double seconds) {
  bus.with_device(
      [](qxsim::Amplifier &a, qxusb::Ft2232d &) { a.set_speed(0, qxsim::Clock::now()); });
  DWORD count = 0;
  FT_HANDLE h = nullptr;
  if (FT_CreateDeviceInfoList(&count) != FT_OK || FT_Open(1, &h) != FT_OK) {
    std::fprintf(stderr, "cannot open the stream channel\n");
    return 1;
  }
  FT_SetTimeouts(h, 1000, 1000);
  const int32_t divisors[4] = {1, 1, 1, 1};
  auto high = qx::rate_high_command(divisors);
  auto low = qx::rate_low_command(divisors);
  auto start = qx::kStartCommand;
  DWORD written = 0;
  FT_Write(h, high.data(), high.size(), &written);
  FT_Write(h, low.data(), low.size(), &written);
  FT_Write(h, start.data(), start.size(), &written);
  std::vector<uint8_t> buf(1 << 20);
  uint64_t total = 0;
  const double pa = process_seconds();
  const auto c0 = bus.counters();
  const auto t0 = Clock::now();
  while (std::chrono::duration<double>(Clock::now() - t0).count() < seconds) {
    DWORD got = 0;
    if (FT_Read(h, buf.data(), static_cast<DWORD>(buf.size()), &got) != FT_OK) break;
    total += got;
  }
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const auto c1 = bus.counters();
  std::printf(
      "unpaced bulk IN through the backend (64 transfers of 16 KiB): %.1f MB/s of payload, "
      "%.0f URBs/s, %.0f reap calls/s, process CPU %.0f%% of one core\n",
      total / wall / 1e6, (c1.submitted - c0.submitted) / wall, (c1.reaps - c0.reaps) / wall,
      100 * (process_seconds() - pa) / wall);
  std::printf("overrun packets: %lu\n", qxftdi_stream_overruns(h));
  FT_Close(h);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  qxtest::run_under_umockdev_preload(argv);
  const std::string what = argc > 1 ? argv[1] : "";
  const double seconds = argc > 2 ? std::atof(argv[2]) : 10;
  if ((what != "cpu" && what != "throughput") || seconds <= 0) {
    std::fprintf(stderr, "usage: %s cpu|throughput [seconds]\n", argv[0]);
    return 2;
  }
  std::string error;
  auto bus = qxusb::EmulatedBus::start(false, error);
  if (!bus) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  bus->with_device([](qxsim::Amplifier &a, qxusb::Ft2232d &) { a.test_pattern = true; });
  if (Get_QX470USB_Status() != 101) {
    std::fprintf(stderr, "the emulated device is not ready\n");
    return 1;
  }
  return what == "cpu" ? measure_cpu(*bus, seconds) : measure_throughput(*bus, seconds);
}
