// The D2XX calls over libftdi1 and libusb, for the real bridge on Linux.
//
// Every handle has its own ftdi context and so its own libusb context. The control channel is
// synchronous; the stream channel is fed by a pump that keeps several bulk-IN transfers queued
// on its handle's context, because libftdi has no background reader and a single synchronous
// loop cannot keep up with a full-speed chip's half a millisecond of buffer.
#include <libftdi1/ftdi.h>
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge_parts.h"
#include "ftd2xx.h"
#include "qxftdi.h"

namespace qxftdi {
namespace {

constexpr unsigned char kLatencyMs = 2;  // short echoes on the control channel come back fast
constexpr int kUsbCallTimeoutMs = 500;   // one USB call; the read loop enforces the real deadline
constexpr int kControlTransferTimeoutMs = 1000;
constexpr size_t kTransferBytes = 16384;  // a multiple of both packet sizes, 64 and 512
constexpr int kTransfers = 8;
constexpr size_t kQueueBytes = 2u << 20;  // 2.5 s of the fastest stream
constexpr int kStopWaitMs = 2000;         // cancelled transfers come back well within this

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct NodeInfo {
  FT_DEVICE_LIST_INFO_NODE node{};
  uint8_t bus = 0;
  uint8_t address = 0;
  int interface = 0;
};

// ---- the stream pump ----

class StreamPump {
 public:
  explicit StreamPump(ftdi_context *ftdi) : ftdi_(ftdi), queue_(kQueueBytes) {}
  StreamPump(const StreamPump &) = delete;
  StreamPump &operator=(const StreamPump &) = delete;

  FT_STATUS start() {
    packet_ = ftdi_->max_packet_size ? ftdi_->max_packet_size : 64;
    slots_.resize(kTransfers);
    for (Slot &s : slots_) {
      s.owner = this;
      s.buffer.resize(kTransferBytes);
      s.transfer = libusb_alloc_transfer(0);
      if (!s.transfer) return FT_INSUFFICIENT_RESOURCES;
    }
    thread_ = std::thread([this] { events(); });
    std::lock_guard lock(mu_);
    submit_idle_locked();
    return failed_ ? FT_IO_ERROR : FT_OK;
  }

  ~StreamPump() {
    stop_in();
    quit_ = true;
    if (thread_.joinable()) {
      libusb_interrupt_event_handler(ftdi_->usb_ctx);
      thread_.join();
    }
    // A transfer the device never gave back cannot be freed safely; leaking it is the lesser harm.
    for (Slot &s : slots_)
      if (s.transfer && !s.in_flight) libusb_free_transfer(s.transfer);
  }

  FT_STATUS stop_in() {
    std::unique_lock lock(mu_);
    running_ = false;
    for (Slot &s : slots_)
      if (s.in_flight) libusb_cancel_transfer(s.transfer);
    const bool idle = cv_.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [this] {
      return std::none_of(slots_.begin(), slots_.end(), [](const Slot &s) { return s.in_flight; });
    });
    return idle ? FT_OK : FT_IO_ERROR;
  }

  FT_STATUS restart_in() {
    std::lock_guard lock(mu_);
    running_ = true;
    failed_ = false;  // a transient error may clear; a gone device fails the next submit again
    submit_idle_locked();
    return failed_ ? FT_IO_ERROR : FT_OK;
  }

  FT_STATUS purge_rx() {
    bool was_running;
    {
      std::lock_guard lock(mu_);
      was_running = running_;
    }
    // Transfers in flight may hold bytes from before the purge: bring them home first.
    FT_STATUS st = stop_in();
    if (ftdi_tciflush(ftdi_) < 0) st = FT_IO_ERROR;
    std::lock_guard lock(mu_);
    queue_.clear();
    if (was_running) {
      running_ = true;
      submit_idle_locked();
    }
    return st;
  }

  FT_STATUS read(uint8_t *out, DWORD want, DWORD &got, ULONG timeout_ms) {
    got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock lock(mu_);
    for (;;) {
      got += static_cast<DWORD>(queue_.take(out + got, want - got));
      submit_idle_locked();
      if (got == want) return FT_OK;
      if (failed_) return got ? FT_OK : FT_IO_ERROR;
      if (timeout_ms == 0)
        cv_.wait(lock);
      else if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
        got += static_cast<DWORD>(queue_.take(out + got, want - got));
        return FT_OK;
      }
    }
  }

