// Emulated USB label printer on top of a umockdev testbed; see the header.
#include "usb_printer_sim.h"

#include <linux/usbdevice_fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

extern char **environ;

namespace zarn::usbsim {
namespace {

// What an xHCI port reports: with scatter-gather libusb sends each bulk
// transfer as one URB, so URB boundaries are the host's transfer boundaries.
constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr int kSpeedHigh = 3; // USB_SPEED_HIGH from linux/usb/ch9.h
// How long an empty reap waits for data before answering EAGAIN: the device
// node always polls writable, so libusb would otherwise spin on reaps.
constexpr auto kReapWait = std::chrono::milliseconds(1);

// usbfs driver name the kernel reports for an interface claimed through it.
constexpr const char *kUsbfsDriver = "usbfs";

enum class IfaceState { kernel_driver, free, claimed };

struct GObjectUnref {
  void operator()(void *p) const
  {
    if (p)
      g_object_unref(p);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

struct Urb {
  GPtr<UMockdevIoctlData> urb;      // the client's struct usbdevfs_urb
  GPtr<UMockdevIoctlData> buf;      // its buffer; null for zero-length transfers
  GPtr<UMockdevIoctlClient> client; // held so its state can be asked later
  unsigned long addr = 0;           // client address of the urb
  uint8_t type = 0;
  uint8_t endpoint = 0;
  size_t length = 0;
  int status = 0;
  size_t actual = 0;

  usbdevfs_urb *view() const { return reinterpret_cast<usbdevfs_urb *>(urb->data); }
  uint8_t *bytes() const { return buf ? buf->data : nullptr; }
};

std::vector<uint8_t> string_descriptor(const std::string &text)
{
  std::vector<uint8_t> d{0, 3};
  for (unsigned char c : text) {
    if (d.size() + 2 > 255)
      break;
    d.push_back(c);
    d.push_back(0);
  }
  d[0] = static_cast<uint8_t>(d.size());
  return d;
}

std::vector<uint8_t> build_descriptors(const DeviceSpec &desc)
{
  auto lo = [](uint16_t v) { return static_cast<uint8_t>(v & 0xff); };
  auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
  std::vector<uint8_t> d = {// device
                            18, 1, 0x00, 0x02, 0, 0, 0, 64, lo(desc.vendor), hi(desc.vendor),
                            lo(desc.product), hi(desc.product), 0x00, 0x01, 1, 2, 3, 1,
                            // configuration 1, 32 bytes in total, self powered
                            9, 2, 32, 0, 1, 1, 0, 0xc0, 1,
                            // interface 0: printer class, bidirectional
                            9, 4, 0, 0, 2, 7, 1, 2, 0,
                            // bulk OUT 0x01, bulk IN 0x82
                            7, 5, kEndpointOut, 2, lo(kMaxPacketSize), hi(kMaxPacketSize), 0, 7, 5,
                            kEndpointIn, 2, lo(kMaxPacketSize), hi(kMaxPacketSize), 0};
  return d;
}

} // namespace

struct Device {
  UsbPrinterSim::Impl *sim = nullptr;
  int index = 0;
  DeviceSpec desc;
  int bus = 1;
  int num = 0;
  std::string sysname, syspath, node;
  std::vector<uint8_t> descriptors;
  GPtr<UMockdevIoctlBase> handler;

  // Guarded by Impl::m.
  std::deque<Urb> pending; // submitted, not finished, submission order
  std::deque<Urb> done;    // finished, waiting to be reaped, completion order
  IfaceState iface = IfaceState::free;
  UMockdevIoctlClient *claimer = nullptr;
  std::vector<uint8_t> out;
  std::vector<size_t> transfers;
  std::deque<std::vector<uint8_t>> in_queue;
  std::function<void(const uint8_t *, size_t)> out_handler;
  std::function<std::optional<std::vector<uint8_t>>()> in_provider;
  bool paused = false;
  bool unplugged = false;
  int opens = 0;
  std::set<UMockdevIoctlClient *> clients; // open, identity only
};

struct UsbPrinterSim::Impl {
  GPtr<UMockdevTestbed> testbed;
  mutable std::mutex m;
  mutable std::condition_variable cv;
  std::mutex callback_m; // one callback at a time, in order
  std::vector<std::unique_ptr<Device>> devices;
  std::set<unsigned long> logged_requests;
  // Clients umockdev has dropped (their fd was closed). Filled from a weak
  // reference callback that may run while m is held, hence its own mutex.
  std::mutex vanished_m;
  std::vector<std::pair<Device *, UMockdevIoctlClient *>> vanished;

