// SPDX-License-Identifier: MIT
// Loops shared by the descriptor-based transports (serial and TCP): each passes
// its own system call, so the retry rules live in one place.
#pragma once

#include "port/transport.hpp"
#include "port/wait.hpp"

#include <cerrno>
#include <cstddef>
#include <sys/types.h>

namespace zarn::port {

// Calls io(offset, remaining) until len bytes are out, retrying on EINTR.
// One call is made even for len 0. False when a call fails or moves
// nothing of a non-empty rest.
template <typename Io>
bool write_fully(std::size_t len, Io io)
{
  std::size_t done = 0;
  do {
    const ssize_t n = io(done, len - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 || (n == 0 && len > 0))
      return false;
    done += static_cast<std::size_t>(n);
  } while (done < len);
  return true;
}

// Waits up to wait_ms for fd to become readable, then calls io() once
// (retrying on EINTR). A readable descriptor that yields nothing has
// reached its end: the peer closed or the line hung up.
template <typename Io>
Received receive_when_ready(int fd, int wait_ms, Received::Status on_wait_error, Io io)
{
  switch (wait_readable(fd, wait_ms)) {
  case Readiness::timeout: return {Received::Status::silence, 0};
  case Readiness::error: return {on_wait_error, 0};
  case Readiness::ready: break;
  }
  ssize_t n;
  do {
    n = io();
  } while (n < 0 && errno == EINTR);
  if (n < 0)
    return {Received::Status::failed, 0};
  if (n == 0)
    return {Received::Status::closed, 0};
  return {Received::Status::data, static_cast<std::size_t>(n)};
}

} // namespace zarn::port
