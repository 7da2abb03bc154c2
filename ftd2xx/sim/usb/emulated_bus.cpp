#include "emulated_bus.h"

#include <errno.h>
#include <linux/ioctl.h>  // before usbdevice_fs.h, which uses _IOR without including it
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

namespace qxusb {

namespace {

constexpr uint64_t kUnpacedBuffer = std::numeric_limits<uint64_t>::max() / 4;
constexpr int kClaimRetries = 100;  // 1 ms each: how long a claim waits for a closed file to let go
constexpr auto kIdleReapWait = std::chrono::microseconds(250);

std::string hex(const std::vector<uint8_t> &bytes) {
  std::string s;
  char b[3];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02x", v);
    s += b;
  }
  return s;
}

// A root hub, so that the device has the parent libusb expects.
const std::vector<uint8_t> kRootHubDescriptors = {
    0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x00, 0x40, 0x6b, 0x1d, 0x01, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x01, 0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0xe0, 0x00, 0x09, 0x04, 0x00,
    0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x07, 0x05, 0x81, 0x03, 0x04, 0x00, 0x0c};

struct Urb {
  UMockdevIoctlClient *client = nullptr;  // identity only: the client may be gone
  UMockdevIoctlData *data = nullptr;      // the URB struct, a reference we hold
  unsigned char type = 0;
  unsigned char endpoint = 0;
  bool done = false;
  int status = 0;
  int actual = 0;
  InTransfer in;  // bulk IN: what the chip has put in so far
};

}  // namespace

// One device on the bus, at /dev/bus/usb/001/<2 + index>, with its own lock: the umockdev
// worker serves every device's ioctls, and a test reaches into one device at a time.
struct Device {
  Device(std::size_t index, const DeviceStrings &given)
      : strings{given.product.substr(0, 12),
                given.serial.substr(0, 12)},  // as the EEPROM holds them
        chip(amp, strings.product, strings.serial),
        devnum(static_cast<int>(index) + 2),
        node(path_for("/dev/bus/usb/001/%03d", devnum)),
        sys_path(path_for("/sys/devices/usb1/1-%d", devnum - 1)) {}

  std::mutex mu;
  DeviceStrings strings;
  qxsim::Amplifier amp{kUnpacedBuffer, 1};  // the chip's FIFO is what bounds it here
  Ft2232d chip;
  const int devnum;
  const std::string node;
  const std::string sys_path;
  bool plugged = true;
  std::array<UMockdevIoctlClient *, 2> claims{};
  std::set<UMockdevIoctlClient *> clients;  // those we watch for their end
  std::deque<Urb> urbs;                     // in submission order
  BusCounters counters;
  UMockdevIoctlBase *handler = nullptr;

  // Only once the testbed no longer calls in.
  ~Device() {
    std::lock_guard lock(mu);
    for (UMockdevIoctlClient *c : clients) g_object_weak_unref(G_OBJECT(c), client_gone, this);
    clients.clear();
    for (Urb &u : urbs) umockdev_ioctl_data_unref(u.data);
    urbs.clear();
    if (handler) g_object_unref(handler);
  }

