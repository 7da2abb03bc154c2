// The simulated bridge's state behind its D2XX face: the amplifier, the handle table, the
// driver's settings, the injected faults and the call log. One mutex guards all of it: the
// library's host thread and its acquisition thread call in at the same time.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "amplifier.h"
#include "ftd2xx.h"
#include "qxsim.h"

namespace qxsim::d2xx {

using qxsim::Clock;
using qxsim::kUnbounded;
constexpr int kMaxHandles = 16;
constexpr int kControl = 0;
constexpr int kStream = 1;
constexpr uint64_t kTicksPerPacket = 100;  // words are delivered in 1 ms packets
constexpr const char *kDefaultDescription = "QX-470-USB A";
constexpr const char *kSerial = "QX47000";
static_assert(QXSIM_EEPROM_UA_SIZE == qxsim::kUserAreaBytes);
static_assert(QXSIM_MAX_FRAME_TICKS == qxsim::kMaxFrameTicks);
static_assert(QXSIM_SHUNT_STEP_COUNTS == qxsim::kShuntStepCounts);

struct Handle {
  bool in_use = false;
  int index = -1;
  uint32_t generation = 0;
  uint32_t read_timeout_ms = 0;  // 0: wait until every byte asked for has arrived
  uint32_t write_timeout_ms = 0;
};

struct Fault {
  uint32_t status = 0;
  int times = 0;  // -1: until cleared
};

struct CommandFault {
  uint32_t status = 0;
  int written = -1;
};

// The D2XX face of the amplifier: handles, the driver's receive buffer, fault knobs and the log.
struct Sim {
  std::mutex mu;
  std::condition_variable cv;

  qxsim::Amplifier amp{QXSIM_RX_BUFFER_BYTES, kTicksPerPacket};
  bool attached = true;
  bool busy = false;  // another process has the bridge open: it is listed, and opens fail
  int extra_devices = 0;
  std::string description = kDefaultDescription;
  double timeout_scale = 1.0;
  bool in_task_stopped = false;

  std::array<Handle, kMaxHandles> handles{};
  std::array<bool, 2> interface_open{};
  uint32_t next_generation = 1;

  std::array<std::array<Fault, 3>, 16> faults{};  // [call][index + 1]
  std::array<CommandFault, 5> command_faults{};
  int echo_silent = 0;
  int echo_wrong = 0;

  std::vector<qxsim_event> log;
  std::array<std::array<std::array<int, 2>, 3>, 16> call_counts{};  // [call][index + 1][failed]
  // Like D2XX, the list handed out is the one the last FT_CreateDeviceInfoList counted, so a
  // device that arrives in between cannot overrun the caller's array.
  DWORD listed = 0;

  Sim() {
    power_on();
    // Lets a test rig set up the simulated device of a program it starts (the console, say).
    if (const char *v = std::getenv("QXSIM_ATTACHED")) attached = std::atoi(v) != 0;
    if (const char *v = std::getenv("QXSIM_BUSY")) busy = std::atoi(v) != 0;
    amp.apply_environment();
  }

  // On the bus and not ruled out by QX470_USB_SERIAL, which picks one amplifier of several in
  // the hardware build and must not pick a different one here.
  bool listed_amplifier() const {
    const char *wanted = std::getenv("QX470_USB_SERIAL");
    return attached && (!wanted || !*wanted || std::strcmp(wanted, kSerial) == 0);
  }

  void power_on() {
    amp.power_on();
    attached = true;
    busy = false;
    extra_devices = 0;
    description = kDefaultDescription;
    timeout_scale = 1.0;
    in_task_stopped = false;
    for (auto &h : handles) h.in_use = false;
    interface_open = {};
    for (auto &row : faults) row = {};
    command_faults = {};
    echo_silent = echo_wrong = 0;
    log.clear();
    log.reserve(1024);
    call_counts = {};
    listed = 0;
  }

  // ---- handles ----
  FT_HANDLE make_handle(int slot) {
    return reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>(handles[slot].generation) << 8 |
                                       static_cast<uintptr_t>(slot + 1));
  }
  Handle *lookup(FT_HANDLE h) {
    const auto v = reinterpret_cast<uintptr_t>(h);
    const auto slot = static_cast<long>(v & 0xFF) - 1;
    if (slot < 0 || slot >= kMaxHandles) return nullptr;
    Handle &e = handles[static_cast<size_t>(slot)];
    if (!e.in_use || e.generation != (v >> 8)) return nullptr;
    return &e;
  }

  // The common start of a call on an open handle: the handle, then an injected fault, then
  // whether the device is still on the bus.
  FT_STATUS begin(FT_HANDLE handle, int call, Handle *&h, int &index) {
    h = lookup(handle);
    index = h ? h->index : -1;
    if (!h) return FT_INVALID_HANDLE;
    if (const FT_STATUS st = take_fault(call, index)) return st;
    return attached ? FT_STATUS{FT_OK} : FT_STATUS{FT_IO_ERROR};
  }

  // ---- faults and log ----
  uint32_t take_fault(int call, int index) {
    for (int i : {index + 1, 0}) {
      Fault &f = faults[static_cast<size_t>(call)][static_cast<size_t>(i)];
      if (f.times == 0 || f.status == 0) continue;
      if (f.times > 0) --f.times;
      return f.status;
    }
    return FT_OK;
  }
  void record(int call, int index, uint32_t status, uint32_t length, uint32_t done,
              const void *bytes = nullptr, size_t nbytes = 0) {
    if (call >= 0 && call < 16 && index >= -1 && index <= 1)
      ++call_counts[static_cast<size_t>(call)][static_cast<size_t>(index + 1)][status != FT_OK];
    if (log.size() >= QXSIM_LOG_CAPACITY) return;
    qxsim_event e{};
    e.call = call;
    e.index = index;
    e.status = status;
    e.length = length;
    e.done = done;
    if (bytes) std::memcpy(e.bytes, bytes, std::min(nbytes, sizeof e.bytes));
    log.push_back(e);
  }

  Clock::time_point deadline_after(uint32_t ms) const {
    return Clock::now() +
           std::chrono::microseconds(static_cast<int64_t>(ms * 1000.0 * timeout_scale));
  }

  // The command a write to the stream channel carries, as the amplifier's own parser reads it,
  // for the command faults: QXSIM_CMD_*, or 0.
  static int command_of(const uint8_t *bytes, size_t n);
};

// The one simulated bridge of the process.
Sim &sim();

}  // namespace qxsim::d2xx
