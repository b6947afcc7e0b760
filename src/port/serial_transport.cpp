// SPDX-License-Identifier: MIT
// Serial: a terminal under /dev, read and written directly.
#include "zarn.h"
#include "port/fd_io.hpp"
#include "port/flags.hpp"
#include "port/limits.hpp"
#include "port/serial_line.hpp"
#include "port/transport.hpp"

#include <cstring>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace zarn::port {
namespace {

class SerialTransport final : public Transport {
 public:
  bool accepts(const OpenRequest &request) const override
  {
    return request.port_name != nullptr && std::strncmp(request.port_name, "tty", 3) == 0;
  }

  int open(const OpenRequest &request) const override
  {
    const std::string path = std::string("/dev/") + request.port_name;
    // O_CLOEXEC only keeps the printer line out of the host's child processes.
    tty_device = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty_device == -1)
      return 0;
    // Anything but a terminal (a file reached through a /dev link) would be
    // written over by the first command.
    if (!isatty(tty_device)) {
      ::close(tty_device);
      tty_device = -1;
      return 0;
    }
    apply_speed(tty_device, 115200);
    apply_parity(tty_device, 8, 1, 'N');
    mark_open(openSerialPortResult);
    return 1;
  }

  bool is_open() const override { return kind_is_set(openSerialPortResult); }

  int close() const override
  {
    if (tty_device < 0)
      return 0;
    mark_closed(openSerialPortResult);
    ::close(tty_device);
    return 1;
  }

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

  // Later pieces are bounded by the whole gathering only: the line's own
  // 15 s read time-out just returns nothing. A failed first read is silence.
  ReceivePolicy receive_policy() const override
  {
    return {limits().first_byte_wait_ms, -1, ReceivePolicy::FailedFirst::silence};
  }

  void discard_pending() const override { tcflush(tty_device, TCIFLUSH); }
};

} // namespace

const Transport &serial_transport()
{
  static const SerialTransport transport;
  return transport;
}

} // namespace zarn::port