  static std::string path_for(const char *format, int n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, n);
    return buf;
  }

  // The udev record umockdev adds: what libusb reads of the device through sysfs.
  std::string record() const {
    const std::string num = std::to_string(devnum);
    return "P: " + sys_path.substr(4) + "\nN: " + node.substr(5) +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + node +
           "\nE: BUSNUM=001\nE: DEVNUM=" + node.substr(node.size() - 3) +
           "\nE: DRIVER=usb\nA: busnum=1\\n\nA: devnum=" + num +
           "\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\nA: idVendor=0403\\n\n"
           "A: idProduct=6010\\n\nA: manufacturer=" +
           kManufacturer + "\\n\nA: product=" + strings.product +
           "\\n\nA: serial=" + strings.serial +
           "\\n\nH: descriptors=" + hex(Ft2232d::descriptors()) + "\n";
  }

  // umockdev finalises a client when its file is closed; the kernel releases that file's
  // claims and URBs then, so the emulation must too.
  static void client_gone(gpointer self, GObject *where_the_object_was) {
    auto *device = static_cast<Device *>(self);
    auto *client = reinterpret_cast<UMockdevIoctlClient *>(where_the_object_was);
    std::lock_guard lock(device->mu);
    device->clients.erase(client);
    for (auto &c : device->claims)
      if (c == client) c = nullptr;
    for (auto it = device->urbs.begin(); it != device->urbs.end();) {
      if (it->client == client) {
        umockdev_ioctl_data_unref(it->data);
        it = device->urbs.erase(it);
      } else {
        ++it;
      }
    }
  }

  void watch(UMockdevIoctlClient *client) {
    if (clients.insert(client).second) g_object_weak_ref(G_OBJECT(client), client_gone, this);
  }

  // Lets the chip move what the amplifier sent into the pending IN transfers, as the bus would
  // have since the last call.
  void service(Clock::time_point now) {
    for (int port = 0; port < 2; ++port) {
      const unsigned char ep = port == 0 ? 0x81 : 0x83;
      std::vector<InTransfer *> pending;
      for (Urb &u : urbs)
        if (!u.done && u.type == USBDEVFS_URB_TYPE_BULK && u.endpoint == ep)
          pending.push_back(&u.in);
      chip.service_in(port, now, pending);
      for (Urb &u : urbs) {
        if (u.done || u.type != USBDEVFS_URB_TYPE_BULK || u.endpoint != ep || !u.in.complete)
          continue;
        u.done = true;
        u.actual = static_cast<int>(u.in.data.size());
        counters.in_bytes += u.in.data.size();
      }
    }
  }

  static void complete(UMockdevIoctlClient *client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
  }

  gboolean handle(UMockdevIoctlClient *client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    if (request == USBDEVFS_CLAIMINTERFACE) return claim(client, arg);
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) return reap(client, arg);
    std::lock_guard lock(mu);
    watch(client);
    const auto now = Clock::now();
    if (plugged) service(now);
    // Once unplugged, everything but reaping fails as the kernel has it.
    if (!plugged) {
      complete(client, -1, ENODEV);
      return TRUE;
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        if (!caps) return fault(client);
        // Scatter-gather lets libusb send each transfer as one URB.
        const uint32_t v = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
                           USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                           USBDEVFS_CAP_ZERO_PACKET;
        std::memcpy(caps->data, &v, sizeof v);
        complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:  // connect or disconnect a kernel driver: there is none
        complete(client, -1, ENODATA);
        return TRUE;
      case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        if (!d) return fault(client);
        unsigned iface;
        std::memcpy(&iface, d->data, sizeof iface);
        if (iface > 1 || claims[iface] != client) {
          complete(client, -1, EINVAL);
          return TRUE;
        }
        claims[iface] = nullptr;
        complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_RESET:
        ++counters.resets;
        complete(client, 0, 0);
        return TRUE;
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP:
        complete(client, 0, 0);
        return TRUE;
      case USBDEVFS_SUBMITURB:
        return submit(client, arg, now);
      case USBDEVFS_DISCARDURB: {
        const gulong addr = *reinterpret_cast<const gulong *>(arg->data);
        for (Urb &u : urbs) {
          if (u.client != client || u.data->client_addr != addr || u.done) continue;
          u.done = true;
          u.status = -ENOENT;
          u.actual = static_cast<int>(u.in.data.size());  // what came before the cancel stays
          complete(client, 0, 0);
          return TRUE;
        }
        complete(client, -1, EINVAL);
        return TRUE;
      }
      default:
        complete(client, -1, ENOTTY);
        return TRUE;
    }
  }

  // A client killed in the middle of an ioctl leaves nothing to resolve: answer, never assert.
  static gboolean fault(UMockdevIoctlClient *client) {
    complete(client, -1, EFAULT);
    return TRUE;
  }

  gboolean claim(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
    if (!d) return fault(client);
    unsigned iface;
    std::memcpy(&iface, d->data, sizeof iface);
    {
      std::lock_guard lock(mu);
      ++counters.claims;
    }
    // A claim held by a file just closed is let go when umockdev notices the close, which can
    // come a little after: wait for it briefly, as the kernel would have released it at once.
    for (int attempt = 0;; ++attempt) {
      {
        std::lock_guard lock(mu);
        watch(client);
        if (!plugged) {
          complete(client, -1, ENODEV);
          return TRUE;
        }
        if (iface > 1) {
          complete(client, -1, EINVAL);
          return TRUE;
        }
        if (!claims[iface] || claims[iface] == client) {
          claims[iface] = client;
          complete(client, 0, 0);
          return TRUE;
        }
        if (attempt == kClaimRetries) {
          complete(client, -1, EBUSY);
          return TRUE;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  gboolean submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg, Clock::time_point now) {
    UMockdevIoctlData *urb_data =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!urb_data) return fault(client);
    usbdevfs_urb urb;
    std::memcpy(&urb, urb_data->data, sizeof urb);
    if (urb.buffer_length < 0) {
      complete(client, -1, EINVAL);
      return TRUE;
    }
    ++counters.submitted;
    Urb u;
    u.client = client;
    u.type = urb.type;
    u.endpoint = urb.endpoint;
    const auto length = static_cast<std::size_t>(urb.buffer_length);
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
      if (length < 8) {
        complete(client, -1, EINVAL);
        return TRUE;
      }
      UMockdevIoctlData *buf =
          umockdev_ioctl_data_resolve(urb_data, offsetof(usbdevfs_urb, buffer), length, nullptr);
      if (!buf) return fault(client);
      uint8_t setup[8];
      std::memcpy(setup, buf->data, 8);
      const std::size_t w_length = static_cast<std::size_t>(setup[6] | (setup[7] << 8));
      if (w_length > length - 8) {
        complete(client, -1, EINVAL);
        return TRUE;
      }
      if ((setup[0] & 0x60) == 0x40) ++counters.vendor_requests;
      if (setup[1] == 0x06 && setup[3] == 0x03) ++counters.string_requests;  // GET_DESCRIPTOR
      const int r = chip.control(setup, buf->data + 8, now);
      u.done = true;
      u.status = r < 0 ? -EPIPE : 0;  // a stall
      u.actual = r < 0 ? 0 : r;
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && (urb.endpoint & 0x80)) {
      if (urb.endpoint != 0x81 && urb.endpoint != 0x83) {
        complete(client, -1, ENOENT);
        return TRUE;
      }
      u.in.length = length;
      u.in.data.reserve(length);
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK) {
      if (urb.endpoint != 0x02 && urb.endpoint != 0x04) {
        complete(client, -1, ENOENT);
        return TRUE;
      }
      if (length) {
        UMockdevIoctlData *buf =
            umockdev_ioctl_data_resolve(urb_data, offsetof(usbdevfs_urb, buffer), length, nullptr);
        if (!buf) return fault(client);
        chip.bulk_out(urb.endpoint, buf->data, length, now);
      }
      u.done = true;
      u.actual = urb.buffer_length;
    } else {
      complete(client, -1, EINVAL);  // no interrupt or isochronous endpoints here
      return TRUE;
    }
    u.data = umockdev_ioctl_data_ref(urb_data);
    urbs.push_back(std::move(u));
    complete(client, 0, 0);
    return TRUE;
  }

  gboolean reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    std::unique_lock lock(mu);
    watch(client);
    ++counters.reaps;
    auto done = [&] {
      if (plugged) service(Clock::now());
      return std::find_if(urbs.begin(), urbs.end(),
                          [&](const Urb &u) { return u.client == client && u.done; });
    };
    auto it = done();
    if (it == urbs.end() && plugged) {
      // The file is a plain one, so poll() always says ready and libusb reaps in a loop where
      // the kernel would let it sleep until a completion. Waiting a little here before saying
      // "nothing yet" keeps that loop from taking a core away from the host's other threads.
      lock.unlock();
      std::this_thread::sleep_for(kIdleReapWait);
      lock.lock();
      it = done();
    }
    if (it == urbs.end()) {
      complete(client, -1, plugged ? EAGAIN : ENODEV);
      return TRUE;
    }
    Urb u = std::move(*it);
    urbs.erase(it);
    UMockdevIoctlData *ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
    if (!ptr) {
      umockdev_ioctl_data_unref(u.data);
      return fault(client);
    }
    if (u.type == USBDEVFS_URB_TYPE_BULK && (u.endpoint & 0x80) && u.actual > 0) {
      // The IN buffer is fetched only now and only as far as it was filled.
      UMockdevIoctlData *buf = umockdev_ioctl_data_resolve(
          u.data, offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(u.actual), nullptr);
      if (!buf) {
        umockdev_ioctl_data_unref(u.data);
        return fault(client);
      }
      std::memcpy(buf->data, u.in.data.data(), static_cast<std::size_t>(u.actual));
    }
    auto *urb = reinterpret_cast<usbdevfs_urb *>(u.data->data);
    urb->status = u.status;
    urb->actual_length = u.actual;
    umockdev_ioctl_data_set_ptr(ptr, 0, u.data);
    complete(client, 0, 0);
    umockdev_ioctl_data_unref(u.data);
    return TRUE;
  }
};

