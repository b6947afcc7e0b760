// TCP: a connected IPv4 stream socket.
#include "zarn.h"
#include "port/link.h"
#include "port/wait.h"

#include <cerrno>
#include <sys/socket.h>

namespace zarn::port {
namespace {

class TcpLink final : public Link {
 public:
  bool is_open() const override { return openEthernetPortResult == 1; }

  bool send(const unsigned char *data, std::size_t len, SendMode) const override
  {
    std::size_t done = 0;
    do {
      // MSG_NOSIGNAL: a printer that hung up yields EPIPE, not a fatal SIGPIPE.
      const ssize_t n = ::send(net_socket, data + done, len - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0 || (n == 0 && len > 0))
        return false;
      done += static_cast<std::size_t>(n);
    } while (done < len);
    return true;
  }

  Received receive(unsigned char *buf, std::size_t cap, int wait_ms) const override
  {
    switch (wait_readable(net_socket, wait_ms)) {
    case Readiness::timeout:
      return {Received::Status::silence, 0};
    case Readiness::error:
      return {Received::Status::silence, 0};
    case Readiness::ready:
      break;
    }
    ssize_t n;
    do {
      n = recv(net_socket, buf, cap, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
      return {Received::Status::failed, 0};
    if (n == 0)
      return {Received::Status::closed, 0};
    return {Received::Status::data, static_cast<std::size_t>(n)};
  }

  bool failed_first_receive_is_silence() const override { return false; }
};

} // namespace

const Link &tcp_link()
{
  static const TcpLink link;
  return link;
}

} // namespace zarn::port
