// SPDX-License-Identifier: MIT
// The umockdev testbed with the emulated printers in it, and the accessors
// tests and the emulator use.
#include "sim_state.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zarn::usbsim {

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
    impl_->forget_clients(*d);
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
  const GText path(umockdev_testbed_add_devicev(impl_->testbed.get(), "usb", d->sysname.c_str(),
                                                nullptr, const_cast<gchar **>(attributes),
                                                const_cast<gchar **>(properties)));
  if (!path)
    throw std::runtime_error("usbsim: cannot add USB device " + d->sysname);
  d->syspath = path.get();
  umockdev_testbed_set_attribute_binary(impl_->testbed.get(), d->syspath.c_str(), "descriptors",
                                        d->descriptors.data(),
                                        static_cast<gint>(d->descriptors.size()));

  // add_devicev records the node number but creates no node file (only
  // recordings do); the preload redirects /dev paths to files that exist.
  {
    const GText root(umockdev_testbed_get_root_dir(impl_->testbed.get()));
    const std::string file = std::string(root.get()) + d->node;
    const GText dir(g_path_get_dirname(file.c_str()));
    const bool made = g_mkdir_with_parents(dir.get(), 0755) == 0 &&
                      g_file_set_contents(file.c_str(), "", 0, nullptr);
    if (!made)
      throw std::runtime_error("usbsim: cannot create device node " + file);
  }

  d->handler.reset(static_cast<UMockdevIoctlBase *>(g_object_new(zarn_ioctl_get_type(), nullptr)));
  reinterpret_cast<ZarnIoctl *>(d->handler.get())->device = d.get();
  GError *error = nullptr;
  if (!umockdev_testbed_attach_ioctl(impl_->testbed.get(), d->node.c_str(), d->handler.get(),
                                     &error)) {
    const GErrorPtr failed(error);
    throw std::runtime_error(std::string("usbsim: cannot attach the ioctl handler: ") +
                             (failed ? failed->message : "unknown error"));
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

} // namespace zarn::usbsim