  Device &dev(int i) const
  {
    if (i < 0 || static_cast<size_t>(i) >= devices.size())
      throw std::out_of_range("usbsim: no device " + std::to_string(i));
    return *devices[static_cast<size_t>(i)];
  }

  // Moves whatever can finish now from pending to done. OUT bytes for the
  // out handler are collected into `deliver` (called later, unlocked).
  void progress(Device &d, std::vector<std::vector<uint8_t>> &deliver)
  {
    bool out_blocked = d.paused, in_blocked = false;
    for (auto it = d.pending.begin(); it != d.pending.end();) {
      Urb &u = *it;
      bool finished = false;
      if (u.endpoint == kEndpointOut && !out_blocked) {
        const uint8_t *p = u.bytes();
        if (d.out_handler)
          deliver.emplace_back(p, p + u.length);
        else
          d.out.insert(d.out.end(), p, p + u.length);
        d.transfers.push_back(u.length);
        u.actual = u.length;
        finished = true;
      } else if (u.endpoint == kEndpointIn && !in_blocked) {
        if (u.length == 0) {
          finished = true;
        } else if (!d.in_queue.empty()) {
          auto &chunk = d.in_queue.front();
          size_t n = std::min(chunk.size(), u.length);
          if (n > 0) // an empty chunk answers with a zero-length transfer
            std::memcpy(u.bytes(), chunk.data(), n);
          u.actual = n;
          if (n < chunk.size())
            chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
          else
            d.in_queue.pop_front();
          finished = true;
        } else {
          in_blocked = true;
        }
      }
      if (finished) {
        d.done.push_back(std::move(u));
        it = d.pending.erase(it);
      } else {
        ++it;
      }
    }
    if (!deliver.empty() || !d.done.empty())
      cv.notify_all();
  }

  void deliver_out(Device &d, std::vector<std::vector<uint8_t>> &deliver)
  {
    if (deliver.empty())
      return;
    std::lock_guard cb(callback_m);
    std::function<void(const uint8_t *, size_t)> fn;
    {
      std::lock_guard lk(m);
      fn = d.out_handler;
    }
    for (auto &chunk : deliver) {
      if (fn)
        fn(chunk.data(), chunk.size());
    }
    std::lock_guard lk(m);
    cv.notify_all();
  }

  bool has_waiting_in(const Device &d) const
  {
    return std::any_of(d.pending.begin(), d.pending.end(),
                       [](const Urb &u) { return u.endpoint == kEndpointIn && u.length > 0; });
  }

  static void complete(UMockdevIoctlClient *c, long res, int err)
  {
    umockdev_ioctl_client_complete(c, res, err);
  }

  // Resolves the ioctl argument's pointed-to struct; null on failure.
  static GPtr<UMockdevIoctlData> resolve_arg(UMockdevIoctlClient *c, size_t size)
  {
    GError *error = nullptr;
    UMockdevIoctlData *data =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(c), 0, size, &error);
    if (error) {
      std::fprintf(stderr, "usbsim: cannot read ioctl argument: %s\n", error->message);
      g_error_free(error);
    }
    return GPtr<UMockdevIoctlData>(data);
  }

