// SPDX-License-Identifier: MIT
// USB: synchronous bulk transfers on interface 0 of the first attached
// device with the printer maker's vendor ID.
#include "zarn.h"
#include "common/handle.hpp"
#include "port/flags.hpp"
#include "port/limits.hpp"
#include "port/transport.hpp"

#include <libusb.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace zarn::port {
namespace {

using UsbContext = Owned<libusb_context, libusb_exit>;

// Opens the first device of the maker into dev_handle and takes interface 0.
bool open_device()
{
  const ssize_t count = libusb_get_device_list(ctx, &devs);
  if (count <= 0) {
    if (devs != nullptr)
      libusb_free_device_list(devs, 1);
    return false;
  }
  libusb_device *match = nullptr;
  for (ssize_t i = 0; i < count && match == nullptr; ++i) {
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(devs[i], &desc);
    if (desc.idVendor == kVendorId)
      match = devs[i];
  }
  if (match == nullptr) {
    libusb_free_device_list(devs, 1);
    return false;
  }
  const int rc = libusb_open(match, &dev_handle);
  libusb_free_device_list(devs, 1);
  if (rc != 0)
    return false;
  // Both may fail harmlessly: no kernel driver bound, or already claimed.
  libusb_detach_kernel_driver(dev_handle, kUsbInterface);
  libusb_claim_interface(dev_handle, kUsbInterface);
  return true;
}

class UsbTransport final : public Transport {
 public:
  bool accepts(const OpenRequest &request) const override
  {
    return request.port_name != nullptr && std::strcmp(request.port_name, "USB") == 0;
  }

  int open(const OpenRequest &) const override
  {
    // The context belongs to the connection once open; any failure
    // destroys it at once.
    ctx = nullptr;
    libusb_context *made = nullptr;
    if (libusb_init(&made) != 0)
      return 0;
    UsbContext context(made);
    ctx = made;
    if (!open_device()) {
      ctx = nullptr;
      return 0;
    }
    context.release();
    mark_open(openUsbPortResult);
    return 1;
  }

  bool is_open() const override { return kind_is_set(openUsbPortResult); }

  int close() const override
  {
    if (dev_handle == nullptr)
      return 0;
    mark_closed(openUsbPortResult);
    libusb_release_interface(dev_handle, kUsbInterface);
    libusb_attach_kernel_driver(dev_handle, kUsbInterface);
    libusb_close(dev_handle);
    libusb_exit(ctx);
    return 1;
  }

  bool send(const unsigned char *data, std::size_t len, SendMode mode) const override
  {
    const unsigned timeout =
        mode == SendMode::command ? static_cast<unsigned>(limits().usb_command_send_ms) : 0;
    std::size_t done = 0;
    do {
      const int chunk = static_cast<int>(std::min<std::size_t>(len - done, INT_MAX));
      int moved = 0;
      // libusb never writes through the buffer of an OUT transfer.
      const int rc =
          libusb_bulk_transfer(dev_handle, kUsbEndpointOut,
                               const_cast<unsigned char *>(data + done), chunk, &moved, timeout);
      if (rc < 0)
        return false;
      // A transfer that moved nothing of a non-empty chunk would loop forever.
      if (moved <= 0 && chunk > 0)
        return false;
      done += static_cast<std::size_t>(moved);
    } while (done < len);
    return true;
  }

  Received receive(unsigned char *buf, std::size_t cap, int wait_ms) const override
  {
    int moved = 0;
    // A limit of 0 would mean no limit to libusb.
    const unsigned timeout = static_cast<unsigned>(std::max(wait_ms, 1));
    const int rc = libusb_bulk_transfer(dev_handle, kUsbEndpointIn, buf,
                                        static_cast<int>(std::min<std::size_t>(cap, INT_MAX)),
                                        &moved, timeout);
    // A time-out is a failure too, and the bytes it moved are dropped.
    if (rc < 0)
      return {Received::Status::failed, 0};
    return {Received::Status::data, static_cast<std::size_t>(moved)};
  }

  // Every transfer waits by the transfer limit; a failed first transfer
  // (its time-out included) is a failure, not silence.
  ReceivePolicy receive_policy() const override
  {
    return {limits().usb_receive_ms, limits().usb_receive_ms, ReceivePolicy::FailedFirst::failure};
  }

  void discard_pending() const override
  {
    // A bulk IN transfer has no "what is there now": listen briefly, and
    // again while replies keep coming (a bounded number of times).
    static unsigned char sink[512];
    for (int i = 0; i < 64; ++i) {
      int moved = 0;
      const int rc = libusb_bulk_transfer(dev_handle, kUsbEndpointIn, sink, sizeof sink, &moved,
                                          static_cast<unsigned>(limits().usb_discard_ms));
      if (rc != 0 || moved == 0)
        return;
    }
  }
};

} // namespace

const Transport &usb_transport()
{
  static const UsbTransport transport;
  return transport;
}

} // namespace zarn::port
