// The D2XX calls over libftdi1 and libusb, for the real bridge on Linux.
//
// Every handle has its own ftdi context and so its own libusb context. The control channel is
// synchronous; the stream channel is fed by a pump that keeps several bulk-IN transfers queued
// on its handle's context, because libftdi has no background reader and a single synchronous
// loop cannot keep up with a full-speed chip's half a millisecond of buffer.
#include <libftdi1/ftdi.h>
#include <libusb-1.0/libusb.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
#include "stream_pump.h"

namespace qxftdi {
namespace {

constexpr unsigned char kLatencyMs = 2;  // short echoes on the control channel come back fast
constexpr int kUsbCallTimeoutMs = 500;   // one USB call; the read loop enforces the real deadline
constexpr int kControlTransferTimeoutMs = 1000;
constexpr size_t kTransferBytes = 16384;  // a multiple of both packet sizes, 64 and 512
// In flight, the transfers keep draining the chip's 384-byte buffer while the process is stopped
// (Ctrl-Z, a loaded machine): 64 x 16 KiB last 1.3 s at the full rate, and are 1 MiB of the
// 16 MiB that usbfs allows all processes together.
constexpr int kTransfers = 64;
constexpr size_t kQueueBytes = 2u << 20;  // 2.5 s of the fastest stream

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

// ---- bulk-IN transfers for the stream pump ----

class LibusbIn final : public InTransfers {
 public:
  explicit LibusbIn(ftdi_context *ftdi) : ftdi_(ftdi) {}
  LibusbIn(const LibusbIn &) = delete;
  LibusbIn &operator=(const LibusbIn &) = delete;
  ~LibusbIn() override { stop_events(); }

  bool allocate(int count) {
    slots_.resize(static_cast<size_t>(count));
    for (size_t i = 0; i < slots_.size(); ++i) {
      slots_[i] = {this, static_cast<int>(i), libusb_alloc_transfer(0)};
      if (!slots_[i].transfer) return false;
    }
    return true;
  }

  // The pump is told of completions from this thread, which runs the handle's libusb context.
  void start_events(StreamPump *pump) {
    pump_ = pump;
    thread_ = std::thread([this] {
      // Named, so that its share of the CPU can be told apart (top -H, /proc).
      pthread_setname_np(pthread_self(), "qxftdi-events");
      while (!quit_) {
        timeval tick{0, 100000};
        libusb_handle_events_timeout_completed(ftdi_->usb_ctx, &tick, nullptr);
      }
    });
  }

  void stop_events() {
    if (!thread_.joinable()) return;
    quit_ = true;
    libusb_interrupt_event_handler(ftdi_->usb_ctx);
    thread_.join();
  }

  // After the events stopped. A transfer the device never gave back cannot be freed safely;
  // leaking it is the lesser harm.
  void free_transfers(StreamPump &pump) {
    for (Slot &s : slots_)
      if (s.transfer && !pump.in_flight(s.index)) libusb_free_transfer(s.transfer);
    slots_.clear();
  }

  bool submit(int slot, uint8_t *buf, size_t length) override {
    Slot &s = slots_[static_cast<size_t>(slot)];
    // libftdi names endpoints from the chip's side: out_ep is the one the host reads from.
    libusb_fill_bulk_transfer(s.transfer, ftdi_->usb_dev, static_cast<unsigned char>(ftdi_->out_ep),
                              buf, static_cast<int>(length), done, &s, 0);
    return libusb_submit_transfer(s.transfer) == 0;
  }

  void cancel(int slot) override {
    libusb_cancel_transfer(slots_[static_cast<size_t>(slot)].transfer);
  }

  bool flush_chip() override { return ftdi_tciflush(ftdi_) >= 0; }

 private:
  struct Slot {
    LibusbIn *owner = nullptr;
    int index = 0;
    libusb_transfer *transfer = nullptr;
  };

  static void LIBUSB_CALL done(libusb_transfer *t) {
    const Slot &s = *static_cast<Slot *>(t->user_data);
    TransferEnd end = TransferEnd::kFailed;  // gone, stalled, overflowed or broken
    if (t->status == LIBUSB_TRANSFER_COMPLETED)
      end = TransferEnd::kCompleted;
    else if (t->status == LIBUSB_TRANSFER_CANCELLED)
      end = TransferEnd::kCancelled;
    else if (t->status == LIBUSB_TRANSFER_TIMED_OUT)
      end = TransferEnd::kTimedOut;
    s.owner->pump_->transfer_done(s.index, end,
                                  t->actual_length > 0 ? static_cast<size_t>(t->actual_length) : 0);
  }