  bool handle_ioctl(Device &d, UMockdevIoctlClient *c);
  void submit(Device &d, UMockdevIoctlClient *c, std::vector<std::vector<uint8_t>> &deliver);
  void reap(Device &d, UMockdevIoctlClient *c, bool nodelay);
  void control(Device &d, Urb &u);
  void client_connected(Device &d, UMockdevIoctlClient *c);
  void sync_clients();
};

// ---- the umockdev handler subclass ------------------------------------------

namespace {

struct ZarnIoctl {
  UMockdevIoctlBase parent;
  Device *device;
};
struct ZarnIoctlClass {
  UMockdevIoctlBaseClass parent_class;
};

UMockdevIoctlBaseClass *g_parent_class = nullptr;

Device *device_of(UMockdevIoctlBase *self) { return reinterpret_cast<ZarnIoctl *>(self)->device; }

gboolean on_handle_ioctl(UMockdevIoctlBase *self, UMockdevIoctlClient *client)
{
  Device *d = device_of(self);
  if (!d)
    return FALSE;
  return d->sim->handle_ioctl(*d, client) ? TRUE : FALSE;
}

void on_client_connected(UMockdevIoctlBase *self, UMockdevIoctlClient *client)
{
  if (g_parent_class->client_connected)
    g_parent_class->client_connected(self, client);
  if (Device *d = device_of(self))
    d->sim->client_connected(*d, client);
}

void zarn_ioctl_class_init(gpointer klass, gpointer)
{
  g_parent_class = static_cast<UMockdevIoctlBaseClass *>(g_type_class_peek_parent(klass));
  auto *k = static_cast<UMockdevIoctlBaseClass *>(klass);
  k->handle_ioctl = on_handle_ioctl;
  k->client_connected = on_client_connected;
}

GType zarn_ioctl_get_type()
{
  static gsize type = 0;
  if (g_once_init_enter(&type)) {
    GType t = g_type_register_static_simple(UMOCKDEV_TYPE_IOCTL_BASE, "ZarnUsbPrinterIoctl",
                                            sizeof(ZarnIoctlClass), zarn_ioctl_class_init,
                                            sizeof(ZarnIoctl), nullptr, static_cast<GTypeFlags>(0));
    g_once_init_leave(&type, t);
  }
  return type;
}

} // namespace

// ---- ioctl handling --------------------------------------------------------------

// umockdev (0.17) emits no client-vanished signal when the host closes the
// node; it drops the client object instead, and marks it disconnected.
// Clients are looked up in a registry so that a client finalized after its
// simulator is gone finds nobody to tell.
namespace {
std::mutex g_clients_m;
std::map<UMockdevIoctlClient *, Device *> g_clients;

void client_finalized(gpointer, GObject *object)
{
  auto *c = reinterpret_cast<UMockdevIoctlClient *>(object);
  std::lock_guard lk(g_clients_m);
  auto it = g_clients.find(c);
  if (it == g_clients.end())
    return;
  Device *d = it->second;
  g_clients.erase(it);
  {
    std::lock_guard vk(d->sim->vanished_m);
    d->sim->vanished.emplace_back(d, c);
  }
  d->sim->cv.notify_all();
}
} // namespace

void UsbPrinterSim::Impl::client_connected(Device &d, UMockdevIoctlClient *c)
{
  std::lock_guard lk(m);
  sync_clients(); // an old client at this address must be gone first
  d.opens++;
  d.clients.insert(c);
  {
    std::lock_guard rk(g_clients_m);
    g_clients[c] = &d;
  }
  g_object_weak_ref(G_OBJECT(c), client_finalized, nullptr);
  cv.notify_all();
}

// Called with m held: applies closes the way the kernel does on release of
// the file, dropping the client's URBs and its claim on the interface.
void UsbPrinterSim::Impl::sync_clients()
{
  // Clients still referenced by their URBs are not finalized; ask them.
  std::vector<std::pair<Device *, UMockdevIoctlClient *>> closed;
  for (auto &d : devices) {
    for (UMockdevIoctlClient *c : d->clients) {
      auto mine = [c](const Urb &u) { return u.client.get() == c; };
      if ((std::any_of(d->pending.begin(), d->pending.end(), mine) ||
           std::any_of(d->done.begin(), d->done.end(), mine)) &&
          !umockdev_ioctl_client_get_connected(c))
        closed.emplace_back(d.get(), c);
    }
  }
  {
    std::lock_guard vk(vanished_m);
    closed.insert(closed.end(), vanished.begin(), vanished.end());
    vanished.clear();
  }
  for (auto [d, c] : closed) {
    if (!d->clients.erase(c))
      continue;
    auto mine = [c](const Urb &u) { return u.client.get() == c; };
    std::erase_if(d->pending, mine); // may finalize c: the callback takes vanished_m only
    std::erase_if(d->done, mine);
    if (d->iface == IfaceState::claimed && d->claimer == c) {
      d->iface = IfaceState::free;
      d->claimer = nullptr;
    }
  }
  if (!closed.empty())
    cv.notify_all();
}

void UsbPrinterSim::Impl::control(Device &d, Urb &u)
{
  // Setup packet then data stage; only standard GET_DESCRIPTOR is answered.
  uint8_t *p = u.bytes();
  if (!p || u.length < 8) {
    u.status = -EINVAL;
    return;
  }
  const uint8_t request_type = p[0], request = p[1];
  const uint8_t desc_index = p[2], desc_type = p[3];
  const size_t want = std::min<size_t>(p[6] | (p[7] << 8), u.length - 8);
  std::vector<uint8_t> reply;
  if (request_type == 0x80 && request == 6) {
    if (desc_type == 1) {
      reply.assign(d.descriptors.begin(), d.descriptors.begin() + 18);
    } else if (desc_type == 2 && desc_index == 0) {
      reply.assign(d.descriptors.begin() + 18, d.descriptors.end());
    } else if (desc_type == 3) {
      switch (desc_index) {
      case 0: reply = {4, 3, 0x09, 0x04}; break; // English (US)
      case 1: reply = string_descriptor(d.desc.manufacturer); break;
      case 2: reply = string_descriptor(d.desc.product_name); break;
      case 3: reply = string_descriptor(d.desc.serial); break;
      default: break;
      }
    }
  }
  if (reply.empty()) {
    u.status = -EPIPE; // stall, as a device does for requests it does not know
    return;
  }
  size_t n = std::min(want, reply.size());
  std::memcpy(p + 8, reply.data(), n);
  u.actual = n;
}

void UsbPrinterSim::Impl::submit(Device &d, UMockdevIoctlClient *c,
                                 std::vector<std::vector<uint8_t>> &deliver)
{
  auto arg = resolve_arg(c, sizeof(usbdevfs_urb));
  if (!arg)
    return complete(c, -1, EFAULT);
  auto *view = reinterpret_cast<usbdevfs_urb *>(arg->data);
  Urb u;
  u.client.reset(static_cast<UMockdevIoctlClient *>(g_object_ref(c)));
  u.addr = arg->client_addr;
  u.type = view->type;
  u.endpoint = view->endpoint;
  u.length = view->buffer_length > 0 ? static_cast<size_t>(view->buffer_length) : 0;
  if (view->buffer_length < 0)
    return complete(c, -1, EINVAL);
  if (u.length > 0) {
    GError *error = nullptr;
    u.buf.reset(
        umockdev_ioctl_data_resolve(arg.get(), offsetof(usbdevfs_urb, buffer), u.length, &error));
    if (error) {
      std::fprintf(stderr, "usbsim: cannot read URB buffer: %s\n", error->message);
      g_error_free(error);
      return complete(c, -1, EFAULT);
    }
  }
  u.urb = std::move(arg);

  std::lock_guard lk(m);
  sync_clients();
  if (d.unplugged)
    return complete(c, -1, ENODEV);
  if (u.endpoint == 0 && u.type == USBDEVFS_URB_TYPE_CONTROL) {
    control(d, u);
    d.done.push_back(std::move(u));
    cv.notify_all();
    return complete(c, 0, 0);
  }
  if ((u.endpoint != kEndpointOut && u.endpoint != kEndpointIn) || u.type != USBDEVFS_URB_TYPE_BULK)
    return complete(c, -1, ENOENT); // no such endpoint on this interface
  // usbfs claims the interface on first use unless a driver holds it.
  if (d.iface == IfaceState::kernel_driver)
    return complete(c, -1, EBUSY);
  if (d.iface == IfaceState::claimed && d.claimer != c)
    return complete(c, -1, EBUSY);
  if (d.iface == IfaceState::free) {
    d.iface = IfaceState::claimed;
    d.claimer = c;
  }
  d.pending.push_back(std::move(u));
  progress(d, deliver);
  complete(c, 0, 0);
}

void UsbPrinterSim::Impl::reap(Device &d, UMockdevIoctlClient *c, bool nodelay)
{
  (void)nodelay; // libusb only reaps without delay; a blocking reap is answered alike
  std::vector<std::vector<uint8_t>> deliver;
  std::unique_lock lk(m);
  auto find_done = [&] {
    return std::find_if(d.done.begin(), d.done.end(),
                        [c](const Urb &u) { return u.client.get() == c; });
  };
  progress(d, deliver);
  if (find_done() == d.done.end() && !d.unplugged && has_waiting_in(d) && d.in_queue.empty() &&
      d.in_provider) {
    auto provider = d.in_provider;
    lk.unlock();
    std::optional<std::vector<uint8_t>> chunk;
    {
      std::lock_guard cb(callback_m);
      chunk = provider();
    }
    lk.lock();
    if (chunk)
      d.in_queue.push_back(std::move(*chunk));
    progress(d, deliver);
  }
  if (find_done() == d.done.end() && !d.unplugged) {
    cv.wait_for(lk, kReapWait);
    progress(d, deliver);
  }
  auto it = find_done();
  if (it == d.done.end()) {
    complete(c, -1, d.unplugged ? ENODEV : EAGAIN);
  } else {
    Urb u = std::move(*it);
    d.done.erase(it);
    u.view()->status = u.status;
    u.view()->actual_length = static_cast<int>(u.actual);
    auto slot = resolve_arg(c, sizeof(void *));
    if (!slot) {
      complete(c, -1, EFAULT);
    } else {
      umockdev_ioctl_data_set_ptr(slot.get(), 0, u.urb.get());
      complete(c, 0, 0);
    }
  }
  lk.unlock();
  deliver_out(d, deliver);
}

bool UsbPrinterSim::Impl::handle_ioctl(Device &d, UMockdevIoctlClient *c)
{
  const unsigned long request = umockdev_ioctl_client_get_request(c);
  std::vector<std::vector<uint8_t>> deliver;

  switch (request) {
  case USBDEVFS_SUBMITURB:
    submit(d, c, deliver);
    deliver_out(d, deliver);
    return true;
  case USBDEVFS_REAPURB:
  case USBDEVFS_REAPURBNDELAY: reap(d, c, request == USBDEVFS_REAPURBNDELAY); return true;
  case USBDEVFS_DISCARDURB: {
    const unsigned long addr =
        *reinterpret_cast<unsigned long *>(umockdev_ioctl_client_get_arg(c)->data);
    std::lock_guard lk(m);
    auto it = std::find_if(d.pending.begin(), d.pending.end(),
                           [&](const Urb &u) { return u.client.get() == c && u.addr == addr; });
    if (it == d.pending.end()) {
      complete(c, -1, EINVAL); // already finished, or unknown
    } else {
      it->status = -ENOENT;
      it->actual = 0;
      d.done.push_back(std::move(*it));
      d.pending.erase(it);
      cv.notify_all();
      complete(c, 0, 0);
    }
    return true;
  }
  default: break;
  }

  // Requests that only look at or change the interface state.
  std::unique_lock lk(m);
  sync_clients();
  if (d.unplugged) {
    complete(c, -1, ENODEV);
    return true;
  }
  switch (request) {
  case USBDEVFS_GET_CAPABILITIES: {
    lk.unlock();
    auto arg = resolve_arg(c, sizeof(uint32_t));
    if (!arg)
      return complete(c, -1, EFAULT), true;
    uint32_t caps = kCapabilities;
    std::memcpy(arg->data, &caps, sizeof caps);
    complete(c, 0, 0);
    return true;
  }
  case USBDEVFS_GET_SPEED: complete(c, kSpeedHigh, 0); return true;
  case USBDEVFS_GETDRIVER: {
    lk.unlock();
    auto arg = resolve_arg(c, sizeof(usbdevfs_getdriver));
    if (!arg)
      return complete(c, -1, EFAULT), true;
    lk.lock();
    auto *gd = reinterpret_cast<usbdevfs_getdriver *>(arg->data);
    std::string name;
    if (gd->interface != 0)
      return complete(c, -1, EINVAL), true;
    if (d.iface == IfaceState::kernel_driver)
      name = d.desc.driver_name;
    if (d.iface == IfaceState::claimed)
      name = kUsbfsDriver;
    if (name.empty())
      return complete(c, -1, ENODATA), true;
    std::snprintf(gd->driver, sizeof gd->driver, "%s", name.c_str());
    complete(c, 0, 0);
    return true;
  }
  case USBDEVFS_IOCTL: {
    lk.unlock();
    auto arg = resolve_arg(c, sizeof(usbdevfs_ioctl));
    if (!arg)
      return complete(c, -1, EFAULT), true;
    lk.lock();
    auto *io = reinterpret_cast<usbdevfs_ioctl *>(arg->data);
    if (io->ifno != 0)
      return complete(c, -1, EINVAL), true;
    if (static_cast<unsigned long>(io->ioctl_code) == USBDEVFS_DISCONNECT) {
      if (d.iface != IfaceState::kernel_driver)
        return complete(c, -1, ENODATA), true;
      d.iface = IfaceState::free;
      cv.notify_all();
      return complete(c, 0, 0), true;
    }
    if (static_cast<unsigned long>(io->ioctl_code) == USBDEVFS_CONNECT) {
      if (d.iface != IfaceState::free)
        return complete(c, -1, EBUSY), true;
      if (!d.desc.driver_bound)
        return complete(c, 0, 0), true; // no driver wants it
      d.iface = IfaceState::kernel_driver;
      cv.notify_all();
      return complete(c, 1, 0), true;
    }
    return complete(c, -1, ENOTTY), true;
  }
  case USBDEVFS_CLAIMINTERFACE:
  case USBDEVFS_RELEASEINTERFACE: {
    lk.unlock();
    auto arg = resolve_arg(c, sizeof(unsigned int));
    if (!arg)
      return complete(c, -1, EFAULT), true;
    lk.lock();
    unsigned int ifno;
    std::memcpy(&ifno, arg->data, sizeof ifno);
    if (ifno != 0)
      return complete(c, -1, EINVAL), true;
    if (request == USBDEVFS_CLAIMINTERFACE) {
      if (d.iface == IfaceState::kernel_driver)
        return complete(c, -1, EBUSY), true;
      if (d.iface == IfaceState::claimed && d.claimer != c)
        return complete(c, -1, EBUSY), true;
      d.iface = IfaceState::claimed;
      d.claimer = c;
    } else {
      if (d.iface != IfaceState::claimed || d.claimer != c)
        return complete(c, -1, EINVAL), true;
      d.iface = IfaceState::free;
      d.claimer = nullptr;
    }
    cv.notify_all();
    complete(c, 0, 0);
    return true;
  }
  case USBDEVFS_DISCONNECT_CLAIM: {
    lk.unlock();
    auto arg = resolve_arg(c, sizeof(usbdevfs_disconnect_claim));
    if (!arg)
      return complete(c, -1, EFAULT), true;
    lk.lock();
    auto *dc = reinterpret_cast<usbdevfs_disconnect_claim *>(arg->data);
    if (dc->interface != 0)
      return complete(c, -1, EINVAL), true;
    if (d.iface == IfaceState::claimed && d.claimer != c)
      return complete(c, -1, EBUSY), true;
    if (d.iface == IfaceState::kernel_driver) {
      const bool named =
          std::strncmp(dc->driver, d.desc.driver_name.c_str(), sizeof dc->driver) == 0;
      if (((dc->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && !named) ||
          ((dc->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && named))
        return complete(c, -1, EBUSY), true;
    }
    d.iface = IfaceState::claimed;
    d.claimer = c;
    cv.notify_all();
    complete(c, 0, 0);
    return true;
  }
  case USBDEVFS_SETCONFIGURATION:
  case USBDEVFS_SETINTERFACE:
  case USBDEVFS_CLEAR_HALT:
  case USBDEVFS_RESETEP:
  case USBDEVFS_RESET: complete(c, 0, 0); return true;
  default: break;
  }
  // Anything else is logged once so a new libusb release shows what it needs.
  if (logged_requests.insert(request).second)
    std::fprintf(stderr, "usbsim: unhandled usbdevfs ioctl 0x%lx on %s\n", request, d.node.c_str());
  complete(c, -1, ENOTTY);
  return true;
}

// ---- UsbPrinterSim ------------------------------------------------------------------

UsbPrinterSim::UsbPrinterSim() : impl_(std::make_unique<Impl>())
{
  impl_->testbed.reset(umockdev_testbed_new());
  if (!impl_->testbed)
    throw std::runtime_error("usbsim: cannot create the umockdev testbed");
}

UsbPrinterSim::~UsbPrinterSim()
{
  for (auto &d : impl_->devices) {
    if (!d->handler)
      continue;
    umockdev_testbed_detach_ioctl(impl_->testbed.get(), d->node.c_str(), nullptr);
    reinterpret_cast<ZarnIoctl *>(d->handler.get())->device = nullptr;
  }
  std::lock_guard lk(impl_->m);
  impl_->sync_clients();
  for (auto &d : impl_->devices) {
    d->pending.clear();
    d->done.clear();
    impl_->sync_clients();
    // Clients that outlive the testbed must not report to freed state.
    std::lock_guard rk(g_clients_m);
    for (UMockdevIoctlClient *c : d->clients)
      g_clients.erase(c);
    d->clients.clear();
  }
}

bool UsbPrinterSim::available() { return umockdev_in_mock_environment(); }

int UsbPrinterSim::add_device(const DeviceSpec &desc)
{
  auto d = std::make_unique<Device>();
  d->sim = impl_.get();
  d->desc = desc;
  d->index = static_cast<int>(impl_->devices.size());
  d->bus = 1;
  d->num = 2 + d->index;
  d->sysname = "1-" + std::to_string(d->index + 1);
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", d->bus, d->num);
  d->node = node;
  d->descriptors = build_descriptors(desc);
  d->iface = desc.driver_bound ? IfaceState::kernel_driver : IfaceState::free;

  char vendor[8], product[8], product_prop[32], bus[8], num[8], major_minor[24];
  std::snprintf(vendor, sizeof vendor, "%04x\n", desc.vendor);
  std::snprintf(product, sizeof product, "%04x\n", desc.product);
  std::snprintf(product_prop, sizeof product_prop, "%x/%x/100", desc.vendor, desc.product);
  std::snprintf(bus, sizeof bus, "%03d", d->bus);
  std::snprintf(num, sizeof num, "%03d", d->num);
  // usb_device nodes are character major 189; umockdev creates the node
  // only for devices that carry a dev attribute.
  std::snprintf(major_minor, sizeof major_minor, "189:%d\n", (d->bus - 1) * 128 + d->num - 1);
  const std::string busnum = std::to_string(d->bus) + "\n", devnum = std::to_string(d->num) + "\n";
  const std::string serial = desc.serial + "\n", manufacturer = desc.manufacturer + "\n",
                    product_name = desc.product_name + "\n";
  const char *attributes[] = {"dev",
                              major_minor,
                              "busnum",
                              busnum.c_str(),
                              "devnum",
                              devnum.c_str(),
                              "speed",
                              "480\n",
                              "bConfigurationValue",
                              "1\n",
                              "bNumConfigurations",
                              "1\n",
                              "bNumInterfaces",
                              " 1\n",
                              "idVendor",
                              vendor,
                              "idProduct",
                              product,
                              "version",
                              " 2.00\n",
                              "serial",
                              serial.c_str(),
                              "manufacturer",
                              manufacturer.c_str(),
                              "product",
                              product_name.c_str(),
                              nullptr};
  const char *properties[] = {"DEVTYPE", "usb_device", "DEVNAME", node,      "BUSNUM",
                              bus,       "DEVNUM",     num,       "PRODUCT", product_prop,
                              "DRIVER",  "usb",        nullptr};
  gchar *path = umockdev_testbed_add_devicev(impl_->testbed.get(), "usb", d->sysname.c_str(),
                                             nullptr, const_cast<gchar **>(attributes),
                                             const_cast<gchar **>(properties));
  if (!path)
    throw std::runtime_error("usbsim: cannot add USB device " + d->sysname);
  d->syspath = path;
  g_free(path);
  umockdev_testbed_set_attribute_binary(impl_->testbed.get(), d->syspath.c_str(), "descriptors",
                                        d->descriptors.data(),
                                        static_cast<gint>(d->descriptors.size()));

  // add_devicev records the node number but creates no node file (only
  // recordings do); the preload redirects /dev paths to files that exist.
  {
    gchar *root = umockdev_testbed_get_root_dir(impl_->testbed.get());
    const std::string file = std::string(root) + d->node;
    g_free(root);
    gchar *dir = g_path_get_dirname(file.c_str());
    const bool made =
        g_mkdir_with_parents(dir, 0755) == 0 && g_file_set_contents(file.c_str(), "", 0, nullptr);
    g_free(dir);
    if (!made)
      throw std::runtime_error("usbsim: cannot create device node " + file);
  }

  d->handler.reset(static_cast<UMockdevIoctlBase *>(g_object_new(zarn_ioctl_get_type(), nullptr)));
  reinterpret_cast<ZarnIoctl *>(d->handler.get())->device = d.get();
  GError *error = nullptr;
  if (!umockdev_testbed_attach_ioctl(impl_->testbed.get(), d->node.c_str(), d->handler.get(),
                                     &error)) {
    std::string msg = error ? error->message : "unknown error";
    if (error)
      g_error_free(error);
    throw std::runtime_error("usbsim: cannot attach the ioctl handler: " + msg);
  }
  std::lock_guard lk(impl_->m);
  impl_->devices.push_back(std::move(d));
  return static_cast<int>(impl_->devices.size()) - 1;
}

int UsbPrinterSim::device_count() const
{
  std::lock_guard lk(impl_->m);
  return static_cast<int>(impl_->devices.size());
}
int UsbPrinterSim::busnum(int dev) const { return impl_->dev(dev).bus; }
int UsbPrinterSim::devnum(int dev) const { return impl_->dev(dev).num; }
std::string UsbPrinterSim::devnode(int dev) const { return impl_->dev(dev).node; }
std::string UsbPrinterSim::syspath(int dev) const { return impl_->dev(dev).syspath; }

std::vector<uint8_t> UsbPrinterSim::out_bytes(int dev) const
{
  std::lock_guard lk(impl_->m);
  return impl_->dev(dev).out;
}

std::vector<size_t> UsbPrinterSim::out_transfers(int dev) const
{
  std::lock_guard lk(impl_->m);
  return impl_->dev(dev).transfers;
}

void UsbPrinterSim::clear_out(int dev)
{
  std::lock_guard lk(impl_->m);
  impl_->dev(dev).out.clear();
  impl_->dev(dev).transfers.clear();
}

bool UsbPrinterSim::wait_out_bytes(size_t n, std::chrono::milliseconds timeout, int dev) const
{
  std::unique_lock lk(impl_->m);
  Device &d = impl_->dev(dev);
  return impl_->cv.wait_for(lk, timeout, [&] { return d.out.size() >= n; });
}

bool UsbPrinterSim::wait_out_transfers(size_t n, std::chrono::milliseconds timeout, int dev) const
{
  std::unique_lock lk(impl_->m);
  Device &d = impl_->dev(dev);
  return impl_->cv.wait_for(lk, timeout, [&] { return d.transfers.size() >= n; });
}

void UsbPrinterSim::set_out_handler(std::function<void(const uint8_t *, size_t)> fn, int dev)
{
  std::lock_guard lk(impl_->m);
  impl_->dev(dev).out_handler = std::move(fn);
}

void UsbPrinterSim::pause_out(bool paused, int dev)
{
  std::lock_guard lk(impl_->m);
  impl_->dev(dev).paused = paused;
  impl_->cv.notify_all(); // a reap waiting for data picks the resumed OUTs up
}

void UsbPrinterSim::queue_in(std::vector<uint8_t> chunk, int dev)
{
  std::lock_guard lk(impl_->m);
  impl_->dev(dev).in_queue.push_back(std::move(chunk));
  impl_->cv.notify_all();
}

void UsbPrinterSim::set_in_provider(std::function<std::optional<std::vector<uint8_t>>()> fn,
                                    int dev)
{
  std::lock_guard lk(impl_->m);
  impl_->dev(dev).in_provider = std::move(fn);
}

size_t UsbPrinterSim::in_queued(int dev) const
{
  std::lock_guard lk(impl_->m);
  return impl_->dev(dev).in_queue.size();
}

void UsbPrinterSim::clear_in(int dev)
{
  std::lock_guard lk(impl_->m);
  impl_->dev(dev).in_queue.clear();
}

bool UsbPrinterSim::interface_claimed(int dev) const
{
  std::lock_guard lk(impl_->m);
  impl_->sync_clients();
  return impl_->dev(dev).iface == IfaceState::claimed;
}

bool UsbPrinterSim::driver_attached(int dev) const
{
  std::lock_guard lk(impl_->m);
  return impl_->dev(dev).iface == IfaceState::kernel_driver;
}

int UsbPrinterSim::open_count(int dev) const
{
  std::lock_guard lk(impl_->m);
  return impl_->dev(dev).opens;
}

bool UsbPrinterSim::is_open(int dev) const
{
  std::lock_guard lk(impl_->m);
  impl_->sync_clients();
  return !impl_->dev(dev).clients.empty();
}

void UsbPrinterSim::unplug(int dev)
{
  Device &d = impl_->dev(dev);
  {
    std::lock_guard lk(impl_->m);
    if (d.unplugged)
      return;
    d.unplugged = true;
    // In-flight transfers end the way the host controller ends them on a
    // disconnect; with REAP_AFTER_DISCONNECT libusb still reaps them.
    for (auto &u : d.pending) {
      u.status = -ESHUTDOWN;
      u.actual = 0;
      d.done.push_back(std::move(u));
    }
    d.pending.clear();
    if (d.iface == IfaceState::kernel_driver)
      d.iface = IfaceState::free;
    impl_->cv.notify_all();
  }
  umockdev_testbed_uevent(impl_->testbed.get(), d.syspath.c_str(), "remove");
  umockdev_testbed_remove_device(impl_->testbed.get(), d.syspath.c_str());
}

bool UsbPrinterSim::wait_closed(std::chrono::milliseconds timeout, int dev) const
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lk(impl_->m);
  Device &d = impl_->dev(dev);
  for (;;) {
    impl_->sync_clients();
    if (d.opens > 0 && d.clients.empty())
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    // Short slices: a finalized client is reported without holding m.
    impl_->cv.wait_for(lk, std::chrono::milliseconds(10));
  }
}

pid_t UsbPrinterSim::spawn_child(const std::vector<std::string> &argv)
{
  if (argv.empty())
    return -1;
  // The child's environment: ours, with the preload library in front.
  std::vector<std::string> env;
  bool have_preload = false;
  for (char **e = environ; *e; ++e) {
    std::string kv = *e;
    if (kv.rfind("LD_PRELOAD=", 0) == 0) {
      if (kv.find("libumockdev-preload") == std::string::npos)
        kv = "LD_PRELOAD=libumockdev-preload.so.0:" + kv.substr(11);
      have_preload = true;
    }
    env.push_back(std::move(kv));
  }
  if (!have_preload)
    env.push_back("LD_PRELOAD=libumockdev-preload.so.0");

  std::vector<char *> cargv, cenv;
  for (auto &a : argv)
    cargv.push_back(const_cast<char *>(a.c_str()));
  cargv.push_back(nullptr);
  for (auto &e : env)
    cenv.push_back(e.data());
  cenv.push_back(nullptr);

  pid_t pid;
  if (posix_spawnp(&pid, cargv[0], nullptr, nullptr, cargv.data(), cenv.data()) != 0)
    return -1;
  return pid;
}

int UsbPrinterSim::run_child(const std::vector<std::string> &argv)
{
  const pid_t pid = spawn_child(argv);
  if (pid < 0)
    return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return -1;
  }
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return -1;
}

} // namespace zarn::usbsim
