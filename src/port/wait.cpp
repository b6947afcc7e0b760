// SPDX-License-Identifier: MIT
#include "port/wait.hpp"

#include <cerrno>
#include <chrono>
#include <poll.h>

namespace zarn::port {

Readiness wait_readable(int fd, int timeout_ms)
{
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  int left = timeout_ms;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int rc = poll(&p, 1, left);
    if (rc > 0)
      return (p.revents & POLLNVAL) ? Readiness::error : Readiness::ready;
    if (rc == 0)
      return Readiness::timeout;
    if (errno != EINTR)
      return Readiness::error;
    if (timeout_ms >= 0) {
      const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
      left = remaining.count() > 0 ? static_cast<int>(remaining.count()) : 0;
    }
  }
}

} // namespace zarn::port
