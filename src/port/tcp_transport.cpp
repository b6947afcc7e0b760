// SPDX-License-Identifier: MIT
// TCP: a connected IPv4 stream socket to a numeric address.
#include "zarn.h"
#include "port/fd_io.hpp"
#include "port/flags.hpp"
#include "port/limits.hpp"
#include "port/transport.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zarn::port {
namespace {

// connect() interrupted by a signal goes on in the background; wait for it.
bool connect_socket(int fd, const sockaddr_in &addr)
{
  if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
    return true;
  if (errno != EINTR)
    return false;
  for (;;) {
    pollfd p{fd, POLLOUT, 0};
    const int rc = poll(&p, 1, -1);
    if (rc < 0 && errno == EINTR)
      continue;
    if (rc < 0)
      return false;
    int err = 0;
    socklen_t len = sizeof err;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
  }
}

class TcpTransport final : public Transport {
 public:
  bool accepts(const OpenRequest &request) const override { return request.address != nullptr; }

  int open(const OpenRequest &request) const override
  {
    net_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (net_socket < 0)
      return 0;
    std::memset(&servaddr, 0, sizeof servaddr);
    servaddr.sin_family = AF_INET;
    servaddr.sin_port = htons(static_cast<std::uint16_t>(request.port));
    if (inet_pton(AF_INET, request.address, &servaddr.sin_addr) <= 0 ||
        !connect_socket(net_socket, servaddr)) {
      // The socket is never flagged open, so nothing else would close it.
      ::close(net_socket);
      return 0;
    }
    // Every command is its own small write; with Nagle's algorithm each one
    // after the first would wait for the printer's delayed acknowledgement.
    const int on = 1;
    setsockopt(net_socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    mark_open(openEthernetPortResult);
    return 1;
  }

  bool is_open() const override { return kind_is_set(openEthernetPortResult); }

  int close() const override
  {
    if (net_socket < 0)
      return 0;
    mark_closed(openEthernetPortResult);
    ::close(net_socket);
    return 1;
  }

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

  // Each later piece has its own wait as well as the gathering bound; a
  // failed first receive is a failure.
  ReceivePolicy receive_policy() const override
  {
    return {limits().first_byte_wait_ms, limits().tcp_next_piece_ms,
            ReceivePolicy::FailedFirst::failure};
  }

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

const Transport &tcp_transport()
{
  static const TcpTransport transport;
  return transport;
}

} // namespace zarn::port