  unsigned long overruns() const { return overruns_.load(); }

 private:
  struct Slot {
    StreamPump *owner = nullptr;
    libusb_transfer *transfer = nullptr;
    std::vector<uint8_t> buffer;
    bool in_flight = false;
  };

  static void LIBUSB_CALL transfer_done(libusb_transfer *t) {
    Slot &s = *static_cast<Slot *>(t->user_data);
    s.owner->on_done(s);
  }

  void on_done(Slot &s) {
    std::lock_guard lock(mu_);
    s.in_flight = false;
    libusb_transfer *t = s.transfer;
    // A cancelled or timed-out transfer may still carry data: it is kept like any other.
    const size_t raw = t->actual_length > 0 ? static_cast<size_t>(t->actual_length) : 0;
    const Stripped got = strip_status(s.buffer.data(), raw, packet_, s.buffer.data());
    queue_.complete(s.buffer.size(), s.buffer.data(), got.payload);
    if (got.overruns) note_overruns(got.overruns);
    if (t->status != LIBUSB_TRANSFER_COMPLETED && t->status != LIBUSB_TRANSFER_CANCELLED &&
        t->status != LIBUSB_TRANSFER_TIMED_OUT)
      failed_ = true;  // gone, stalled or broken: readers get what is queued, then the error
    submit_idle_locked();
    cv_.notify_all();
  }

  void note_overruns(size_t n) {
    if (overruns_.fetch_add(n) == 0)
      std::fprintf(stderr, "QX470 bridge: the stream channel's receive buffer overran\n");
  }

  // Puts idle transfers back on the bus while taking data and while the queue has room for all
  // they could bring; otherwise they wait for the reader to make room.
  void submit_idle_locked() {
    if (!running_ || failed_ || quit_) return;
    for (Slot &s : slots_) {
      if (s.in_flight) continue;
      if (!queue_.reserve(s.buffer.size())) return;
      libusb_fill_bulk_transfer(s.transfer, ftdi_->usb_dev,
                                // libftdi names endpoints from the chip's side: out_ep is
                                // the one the host reads from.
                                static_cast<unsigned char>(ftdi_->out_ep), s.buffer.data(),
                                static_cast<int>(s.buffer.size()), transfer_done, &s, 0);
      if (libusb_submit_transfer(s.transfer) != 0) {
        queue_.complete(s.buffer.size(), nullptr, 0);
        failed_ = true;
        cv_.notify_all();
        return;
      }
      s.in_flight = true;
    }
  }

  void events() {
    while (!quit_) {
      timeval tick{0, 100000};
      libusb_handle_events_timeout_completed(ftdi_->usb_ctx, &tick, nullptr);
    }
  }

  ftdi_context *ftdi_;
  std::mutex mu_;
  std::condition_variable cv_;
  StreamQueue queue_;
  std::vector<Slot> slots_;  // sized once in start(): transfers point into it
  size_t packet_ = 64;
  bool running_ = true;
  bool failed_ = false;
  std::atomic<bool> quit_{false};
  std::atomic<unsigned long> overruns_{0};
  std::thread thread_;
};

// ---- handles ----

struct Handle {
  ftdi_context *ftdi = nullptr;
  int interface = 0;
  ULONG read_timeout = 0;
  ULONG write_timeout = 0;
  std::atomic<bool> in_stopped{false};
  std::unique_ptr<StreamPump> pump;  // interface B, the stream channel

  ~Handle() {
    pump.reset();  // before the USB device it reads from goes
    if (ftdi) {
      ftdi_usb_close(ftdi);
      ftdi_free(ftdi);
    }
  }
};

struct Registry {
  std::mutex mu;
  std::vector<NodeInfo> listed;  // what the last enumeration found
  std::map<void *, std::shared_ptr<Handle>> open;
  std::vector<UsbId> ids = parse_usb_ids(std::getenv("QX470_USB_IDS"));
};

Registry &registry() {
  static Registry *r = new Registry;  // outlives every static destructor that may close a handle
  return *r;
}

std::shared_ptr<Handle> find(FT_HANDLE handle) {
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  auto it = r.open.find(handle);
  return it == r.open.end() ? nullptr : it->second;
}

