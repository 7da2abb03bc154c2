// The simulated dual-interface bridge with the amplifier behind it. One mutex guards all of the
// state: the library's host thread and its acquisition thread call in at the same time.

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

namespace {

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

  static int command_of(const uint8_t *bytes, size_t n) {
    if (n == 0) return 0;
    if (bytes[0] == 0x4A && n >= 2) return bytes[1] == 0xC1 ? QXSIM_CMD_START : QXSIM_CMD_STOP;
    if (bytes[0] == 0x8B) return QXSIM_CMD_RATE_HIGH;
    if (bytes[0] == 0x80) return QXSIM_CMD_RATE_LOW;
    return 0;
  }
};

Sim &sim() {
  // Never destroyed: a host that exits while acquiring has the library's thread waiting in
  // FT_Read on this state while the exit handlers run.
  static Sim *instance = new Sim;
  return *instance;
}

}  // namespace

extern "C" {

FT_STATUS FTD2XX_CALL FT_CreateDeviceInfoList(LPDWORD count) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  FT_STATUS st = s.take_fault(QXSIM_CALL_CREATE_LIST, -1);
  if (st == FT_OK && !count) st = FT_INVALID_PARAMETER;
  if (st == FT_OK)
    *count = s.listed = static_cast<DWORD>((s.listed_amplifier() ? 2 : 0) + s.extra_devices);
  s.record(QXSIM_CALL_CREATE_LIST, -1, st, 0, 0);
  return st;
}

FT_STATUS FTD2XX_CALL FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, LPDWORD count) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  FT_STATUS st = s.take_fault(QXSIM_CALL_GET_LIST, -1);
  if (st == FT_OK && (!dest || !count)) st = FT_INVALID_PARAMETER;
  if (st == FT_OK) {
    DWORD n = 0;
    if (s.listed_amplifier()) {
      for (int i = 0; i < 2 && n < s.listed; ++i, ++n) {
        FT_DEVICE_LIST_INFO_NODE &node = dest[n];
        node = {};
        node.Flags = 0;
        node.Type = 6;  // a dual high-speed bridge
        node.ID = 0x04036010;
        node.LocId = 0x1021u + static_cast<DWORD>(i);  // bus 1, address 2, interface A or B
        std::snprintf(node.SerialNumber, sizeof node.SerialNumber, "%s%c", kSerial, 'A' + i);
        std::snprintf(node.Description, sizeof node.Description, "%s",
                      i == 0 ? s.description.c_str() : "QX-470-USB B");
      }
    }
    for (int i = 0; i < s.extra_devices && n < s.listed; ++i, ++n) {
      FT_DEVICE_LIST_INFO_NODE &node = dest[n];
      node = {};
      node.Type = 5;
      node.ID = 0x04036001;
      node.LocId = 0x1031u + (static_cast<DWORD>(i) << 4);  // the next addresses
      std::snprintf(node.SerialNumber, sizeof node.SerialNumber, "FTX%05d", i);
      std::snprintf(node.Description, sizeof node.Description, "USB <-> Serial");
    }
    *count = n;
  }
  s.record(QXSIM_CALL_GET_LIST, -1, st, 0, 0);
  return st;
}

FT_STATUS FTD2XX_CALL FT_Open(int index, FT_HANDLE *out) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  FT_STATUS st = out ? s.take_fault(QXSIM_CALL_OPEN, index) : FT_STATUS{FT_INVALID_PARAMETER};
  if (st == FT_OK) {
    if (!s.attached || index < 0 || index >= 2 + s.extra_devices) {
      st = FT_DEVICE_NOT_FOUND;
    } else if (index >= 2 || s.interface_open[static_cast<size_t>(index)]) {
      st = FT_DEVICE_NOT_OPENED;  // other devices are not ours; an open interface is busy
    } else {
      int slot = 0;
      while (slot < kMaxHandles && s.handles[static_cast<size_t>(slot)].in_use) ++slot;
      if (slot == kMaxHandles) {
        st = FT_INSUFFICIENT_RESOURCES;
      } else {
        Handle &h = s.handles[static_cast<size_t>(slot)];
        h = {};
        h.in_use = true;
        h.index = index;
        h.generation = s.next_generation++ & 0xFFFFFF;
        if (h.generation == 0) h.generation = s.next_generation++;
        s.interface_open[static_cast<size_t>(index)] = true;
        *out = s.make_handle(slot);
      }
    }
  }
  s.record(QXSIM_CALL_OPEN, index, st, 0, 0);
  return st;
}

