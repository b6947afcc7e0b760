// Serial: plain reads and writes on the tty descriptor.
#include "zarn.h"
#include "port/fd_io.h"
#include "port/link.h"

#include <termios.h>
#include <unistd.h>

namespace zarn::port {
namespace {

class SerialLink final : public Link {
 public:
  bool is_open() const override { return openSerialPortResult == 1; }

  bool send(const unsigned char *data, std::size_t len, SendMode) const override
  {
    if (len == 0)
      return write(tty_device, data, 0) > 0; // a tty write of nothing reports 0: not sent
    return write_fully(len, [&](std::size_t done, std::size_t rest) {
      return write(tty_device, data + done, rest);
    });
  }

  Received receive(unsigned char *buf, std::size_t cap, int wait_ms) const override
  {
    return receive_when_ready(tty_device, wait_ms, Received::Status::failed,
                              [&] { return read(tty_device, buf, cap); });
  }

  bool failed_first_receive_is_silence() const override { return true; }

  void discard_pending() const override { tcflush(tty_device, TCIFLUSH); }
};

} // namespace

const Link &serial_link()
{
  static const SerialLink link;
  return link;
}

} // namespace zarn::port