struct EmulatedBus::Impl {
  UMockdevTestbed *testbed = nullptr;
  std::vector<std::unique_ptr<Device>> devices;

  ~Impl() {
    if (testbed) {
      // The worker thread may still call in while the testbed goes; nothing may be left to
      // touch after that.
      for (auto &d : devices) umockdev_testbed_detach_ioctl(testbed, d->node.c_str(), nullptr);
      g_object_unref(testbed);
    }
    devices.clear();
  }

  Device &device(std::size_t index) { return *devices.at(index); }
};

namespace {
gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer device) {
  return static_cast<Device *>(device)->handle(client);
}

bool add_record(UMockdevTestbed *testbed, const std::string &record, std::string &error) {
  GError *err = nullptr;
  if (umockdev_testbed_add_from_string(testbed, record.c_str(), &err)) return true;
  error = std::string("cannot add a device: ") + (err ? err->message : "?");
  if (err) g_error_free(err);
  return false;
}
}  // namespace

EmulatedBus::EmulatedBus(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
EmulatedBus::~EmulatedBus() = default;

std::unique_ptr<EmulatedBus> EmulatedBus::start(bool from_environment, std::string &error,
                                                const std::vector<DeviceStrings> &devices) {
  auto impl = std::make_unique<Impl>();
  bool attached = true;
  if (from_environment)
    if (const char *v = std::getenv("QXSIM_ATTACHED")) attached = std::atoi(v) != 0;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    auto d = std::make_unique<Device>(i, devices[i]);
    if (from_environment) {
      d->amp.apply_environment();
      d->chip.eeprom = Ft2232d::eeprom_image(d->amp.user_area.data(), d->amp.user_area.size(),
                                             d->strings.product, d->strings.serial);
    }
    d->plugged = attached;
    impl->devices.push_back(std::move(d));
  }
  impl->testbed = umockdev_testbed_new();
  if (!impl->testbed) {
    error = "cannot create the umockdev testbed";
    return nullptr;
  }
  // Each handler is in place before its node appears, so no client can see a bare file.
  for (auto &d : impl->devices) {
    d->handler = umockdev_ioctl_base_new();
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(on_ioctl), d.get());
    GError *err = nullptr;
    if (!umockdev_testbed_attach_ioctl(impl->testbed, d->node.c_str(), d->handler, &err)) {
      error = std::string("cannot attach a device's ioctl handler: ") + (err ? err->message : "?");
      if (err) g_error_free(err);
      return nullptr;
    }
  }
  const std::string hub =
      "P: /devices/usb1\nN: bus/usb/001/001\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
      "E: DEVNAME=/dev/bus/usb/001/001\nE: BUSNUM=001\nE: DEVNUM=001\nE: DRIVER=usb\n"
      "A: busnum=1\\n\nA: devnum=1\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\n"
      "H: descriptors=" +
      hex(kRootHubDescriptors) + "\n";
  if (!add_record(impl->testbed, hub, error)) return nullptr;
  if (attached)
    for (auto &d : impl->devices)
      if (!add_record(impl->testbed, d->record(), error)) return nullptr;
  return std::unique_ptr<EmulatedBus>(new EmulatedBus(std::move(impl)));
}