FT_STATUS FTD2XX_CALL FT_Close(FT_HANDLE handle) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  Handle *h = s.lookup(handle);
  const int index = h ? h->index : -1;
  FT_STATUS st = h ? s.take_fault(QXSIM_CALL_CLOSE, index) : FT_STATUS{FT_INVALID_HANDLE};
  if (h) {  // the handle is released even when the close reports a failure
    h->in_use = false;
    s.interface_open[static_cast<size_t>(index)] = false;
    s.cv.notify_all();
  }
  s.record(QXSIM_CALL_CLOSE, index, st, 0, 0);
  return st;
}

FT_STATUS FTD2XX_CALL FT_SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  Handle *h;
  int index;
  FT_STATUS st = s.begin(handle, QXSIM_CALL_SET_TIMEOUTS, h, index);
  if (st == FT_OK) {
    h->read_timeout_ms = read_ms;
    h->write_timeout_ms = write_ms;
  }
  s.record(QXSIM_CALL_SET_TIMEOUTS, index, st, read_ms, write_ms);
  return st;
}

FT_STATUS FTD2XX_CALL FT_Purge(FT_HANDLE handle, ULONG mask) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  Handle *h;
  int index;
  FT_STATUS st = s.begin(handle, QXSIM_CALL_PURGE, h, index);
  if (st == FT_OK && (mask & FT_PURGE_RX)) {
    if (index == kControl) {
      s.amp.control_purge();
    } else {
      s.amp.discard(Clock::now());
    }
  }
  s.record(QXSIM_CALL_PURGE, index, st, mask, 0);
  return st;
}

FT_STATUS FTD2XX_CALL FT_Write(FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD written) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  Handle *h;
  int index;
  const auto *bytes = static_cast<const uint8_t *>(buffer);
  FT_STATUS st = s.begin(handle, QXSIM_CALL_WRITE, h, index);
  if (st == FT_OK && (!written || (!buffer && length))) st = FT_INVALID_PARAMETER;
  DWORD done = 0;
  if (st == FT_OK) {
    done = length;
    if (index == kStream) {
      if (const int cmd = Sim::command_of(bytes, length)) {
        const CommandFault &f = s.command_faults[static_cast<size_t>(cmd)];
        if (f.status != 0) {
          st = f.status;
          done = 0;
        } else if (f.written >= 0) {
          done = std::min<DWORD>(length, static_cast<DWORD>(f.written));
        }
      }
      if (st == FT_OK) s.amp.stream_write(bytes, done, Clock::now());
    } else {
      qxsim::Reply reply = qxsim::Reply::kNormal;
      if (s.amp.powered && s.echo_silent > 0) {
        --s.echo_silent;
        reply = qxsim::Reply::kSilent;
      } else if (s.amp.powered && s.echo_wrong > 0) {
        --s.echo_wrong;
        reply = qxsim::Reply::kWrong;
      }
      s.amp.control_write(bytes, done, reply);
    }
    s.cv.notify_all();
  }
  if (written) *written = done;
  s.record(QXSIM_CALL_WRITE, index, st, length, done, buffer, length);
  return st;
}

