// TCP: a connected IPv4 stream socket.
#include "zarn.h"
#include "port/fd_io.h"
#include "port/link.h"

#include <cerrno>
#include <sys/socket.h>

namespace zarn::port {
namespace {

class TcpLink final : public Link {
 public:
  bool is_open() const override { return openEthernetPortResult == 1; }

  bool send(const unsigned char *data, std::size_t len, SendMode) const override
  {
    // MSG_NOSIGNAL: a printer that hung up yields EPIPE, not a fatal SIGPIPE.
    return write_fully(len, [&](std::size_t done, std::size_t rest) {
      return ::send(net_socket, data + done, rest, MSG_NOSIGNAL);
    });
  }

  Received receive(unsigned char *buf, std::size_t cap, int wait_ms) const override
  {
    // A failed readiness wait counts as silence, like no reply at all.
    return receive_when_ready(net_socket, wait_ms, Received::Status::silence,
                              [&] { return recv(net_socket, buf, cap, 0); });
  }

  bool failed_first_receive_is_silence() const override { return false; }

  void discard_pending() const override
  {
    // Bounded, so a printer that never stops talking cannot hold the call.
    unsigned char sink[4096];
    for (int i = 0; i < 256; ++i) {
      const ssize_t n = recv(net_socket, sink, sizeof sink, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return;
    }
  }
};

} // namespace

const Link &tcp_link()
{
  static const TcpLink link;
  return link;
}

} // namespace zarn::port
