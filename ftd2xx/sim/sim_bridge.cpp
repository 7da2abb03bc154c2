// The simulated dual-interface bridge with the amplifier behind it: the D2XX calls the library
// makes. Its state, faults and log are in sim_state.h; the control calls for tests and rigs
// (qxsim.h) in sim_control.cpp.
#include <algorithm>
#include <cstring>

#include "sim_state.h"

using namespace qxsim::d2xx;
using qxsim::Clock;

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
        node.Flags = s.busy ? FT_FLAGS_OPENED : 0;
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
    } else if (index >= 2 || s.interface_open[static_cast<size_t>(index)] || s.busy) {
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

}  // extern "C"