std::string EmulatedBus::root_dir() const {
  gchar *dir = umockdev_testbed_get_root_dir(impl_->testbed);
  std::string s = dir ? dir : "";
  g_free(dir);
  return s;
}

std::size_t EmulatedBus::device_count() const {
  return impl_->devices.size();
}

std::string EmulatedBus::sys_path(std::size_t index) const {
  return impl_->device(index).sys_path;
}

void EmulatedBus::with_device(std::size_t index,
                              const std::function<void(qxsim::Amplifier &, Ft2232d &)> &f) {
  Device &d = impl_->device(index);
  std::lock_guard lock(d.mu);
  f(d.amp, d.chip);
}

void EmulatedBus::unplug(std::size_t index) {
  Device &d = impl_->device(index);
  {
    std::lock_guard lock(d.mu);
    if (!d.plugged) return;
    d.service(Clock::now());
    d.plugged = false;
    d.amp.stop_stream(Clock::now());
    for (Urb &u : d.urbs) {
      if (u.done) continue;
      u.done = true;
      u.status = -ESHUTDOWN;  // what the kernel gives transfers of a device that went
      u.actual = static_cast<int>(u.in.data.size());
    }
  }
  umockdev_testbed_remove_device(impl_->testbed, d.sys_path.c_str());
}

BusCounters EmulatedBus::counters(std::size_t index) {
  Device &d = impl_->device(index);
  std::lock_guard lock(d.mu);
  return d.counters;
}

}  // namespace qxusb
