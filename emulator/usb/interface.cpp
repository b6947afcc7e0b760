// SPDX-License-Identifier: MIT
// The interface and driver state as the kernel keeps it (claims, the
// kernel driver, disconnect-and-claim), and the clients that have the
// device node open.
#include "sim_state.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

namespace zarn::usbsim {

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

void UsbPrinterSim::Impl::forget_clients(Device &d)
{
  std::lock_guard rk(g_clients_m);
  for (UMockdevIoctlClient *c : d.clients)
    g_clients.erase(c);
  d.clients.clear();
}

bool UsbPrinterSim::Impl::handle_ioctl(Device &d, UMockdevIoctlClient *c)
{
  const unsigned long request = umockdev_ioctl_client_get_request(c);
  if (handle_urb_ioctl(d, c, request))
    return true;

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
    if (gd->interface != kInterface)
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
    if (static_cast<unsigned>(io->ifno) != kInterface)
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
    if (ifno != kInterface)
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
    if (dc->interface != kInterface)
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

} // namespace zarn::usbsim
