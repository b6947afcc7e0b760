// SPDX-License-Identifier: MIT
// The printer on a TCP port: one host at a time, as a network printer
// serves its print jobs; the next connections wait in the backlog until the
// current host closes, goes idle or stops reading its answers.
#include "stop.hpp"
#include "transports.hpp"

#include "common/handle.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zarn::emu {

int run_tcp(Emulator &emulator, const TcpOptions &options)
{
  const Faults &faults = emulator.faults;
  const HostLimits &limits = emulator.limits;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(options.port));
  if (inet_pton(AF_INET, options.address.c_str(), &addr.sin_addr) != 1) {
    std::fprintf(stderr, "zarn-emulator: not an IPv4 address: %s\n", options.address.c_str());
    return 2;
  }
  zarn::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener) {
    std::perror("zarn-emulator: socket");
    return 1;
  }
  const int one = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Hosts queue while one is served: the kernel's largest backlog keeps
  // them waiting instead of dropping their connection attempts.
  if (::bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::listen(listener.get(), SOMAXCONN) != 0) {
    std::fprintf(stderr, "zarn-emulator: cannot listen on %s:%d: %s\n", options.address.c_str(),
                 options.port, std::strerror(errno));
    return 1;
  }
  socklen_t len = sizeof addr;
  getsockname(listener.get(), reinterpret_cast<sockaddr *>(&addr), &len);
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  std::printf("listening on %s:%u\n", text, ntohs(addr.sin_port));
  std::fflush(stdout);

  Session session(emulator.printer, faults, limits);
  zarn::UniqueFd client;
  std::vector<std::uint8_t> buf(64 * 1024);
  auto hang_up = [&] {
    session.end_of_stream();
    client.reset();
  };
  for (;;) {
    if (client) {
      const auto expired = session.expired(Clock::now());
      if (expired != Session::Expired::none) {
        const bool idle = expired == Session::Expired::idle;
        std::fprintf(stderr, "zarn-emulator: %s for %g s, connection closed\n",
                     idle ? "host idle" : "host read none of its answers",
                     Session::seconds(idle ? limits.idle : limits.unread));
        hang_up();
      }
    }
    short events = POLLIN;
    if (client) {
      const auto now = Clock::now();
      events = static_cast<short>((session.wants_input() ? POLLIN : 0) |
                                  (session.due(now).empty() ? 0 : POLLOUT));
    }
    pollfd fd{client ? client.get() : listener.get(), events, 0};
    const Wake wake =
        wait_events({&fd, 1}, client ? session.wait_ms(Clock::now()) : -1, emulator.control);
    if (wake == Wake::failed) {
      std::perror("zarn-emulator: poll");
      return 1;
    }
    if (wake == Wake::stop)
      return 0;
    if (!client) {
      if (fd.revents & POLLIN) {
        client.reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        // accept can fail when the peer already left; just wait for the next.
        if (client) {
          // A printer's buffers are small: answers a host does not read stay
          // with us, where the unread limit sees them, not in the kernel.
          const int buffer = 64 * 1024;
          setsockopt(client.get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
          session.start(Clock::now());
        }
      }
      continue;
    }
    if (fd.revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t got = ::recv(client.get(), buf.data(), buf.size(), MSG_DONTWAIT);
      if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        continue;
      if (got <= 0) {
        // A host that shut only its sending side still gets what is due.
        send_due(session, client.get(), true);
        hang_up();
        continue;
      }
      if (!session.receive(buf.data(), static_cast<std::size_t>(got), Clock::now())) {
        std::fprintf(stderr,
                     "zarn-emulator: closing the connection after %llu bytes (--close-after)\n",
                     faults.close_after);
        hang_up();
        continue;
      }
    }
    if (!send_due(session, client.get(), true))
      hang_up();
  }
}

} // namespace zarn::emu
