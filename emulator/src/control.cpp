// SPDX-License-Identifier: MIT
#include "control.hpp"

#include "fields.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zarn::emu {

ControlServer::ControlServer(const TcpOptions &where)
{
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(where.port));
  if (inet_pton(AF_INET, where.address.c_str(), &addr.sin_addr) != 1)
    throw std::runtime_error("control: not an IPv4 address: " + where.address);
  listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int one = 1;
  if (listener_)
    setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (!listener_ ||
      ::bind(listener_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::listen(listener_.get(), SOMAXCONN) != 0)
    throw std::runtime_error("control: cannot listen on " + where.address + ":" +
                             std::to_string(where.port) + ": " + std::strerror(errno));
  socklen_t len = sizeof addr;
  getsockname(listener_.get(), reinterpret_cast<sockaddr *>(&addr), &len);
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  address_ = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

void ControlServer::add_fds(std::vector<pollfd> &fds) const
{
  fds.push_back({listener_.get(), POLLIN, 0});
  for (const Client &c : clients_)
    fds.push_back({c.fd.get(), static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
}

void ControlServer::serve(std::span<const pollfd> ready)
{
  if (ready.empty())
    return;
  // Clients first, by position: accepting below appends to the list.
  std::vector<bool> gone(clients_.size(), false);
  for (std::size_t i = 0; i < clients_.size() && i + 1 < ready.size(); ++i) {
    Client &c = clients_[i];
    const short revents = ready[i + 1].revents;
    // A client that sent its lines and closed its side still gets the
    // answers that fit into its socket now.
    const bool ended = (revents & (POLLIN | POLLHUP | POLLERR)) && !read_from(c);
    bool failed = false;
    while (!c.out.empty()) {
      const ssize_t n = ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        c.out.erase(0, static_cast<std::size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        failed = !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
        break;
      }
    }
    gone[i] = ended || failed || c.out.size() > kMaxUnread;
  }
  for (std::size_t i = clients_.size(); i-- > 0;)
    if (gone[i])
      clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
  if (ready[0].revents & POLLIN) {
    for (;;) {
      zarn::UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!fd)
        break; // none waiting, or out of descriptors: the client waits
      clients_.push_back(Client{std::move(fd), {}, {}, false});
    }
  }
}

bool ControlServer::read_from(Client &c)
{
  char buf[4096];
  for (;;) {
    const ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return errno == EAGAIN || errno == EWOULDBLOCK;
    if (n == 0)
      return false;
    for (ssize_t i = 0; i < n; ++i) {
      const char b = buf[i];
      if (b == '\n') {
        if (!c.skipping)
          answer(c, c.line);
        c.line.clear();
        c.skipping = false;
      } else if (b != '\r' && !c.skipping) {
        if (c.line.size() == kMaxLine) {
          c.out += "error: line longer than " + std::to_string(kMaxLine) + " bytes\r\n";
          c.line.clear();
          c.skipping = true;
        } else {
          c.line.push_back(b);
        }
      }
    }
  }
}

void ControlServer::answer(Client &c, std::string_view line)
{
  line = trim(line);
  if (line.empty())
    return;
  const std::string error = handler_ ? handler_(line) : "no printer";
  c.out += error.empty() ? "ok\r\n" : "error: " + error + "\r\n";
}

} // namespace zarn::emu