FT_STATUS FTD2XX_CALL FT_Read(FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD got_out) {
  Sim &s = sim();
  std::unique_lock lock(s.mu);
  Handle *h = s.lookup(handle);
  const int index = h ? h->index : -1;
  FT_STATUS st = h ? s.take_fault(QXSIM_CALL_READ, index) : FT_STATUS{FT_INVALID_HANDLE};
  if (st == FT_OK && (!got_out || (!buffer && length))) st = FT_INVALID_PARAMETER;
  auto *dst = static_cast<uint8_t *>(buffer);
  DWORD got = 0;
  if (st == FT_OK) {
    const uint32_t timeout = h->read_timeout_ms;
    const auto deadline = timeout ? s.deadline_after(timeout) : Clock::time_point::max();
    const uint32_t generation = h->generation;
    const int slot = static_cast<int>(h - s.handles.data());
    for (;;) {
      const Handle &cur = s.handles[static_cast<size_t>(slot)];
      if (!cur.in_use || cur.generation != generation) {
        st = FT_INVALID_HANDLE;  // closed under our feet
        break;
      }
      if (!s.attached) {
        st = FT_IO_ERROR;
        break;
      }
      const auto now = Clock::now();
      if (index == kControl) {
        while (got < length && !s.amp.control_out.empty()) {
          dst[got++] = s.amp.control_out.front();
          s.amp.control_out.pop_front();
        }
      } else if (!s.in_task_stopped) {
        const uint64_t avail = s.amp.available(now);
        const uint64_t take = std::min<uint64_t>(avail, length - got);
        s.amp.read_stream(dst + got, take);
        got += static_cast<DWORD>(take);
      }
      if (got == length || now >= deadline) break;
      const auto wake = index == kStream && !s.in_task_stopped
                            ? std::min(deadline, s.amp.next_packet_time(now))
                            : deadline;
      if (wake == Clock::time_point::max())
        s.cv.wait(lock);
      else
        s.cv.wait_until(lock, wake);
    }
  }
  if (got_out) *got_out = got;
  s.record(QXSIM_CALL_READ, index, st, length, got);
  return st;
}

static FT_STATUS in_task(FT_HANDLE handle, int call, bool stop) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  Handle *h;
  int index;
  FT_STATUS st = s.begin(handle, call, h, index);
  if (st == FT_OK && index == kStream) {
    s.in_task_stopped = stop;
    s.cv.notify_all();
  }
  s.record(call, index, st, 0, 0);
  return st;
}

FT_STATUS FTD2XX_CALL FT_GetModemStatus(FT_HANDLE handle, ULONG *status) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  Handle *h;
  int index;
  // Not logged: the library asks after every block, and the log is for the calls that act.
  FT_STATUS st = s.begin(handle, QXSIM_CALL_GET_MODEM_STATUS, h, index);
  if (st == FT_OK && !status) st = FT_INVALID_PARAMETER;
  if (st == FT_OK) {
    bool overrun = false;
    if (index == kStream) {
      s.amp.available(Clock::now());  // a buffer that overflowed by now has lost words by now
      overrun = s.amp.take_overrun();
    }
    *status = overrun ? ULONG{FT_LINE_OVERRUN_ERROR} << 8 : 0;
  }
  return st;
}

FT_STATUS FTD2XX_CALL FT_StopInTask(FT_HANDLE handle) {
  return in_task(handle, QXSIM_CALL_STOP_IN_TASK, true);
}

FT_STATUS FTD2XX_CALL FT_RestartInTask(FT_HANDLE handle) {
  return in_task(handle, QXSIM_CALL_RESTART_IN_TASK, false);
}

FT_STATUS FTD2XX_CALL FT_EE_UARead(FT_HANDLE handle, PUCHAR data, DWORD length, LPDWORD got) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  Handle *h;
  int index;
  FT_STATUS st = s.begin(handle, QXSIM_CALL_EE_READ, h, index);
  if (st == FT_OK && (!data || !got)) st = FT_INVALID_PARAMETER;
  DWORD n = 0;
  if (st == FT_OK) {
    n = std::min<DWORD>(length, QXSIM_EEPROM_UA_SIZE);
    std::memcpy(data, s.amp.user_area.data(), n);
    *got = n;
  }
  s.record(QXSIM_CALL_EE_READ, index, st, length, n);
  return st;
}

FT_STATUS FTD2XX_CALL FT_EE_UAWrite(FT_HANDLE handle, PUCHAR data, DWORD length) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  Handle *h;
  int index;
  FT_STATUS st = s.begin(handle, QXSIM_CALL_EE_WRITE, h, index);
  if (st == FT_OK && (!data || length > QXSIM_EEPROM_UA_SIZE)) st = FT_INVALID_PARAMETER;
  if (st == FT_OK) std::memcpy(s.amp.user_area.data(), data, length);
  s.record(QXSIM_CALL_EE_WRITE, index, st, length, st == FT_OK ? length : 0, data,
           data ? length : 0);
  return st;
}