// Each dual-interface chip is one USB device and two nodes. Uses a short-lived context of its
// own: a device found here is opened later by bus and address in the handle's context.
FT_STATUS enumerate(const std::vector<UsbId> &ids, std::vector<NodeInfo> &nodes) {
  nodes.clear();
  ftdi_context *ctx = ftdi_new();
  if (!ctx) return FT_OTHER_ERROR;  // no USB subsystem to talk to
  for (const UsbId &id : ids) {
    ftdi_device_list *list = nullptr;
    if (ftdi_usb_find_all(ctx, &list, id.vid, id.pid) < 0) continue;
    for (ftdi_device_list *p = list; p; p = p->next) {
      libusb_device *dev = p->dev;
      libusb_device_descriptor dd{};
      if (libusb_get_device_descriptor(dev, &dd) != 0) continue;
      int interfaces = 1;
      libusb_config_descriptor *cfg = nullptr;
      if (libusb_get_config_descriptor(dev, 0, &cfg) == 0) {
        interfaces = std::clamp<int>(cfg->bNumInterfaces, 1, 4);
        libusb_free_config_descriptor(cfg);
      }
      // The strings need the device opened; without permission they stay empty and the node
      // is still listed, so the caller sees a device it cannot use rather than none.
      char product[64] = "";
      char serial[16] = "";
      // get_strings2, not get_strings: the latter closes the context's open device.
      ftdi_usb_get_strings2(ctx, dev, nullptr, 0, product, sizeof product, serial, sizeof serial);
      for (int i = 0; i < interfaces; ++i) {
        NodeInfo n;
        name_node(n.node, product, serial, i);
        n.node.Type = device_type(dd.idVendor == id.vid ? dd.bcdDevice : 0);
        n.node.ID = (static_cast<ULONG>(id.vid) << 16) | id.pid;
        n.bus = libusb_get_bus_number(dev);
        n.address = libusb_get_device_address(dev);
        n.node.LocId = (static_cast<DWORD>(n.bus) << 12) | (static_cast<DWORD>(n.address) << 4) |
                       static_cast<DWORD>(i + 1);
        n.interface = i;
        nodes.push_back(n);
      }
    }
    ftdi_list_free(&list);
  }
  ftdi_free(ctx);
  return FT_OK;
}

bool node_at(int index, bool fresh, NodeInfo &out) {
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  if (fresh || r.listed.empty()) enumerate(r.ids, r.listed);
  if (index < 0 || static_cast<size_t>(index) >= r.listed.size()) return false;
  out = r.listed[static_cast<size_t>(index)];
  return true;
}

FT_STATUS open_node(const NodeInfo &n, std::unique_ptr<Handle> &h) {
  h = std::make_unique<Handle>();
  h->interface = n.interface;
  h->ftdi = ftdi_new();
  if (!h->ftdi) return FT_INSUFFICIENT_RESOURCES;
  // The interface is chosen before opening, or libftdi opens A.
  if (ftdi_set_interface(h->ftdi, static_cast<ftdi_interface>(INTERFACE_A + n.interface)) < 0)
    return FT_DEVICE_NOT_OPENED;
  const int rc = ftdi_usb_open_bus_addr(h->ftdi, n.bus, n.address);
  if (rc == -3) return FT_DEVICE_NOT_FOUND;
  if (rc < 0) return FT_DEVICE_NOT_OPENED;  // e.g. busy: this interface is open already
  ftdi_set_latency_timer(h->ftdi, kLatencyMs);
  h->ftdi->usb_read_timeout = kUsbCallTimeoutMs;
  if (n.interface == 1) {
    h->pump = std::make_unique<StreamPump>(h->ftdi);
    if (const FT_STATUS st = h->pump->start(); st != FT_OK) return st;
  }
  return FT_OK;
}

// ---- EEPROM over vendor control transfers ----

bool read_eeprom(ftdi_context *ftdi, std::vector<uint8_t> &image) {
  uint8_t raw[256];
  for (int word = 0; word < 128; ++word)
    if (libusb_control_transfer(ftdi->usb_dev, FTDI_DEVICE_IN_REQTYPE, SIO_READ_EEPROM_REQUEST, 0,
                                static_cast<uint16_t>(word), raw + 2 * word, 2,
                                kControlTransferTimeoutMs) != 2)
      return false;
  image.assign(raw, raw + guess_eeprom_size(raw));
  return true;
}

