// Serial: plain reads and writes on the tty descriptor.
#include "zarn.h"
#include "port/link.h"
#include "port/wait.h"

#include <cerrno>
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
    std::size_t done = 0;
    while (done < len) {
      const ssize_t n = write(tty_device, data + done, len - done);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  Received receive(unsigned char *buf, std::size_t cap, int wait_ms) const override
  {
    switch (wait_readable(tty_device, wait_ms)) {
    case Readiness::timeout:
      return {Received::Status::silence, 0};
    case Readiness::error:
      return {Received::Status::failed, 0};
    case Readiness::ready:
      break;
    }
    ssize_t n;
    do {
      n = read(tty_device, buf, cap);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
      return {Received::Status::failed, 0};
    // Readable yet nothing to read: the line hung up.
    if (n == 0)
      return {Received::Status::closed, 0};
    return {Received::Status::data, static_cast<std::size_t>(n)};
  }

  bool failed_first_receive_is_silence() const override { return true; }
};

} // namespace

const Link &serial_link()
{
  static const SerialLink link;
  return link;
}

} // namespace zarn::port