// ---- control API ----

void qxsim_reset(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.power_on();
  s.cv.notify_all();
}

void qxsim_set_attached(int attached) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.attached = attached != 0;
  if (!s.attached) {
    s.amp.stop_stream(Clock::now());
    s.amp.control_out.clear();
  }
  s.cv.notify_all();
}

void qxsim_set_powered(int powered) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.amp.powered = powered != 0;
}

void qxsim_set_speed(double factor) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.amp.set_speed(factor, Clock::now());
  s.cv.notify_all();
}

void qxsim_set_signal(int test_pattern) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.amp.test_pattern = test_pattern != 0;
}

unsigned qxsim_pattern_value(int channel, unsigned n) {
  return qxsim::pattern_value(channel, n);
}

void qxsim_drop_words(unsigned long long words) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.amp.drop_next_words(words);
  s.cv.notify_all();
}

void qxsim_set_stream_limit(unsigned long long words) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.amp.stream_limit = words;
  s.cv.notify_all();
}

int qxsim_eeprom_read(unsigned char *buf, int len) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (!buf || len <= 0) return 0;
  const int n = std::min(len, QXSIM_EEPROM_UA_SIZE);
  std::memcpy(buf, s.amp.user_area.data(), static_cast<size_t>(n));
  return n;
}

int qxsim_eeprom_write(const unsigned char *buf, int len) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (!buf || len <= 0) return 0;
  const int n = std::min(len, QXSIM_EEPROM_UA_SIZE);
  std::memcpy(s.amp.user_area.data(), buf, static_cast<size_t>(n));
  return n;
}

void qxsim_set_extra_devices(int count) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.extra_devices = std::clamp(count, 0, 8);
}

void qxsim_set_description(const char *description) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.description = description ? std::string(description).substr(0, 63) : kDefaultDescription;
}

void qxsim_set_timeout_scale(double factor) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.timeout_scale = factor > 0 ? factor : 1.0;
}

void qxsim_set_echo_fault(int silent, int wrong) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.echo_silent = std::max(silent, 0);
  s.echo_wrong = std::max(wrong, 0);
}

void qxsim_set_fault(int call, int index, unsigned status, int times) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (call < QXSIM_CALL_OPEN || call > QXSIM_CALL_GET_MODEM_STATUS || index < -1 || index > 1)
    return;
  s.faults[static_cast<size_t>(call)][static_cast<size_t>(index + 1)] = {status, times};
}

void qxsim_set_command_fault(int command, unsigned status, int written) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (command < QXSIM_CMD_STOP || command > QXSIM_CMD_RATE_LOW) return;
  s.command_faults[static_cast<size_t>(command)] = {status, written};
}

void qxsim_log_clear(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.log.clear();
  s.call_counts = {};
}

int qxsim_call_count(int call, int index, int failed_only) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (call < 0 || call >= 16 || index < -1 || index > 1) return 0;
  int n = 0;
  for (int i = 0; i < 3; ++i) {
    if (index != -1 && i != index + 1) continue;
    const auto &c = s.call_counts[static_cast<size_t>(call)][static_cast<size_t>(i)];
    n += c[1] + (failed_only ? 0 : c[0]);
  }
  return n;
}

int qxsim_log_count(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return static_cast<int>(s.log.size());
}

int qxsim_log_get(int i, qxsim_event *event) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (!event || i < 0 || static_cast<size_t>(i) >= s.log.size()) return 0;
  *event = s.log[static_cast<size_t>(i)];
  return 1;
}

int qxsim_open_handles(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return static_cast<int>(
      std::count_if(s.handles.begin(), s.handles.end(), [](const Handle &h) { return h.in_use; }));
}

int qxsim_streaming(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return s.amp.streaming() ? 1 : 0;
}

int qxsim_shunt_on(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return s.amp.shunt ? 1 : 0;
}

unsigned long long qxsim_words_sent(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return s.amp.words_sent(Clock::now());
}

unsigned long long qxsim_lost_words(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return s.amp.lost_words(Clock::now());
}

int qxsim_divisor(int channel) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return channel >= 0 && channel < 4 ? s.amp.divisors()[static_cast<size_t>(channel)] : 0;
}

}  // extern "C"