bool write_eeprom_word(ftdi_context *ftdi, size_t word, const std::vector<uint8_t> &image) {
  const uint16_t value = static_cast<uint16_t>(image[2 * word] | (image[2 * word + 1] << 8));
  return libusb_control_transfer(ftdi->usb_dev, FTDI_DEVICE_OUT_REQTYPE, SIO_WRITE_EEPROM_REQUEST,
                                 value, static_cast<uint16_t>(word), nullptr, 0,
                                 kControlTransferTimeoutMs) == 0;
}

}  // namespace
}  // namespace qxftdi

using namespace qxftdi;

extern "C" {

FT_STATUS FTD2XX_CALL FT_CreateDeviceInfoList(LPDWORD count) {
  if (!count) return FT_INVALID_PARAMETER;
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  const FT_STATUS st = enumerate(r.ids, r.listed);
  *count = static_cast<DWORD>(r.listed.size());
  return st;
}

// Hands out the list the last FT_CreateDeviceInfoList counted, as D2XX does: a device that
// arrives in between cannot overrun an array sized from that count.
FT_STATUS FTD2XX_CALL FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, LPDWORD count) {
  if (!dest || !count) return FT_INVALID_PARAMETER;
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  for (size_t i = 0; i < r.listed.size(); ++i) dest[i] = r.listed[i].node;
  *count = static_cast<DWORD>(r.listed.size());
  return FT_OK;
}

FT_STATUS FTD2XX_CALL FT_Open(int index, FT_HANDLE *out) {
  if (!out) return FT_INVALID_PARAMETER;
  *out = nullptr;
  NodeInfo n;
  std::unique_ptr<Handle> h;
  FT_STATUS st = FT_DEVICE_NOT_FOUND;
  if (node_at(index, false, n)) st = open_node(n, h);
  // The list may be stale (a device replugged gets a new address): look again once.
  if (st == FT_DEVICE_NOT_FOUND && node_at(index, true, n)) st = open_node(n, h);
  if (st != FT_OK) return st;
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  void *key = h.get();
  r.open.emplace(key, std::shared_ptr<Handle>(std::move(h)));
  *out = key;
  return FT_OK;
}

FT_STATUS FTD2XX_CALL FT_Close(FT_HANDLE handle) {
  std::shared_ptr<Handle> h;
  {
    Registry &r = registry();
    std::lock_guard lock(r.mu);
    auto it = r.open.find(handle);
    if (it == r.open.end()) return FT_INVALID_HANDLE;
    h = std::move(it->second);
    r.open.erase(it);
  }
  return FT_OK;  // the handle closes when its last call in progress ends
}

FT_STATUS FTD2XX_CALL FT_SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms) {
  auto h = find(handle);
  if (!h) return FT_INVALID_HANDLE;
  h->read_timeout = read_ms;
  h->write_timeout = write_ms;
  return FT_OK;
}

FT_STATUS FTD2XX_CALL FT_Purge(FT_HANDLE handle, ULONG mask) {
  auto h = find(handle);
  if (!h) return FT_INVALID_HANDLE;
  FT_STATUS st = FT_OK;
  // ftdi_tc*flush, not the deprecated ftdi_usb_purge_*, whose meanings were swapped.
  if (mask & FT_PURGE_RX) {
    if (h->pump)
      st = h->pump->purge_rx();
    else if (ftdi_tciflush(h->ftdi) < 0)
      st = FT_IO_ERROR;
  }
  if ((mask & FT_PURGE_TX) && ftdi_tcoflush(h->ftdi) < 0) st = FT_IO_ERROR;
  return st;
}

FT_STATUS FTD2XX_CALL FT_Write(FT_HANDLE handle, LPVOID data, DWORD length, LPDWORD written) {
  auto h = find(handle);
  if (!h) return FT_INVALID_HANDLE;
  if (!written || (!data && length)) return FT_INVALID_PARAMETER;
  *written = 0;
  if (length == 0) return FT_OK;
  h->ftdi->usb_write_timeout = static_cast<int>(std::min<ULONG>(h->write_timeout, INT32_MAX));
  const int rc =
      ftdi_write_data(h->ftdi, static_cast<const unsigned char *>(data), static_cast<int>(length));
  // On a time-out libftdi cannot say how much went: report none, as the caller must retry.
  if (rc == LIBUSB_ERROR_TIMEOUT) return FT_OK;
  if (rc < 0) return FT_IO_ERROR;
  *written = static_cast<DWORD>(rc);
  return FT_OK;
}