  ftdi_context *ftdi_;
  StreamPump *pump_ = nullptr;
  std::vector<Slot> slots_;  // sized once: transfers point into it
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

// ---- handles ----

struct Handle {
  ftdi_context *ftdi = nullptr;
  int interface = 0;
  uint8_t bus = 0, address = 0;
  // A control handle opened while this process streams from the same device: it works through
  // the stream handle's USB connection, which holds the control interface claimed.
  std::shared_ptr<Handle> owner;
  ULONG read_timeout = 0;
  ULONG write_timeout = 0;
  std::atomic<bool> in_stopped{false};
  // Interface B, the stream channel.
  std::unique_ptr<LibusbIn> usb_in;
  std::unique_ptr<StreamPump> pump;

  ~Handle() {
    // Before the USB device they read from goes: bring the transfers home, then stop the events.
    if (pump) pump->shutdown();
    if (usb_in) {
      usb_in->stop_events();
      if (pump) usb_in->free_transfers(*pump);
    }
    pump.reset();
    usb_in.reset();
    if (ftdi && owner) {
      ftdi->usb_dev = nullptr;  // the owner's to close, with the claims it holds
      ftdi_free(ftdi);
    } else if (ftdi) {
      ftdi_usb_close(ftdi);
      ftdi_free(ftdi);
    }
  }
};

struct Registry {
  // Every handle and listing has a libusb context of its own, and libusb starts its device
  // monitor (a uevent socket and a thread) when the first context of the process comes and stops
  // it when the last goes. This one, never freed, keeps it started once for the process instead
  // of at every control exchange; under umockdev, whose uevent sockets are named by descriptor
  // number, that also keeps processes sharing one emulated bus from colliding on them.
  libusb_context *anchor = nullptr;
  std::mutex mu;
  std::vector<NodeInfo> listed;  // what the last enumeration found
  std::map<void *, std::shared_ptr<Handle>> open;
  std::vector<UsbId> ids = parse_usb_ids(std::getenv("QX470_USB_IDS"));

