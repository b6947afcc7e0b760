// SPDX-License-Identifier: MIT
// A listening TCP socket on 127.0.0.1 with a port the kernel picks: the
// starting point of every loopback printer in the tests and benchmarks.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>

namespace zarn::test {

// Returns the listening descriptor and stores its port; aborts when the
// machine cannot give one (nothing could be tested then).
inline int listen_on_loopback(std::uint16_t &port, int backlog = 128)
{
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(fd, backlog) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    std::abort();
  port = ntohs(addr.sin_port);
  return fd;
}

} // namespace zarn::test