FT_STATUS FTD2XX_CALL FT_Read(FT_HANDLE handle, LPVOID data, DWORD length, LPDWORD got) {
  auto h = find(handle);
  if (!h) return FT_INVALID_HANDLE;
  if (!got || (!data && length)) return FT_INVALID_PARAMETER;
  *got = 0;
  auto *buf = static_cast<uint8_t *>(data);
  if (h->pump) return h->pump->read(buf, length, *got, h->read_timeout);
  ftdi_context *ftdi = h->ftdi;
  auto read_some = [&](uint8_t *b, int n, int wait_ms) {
    if (h->in_stopped) {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
      return 0;
    }
    // The chip answers every latency period, so one call returns in a few milliseconds; the
    // USB time-out only bounds a chip that stopped answering.
    ftdi->usb_read_timeout = std::max(wait_ms, 1);
    const int rc = ftdi_read_data(ftdi, b, n);
    if (rc == LIBUSB_ERROR_TIMEOUT) return 0;
    return rc < 0 ? -1 : rc;
  };
  return read_with_deadline(read_some, now_ms, buf, length, h->read_timeout, *got,
                            kUsbCallTimeoutMs);
}

FT_STATUS FTD2XX_CALL FT_StopInTask(FT_HANDLE handle) {
  auto h = find(handle);
  if (!h) return FT_INVALID_HANDLE;
  if (h->pump) return h->pump->stop_in();
  h->in_stopped = true;
  return FT_OK;
}

FT_STATUS FTD2XX_CALL FT_RestartInTask(FT_HANDLE handle) {
  auto h = find(handle);
  if (!h) return FT_INVALID_HANDLE;
  if (h->pump) return h->pump->restart_in();
  h->in_stopped = false;
  return FT_OK;
}

FT_STATUS FTD2XX_CALL FT_EE_UARead(FT_HANDLE handle, PUCHAR data, DWORD length, LPDWORD got) {
  auto h = find(handle);
  if (!h) return FT_INVALID_HANDLE;
  if (!data || !got) return FT_INVALID_PARAMETER;
  *got = 0;
  std::vector<uint8_t> image;
  if (!read_eeprom(h->ftdi, image)) return FT_EEPROM_READ_FAILED;
  const UserArea area = locate_user_area(image.data(), image.size());
  if (!area.found) return FT_EEPROM_NOT_PROGRAMMED;
  const size_t n = std::min<size_t>(length, area.length);
  std::memcpy(data, image.data() + area.start, n);
  *got = static_cast<DWORD>(n);
  return FT_OK;
}

FT_STATUS FTD2XX_CALL FT_EE_UAWrite(FT_HANDLE handle, PUCHAR data, DWORD length) {
  auto h = find(handle);
  if (!h) return FT_INVALID_HANDLE;
  if (!data && length) return FT_INVALID_PARAMETER;
  std::vector<uint8_t> before;
  if (!read_eeprom(h->ftdi, before)) return FT_EEPROM_READ_FAILED;
  std::vector<uint8_t> after = before;
  switch (patch_user_area(after, data, length)) {
    case PatchResult::kOk:
      break;
    case PatchResult::kTooLong:
      return FT_INVALID_PARAMETER;
    case PatchResult::kNoUserArea:
    case PatchResult::kBadChecksum:
      return FT_EEPROM_NOT_PROGRAMMED;  // never write over an image we cannot trust
  }
  // Changed words first and the checksum word last, so an interrupted write leaves an image
  // that fails its checksum instead of one that passes with half the new data.
  const size_t words = after.size() / 2;
  for (size_t w = 0; w + 1 < words; ++w)
    if ((before[2 * w] != after[2 * w] || before[2 * w + 1] != after[2 * w + 1]) &&
        !write_eeprom_word(h->ftdi, w, after))
      return FT_EEPROM_WRITE_FAILED;
  if (!write_eeprom_word(h->ftdi, words - 1, after)) return FT_EEPROM_WRITE_FAILED;
  std::vector<uint8_t> check;
  if (!read_eeprom(h->ftdi, check) || check != after) return FT_EEPROM_WRITE_FAILED;
  return FT_OK;
}

unsigned long FTD2XX_CALL qxftdi_stream_overruns(FT_HANDLE handle) {
  auto h = find(handle);
  return h && h->pump ? h->pump->overruns() : 0;
}

}  // extern "C"
