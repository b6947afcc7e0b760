// SPDX-License-Identifier: MIT
// The URB engine: bulk transfers submitted by the host complete when the
// printer side can take or give their bytes, and are reaped in order.
#include "sim_state.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zarn::usbsim {

void UsbPrinterSim::Impl::progress(Device &d, std::vector<std::vector<uint8_t>> &deliver)
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

void UsbPrinterSim::Impl::deliver_out(Device &d, std::vector<std::vector<uint8_t>> &deliver)
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

bool UsbPrinterSim::Impl::has_waiting_in(const Device &d) const
{
  return std::any_of(d.pending.begin(), d.pending.end(),
                     [](const Urb &u) { return u.endpoint == kEndpointIn && u.length > 0; });
}

bool UsbPrinterSim::Impl::handle_urb_ioctl(Device &d, UMockdevIoctlClient *c, unsigned long request)
{
  switch (request) {
  case USBDEVFS_SUBMITURB: {
    std::vector<std::vector<uint8_t>> deliver;
    submit(d, c, deliver);
    deliver_out(d, deliver);
    return true;
  }
  case USBDEVFS_REAPURB:
  case USBDEVFS_REAPURBNDELAY: reap(d, c, request == USBDEVFS_REAPURBNDELAY); return true;
  case USBDEVFS_DISCARDURB: discard(d, c); return true;
  default: return false;
  }
}

void UsbPrinterSim::Impl::discard(Device &d, UMockdevIoctlClient *c)
{
  const unsigned long addr =
      *reinterpret_cast<unsigned long *>(umockdev_ioctl_client_get_arg(c)->data);
  std::lock_guard lk(m);
  auto it = std::find_if(d.pending.begin(), d.pending.end(),
                         [&](const Urb &u) { return u.client.get() == c && u.addr == addr; });
  if (it == d.pending.end()) {
    complete(c, -1, EINVAL); // already finished, or unknown
    return;
  }
  it->status = -ENOENT;
  it->actual = 0;
  d.done.push_back(std::move(*it));
  d.pending.erase(it);
  cv.notify_all();
  complete(c, 0, 0);
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
    if (const GErrorPtr failed{error}) {
      std::fprintf(stderr, "usbsim: cannot read URB buffer: %s\n", failed->message);
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

} // namespace zarn::usbsim
