// USB: synchronous bulk transfers on interface 0 of the opened printer.
#include "zarn.h"
#include "port/limits.h"
#include "port/link.h"

#include <libusb.h>

#include <algorithm>
#include <climits>

namespace zarn::port {
namespace {

class UsbLink final : public Link {
 public:
  bool is_open() const override { return openUsbPortResult == 1; }

  bool send(const unsigned char *data, std::size_t len, SendMode mode) const override
  {
    const unsigned timeout = mode == SendMode::command ? limits().usb_command_send_ms : 0;
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
    (void)wait_ms; // USB waits by its own transfer time limit
    int moved = 0;
    const int rc = libusb_bulk_transfer(dev_handle, kUsbEndpointIn, buf,
                                        static_cast<int>(std::min<std::size_t>(cap, INT_MAX)),
                                        &moved, limits().usb_receive_ms);
    // A time-out is a failure too, and the bytes it moved are dropped.
    if (rc < 0)
      return {Received::Status::failed, 0};
    return {Received::Status::data, static_cast<std::size_t>(moved)};
  }

  bool failed_first_receive_is_silence() const override { return false; }

  void discard_pending() const override
  {
    // A bulk IN transfer has no "what is there now": listen briefly, and
    // again while replies keep coming (a bounded number of times).
    static unsigned char sink[512];
    for (int i = 0; i < 64; ++i) {
      int moved = 0;
      const int rc = libusb_bulk_transfer(dev_handle, kUsbEndpointIn, sink, sizeof sink, &moved,
                                          limits().usb_discard_ms);
      if (rc != 0 || moved == 0)
        return;
    }
  }
};

} // namespace

const Link &usb_link()
{
  static const UsbLink link;
  return link;
}

} // namespace zarn::port
