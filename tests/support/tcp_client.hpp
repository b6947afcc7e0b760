// SPDX-License-Identifier: MIT
// A plain TCP client on loopback, for tests that play a host by hand: one
// that does not read, one that says nothing, one of many waiting in line.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

namespace zarn::test {

// A socket connected (or, nonblocking, connecting) to 127.0.0.1:port; -1 on
// failure. receive_buffer > 0 shrinks its receive buffer first, so that
// unread data backs up at the sender soon.
inline int connect_loopback(int port, int receive_buffer = 0, bool nonblocking = false)
{
  const int fd =
      ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0)
    return -1;
  if (receive_buffer > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 &&
      !(nonblocking && errno == EINPROGRESS)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool send_all(int fd, std::string_view bytes)
{
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Reads until want bytes came, the peer closed or limit passed.
inline std::string receive_for(int fd, std::size_t want, std::chrono::milliseconds limit)
{
  const auto end = std::chrono::steady_clock::now() + limit;
  std::string got;
  while (got.size() < want) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
      continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - got.size()));
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (n <= 0)
      break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

} // namespace zarn::test