  // With `mu` held, before a listing. Tried again until it works: a start can fail for a moment.
  void hold_device_monitor() {
    if (!anchor && libusb_init(&anchor) != 0) anchor = nullptr;
  }
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

// The product and serial strings of a device, read without claiming, resetting or sending it
// anything but standard string requests: it may be another device on the same ids. False when
// they cannot be read (no permission to open it, or no answer).
bool read_strings(libusb_device *dev, const libusb_device_descriptor &dd, char (&product)[64],
                  char (&serial)[64]) {
  product[0] = serial[0] = '\0';
  libusb_device_handle *h = nullptr;
  if (dd.iProduct == 0 || libusb_open(dev, &h) != 0) return false;
  const bool ok =
      libusb_get_string_descriptor_ascii(h, dd.iProduct, reinterpret_cast<unsigned char *>(product),
                                         sizeof product) >= 0;
  if (ok && dd.iSerialNumber &&
      libusb_get_string_descriptor_ascii(
          h, dd.iSerialNumber, reinterpret_cast<unsigned char *>(serial), sizeof serial) < 0)
    serial[0] = '\0';
  libusb_close(h);
  return ok;
}

// Lists the amplifiers among the devices on the ids looked for (QX470_USB_SERIAL narrows it to
// one); each dual-interface chip is one USB device and two nodes. Uses a short-lived context of
// its own: a device found here is opened later by bus and address in the handle's context.
FT_STATUS enumerate(const std::vector<UsbId> &ids, std::vector<NodeInfo> &nodes) {
  nodes.clear();
  ftdi_context *ctx = ftdi_new();
  if (!ctx) return FT_OTHER_ERROR;  // no USB subsystem to talk to
  const char *wanted_serial = std::getenv("QX470_USB_SERIAL");
  for (const UsbId &id : ids) {
    ftdi_device_list *list = nullptr;
    if (ftdi_usb_find_all(ctx, &list, id.vid, id.pid) < 0) continue;
    for (ftdi_device_list *p = list; p; p = p->next) {
      libusb_device *dev = p->dev;
      libusb_device_descriptor dd{};
      if (libusb_get_device_descriptor(dev, &dd) != 0) continue;
      char product[64], serial[64];
      if (!read_strings(dev, dd, product, serial) ||
          !is_listed_device(product, serial, wanted_serial))
        continue;
      int interfaces = 1;
      libusb_config_descriptor *cfg = nullptr;
      if (libusb_get_config_descriptor(dev, 0, &cfg) == 0) {
        interfaces = std::clamp<int>(cfg->bNumInterfaces, 1, 4);
        libusb_free_config_descriptor(cfg);
      }
      for (int i = 0; i < interfaces; ++i) {
        NodeInfo n;
        name_node(n.node, product, serial, i);
        n.node.Type = device_type(dd.bcdDevice);
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
  r.hold_device_monitor();
  if (fresh || r.listed.empty()) enumerate(r.ids, r.listed);
  if (index < 0 || static_cast<size_t>(index) >= r.listed.size()) return false;
  out = r.listed[static_cast<size_t>(index)];
  return true;
}

// The open stream handle of this process on that device, if any.
std::shared_ptr<Handle> streaming_from(const NodeInfo &n) {
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  for (const auto &[key, h] : r.open)
    if (h->interface == 1 && h->bus == n.bus && h->address == n.address) return h;
  return nullptr;
}

// The control interface through the stream handle's connection, set up as an open of its own
// would: the chip's type and packet size, the interface reset, 9600 baud.
FT_STATUS open_through(const std::shared_ptr<Handle> &owner, Handle &h) {
  if (ftdi_set_interface(h.ftdi, INTERFACE_A) < 0) return FT_DEVICE_NOT_OPENED;
  ftdi_set_usbdev(h.ftdi, owner->ftdi->usb_dev);
  h.owner = owner;
  h.ftdi->type = owner->ftdi->type;
  h.ftdi->max_packet_size = owner->ftdi->max_packet_size;
  if (ftdi_usb_reset(h.ftdi) < 0 || ftdi_set_baudrate(h.ftdi, 9600) < 0) return FT_IO_ERROR;
  return FT_OK;
}

FT_STATUS open_node(const NodeInfo &n, std::unique_ptr<Handle> &h) {
  h = std::make_unique<Handle>();
  h->interface = n.interface;
  h->bus = n.bus;
  h->address = n.address;
  h->ftdi = ftdi_new();
  if (!h->ftdi) return FT_INSUFFICIENT_RESOURCES;
  if (n.interface == 0) {
    if (auto owner = streaming_from(n)) {
      if (const FT_STATUS st = open_through(owner, *h); st != FT_OK) return st;
      ftdi_set_latency_timer(h->ftdi, kLatencyMs);
      h->ftdi->usb_read_timeout = kUsbCallTimeoutMs;
      return FT_OK;
    }
  }
  // The interface is chosen before opening, or libftdi opens A.
  if (ftdi_set_interface(h->ftdi, static_cast<ftdi_interface>(INTERFACE_A + n.interface)) < 0)
    return FT_DEVICE_NOT_OPENED;
  const int rc = ftdi_usb_open_bus_addr(h->ftdi, n.bus, n.address);
  if (rc == -3) return FT_DEVICE_NOT_FOUND;
  if (rc < 0) return FT_DEVICE_NOT_OPENED;  // e.g. busy: this interface is open already
  ftdi_set_latency_timer(h->ftdi, kLatencyMs);
  h->ftdi->usb_read_timeout = kUsbCallTimeoutMs;
  if (n.interface == 1) {
    // One process owns the amplifier while it streams: the control interface is claimed too, so
    // that another process's commands (a shunt switched on mid-recording) and starts fail until
    // this one closes. This process's own commands go through this connection (open_through).
    libusb_device_handle *dev = h->ftdi->usb_dev;
    if (libusb_kernel_driver_active(dev, 0) == 1) libusb_detach_kernel_driver(dev, 0);
    if (libusb_claim_interface(dev, 0) != 0) return FT_DEVICE_NOT_OPENED;
    h->usb_in = std::make_unique<LibusbIn>(h->ftdi);
    if (!h->usb_in->allocate(kTransfers)) return FT_INSUFFICIENT_RESOURCES;
    const size_t packet = h->ftdi->max_packet_size ? h->ftdi->max_packet_size : 64;
    h->pump =
        std::make_unique<StreamPump>(*h->usb_in, packet, kTransfers, kTransferBytes, kQueueBytes);
    h->usb_in->start_events(h->pump.get());
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
  r.hold_device_monitor();
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

FT_STATUS FTD2XX_CALL FT_GetModemStatus(FT_HANDLE handle, ULONG *status) {
  auto h = find(handle);
  if (!h) return FT_INVALID_HANDLE;
  if (!status) return FT_INVALID_PARAMETER;
  // The stream's overrun comes from the packets' status bytes, which the pump reads; the other
  // lines of an amplifier's bridge carry nothing of interest.
  *status = h->pump && h->pump->take_overrun() ? ULONG{FT_LINE_OVERRUN_ERROR} << 8 : 0;
  return FT_OK;
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
