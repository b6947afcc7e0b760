// SPDX-License-Identifier: MIT
// A bare printer on loopback TCP for benchmarks and load tests: it takes
// connections one after another on its own thread and reads everything;
// in status mode it answers every status request in the stream (whatever
// else comes with it) with the status byte 0x20. Quicker than the fake
// printer, whose accept queue would stall thousands of connects. In stall
// mode it answers status requests with 0x00 (ready) but, on its first
// connection, stops reading once it has taken 64 KiB: a printer that does
// not take a job's data.
#pragma once

#include "common/protocol.hpp"
#include "loopback.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace zarn::test {

class LoopbackPeer {
 public:
  enum class Mode { sink, status, stall };

  explicit LoopbackPeer(Mode mode = Mode::sink) : mode_(mode)
  {
    listen_ = listen_on_loopback(port_, 128);
    worker_ = std::thread([this] { serve(); });
  }
  ~LoopbackPeer()
  {
    shutdown(listen_, SHUT_RDWR);
    worker_.join();
    close(listen_);
    for (const int fd : parked_)
      close(fd);
  }
  LoopbackPeer(const LoopbackPeer &) = delete;
  LoopbackPeer &operator=(const LoopbackPeer &) = delete;

  int port() const { return port_; }
  std::size_t bytes() const { return bytes_.load(); }
  // What the connections after the first received (stall mode).
  std::string later_stream() const
  {
    std::lock_guard lock(mutex_);
    return later_;
  }
  int connections() const { return connections_.load(); }

  // A connected socket with the one option openethernet sets: TCP_NODELAY,
  // without which small writes after the first wait for the peer's
  // delayed acknowledgement.
  int connect_raw() const
  {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
      std::abort();
    return fd;
  }

 private:
  void serve()
  {
    const std::string request = std::string(protocol::kStatusRequest) + "\r\n";
    std::vector<char> buf(1 << 20);
    for (;;) {
      const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0 && errno == EINTR)
        continue;
      if (fd < 0)
        return;         // the listener was shut down
      std::string seen; // the unanswered tail of the stream
      const bool stalls = mode_ == Mode::stall && connections_ == 0;
      std::size_t taken = 0;
      ssize_t n;
      while ((n = read(fd, buf.data(),
                       stalls ? std::min<std::size_t>(buf.size(), 4096) : buf.size())) > 0) {
        bytes_ += static_cast<std::size_t>(n);
        taken += static_cast<std::size_t>(n);
        if (mode_ == Mode::stall && !stalls) {
          std::lock_guard lock(mutex_);
          later_.append(buf.data(), static_cast<std::size_t>(n));
        }
        if (stalls && taken >= 64 * 1024)
          break; // held open, never read again

        if (mode_ == Mode::sink)
          continue;
        seen.append(buf.data(), static_cast<std::size_t>(n));
        for (std::size_t at; (at = seen.find(request)) != std::string::npos;) {
          (void)!::send(fd, mode_ == Mode::stall ? "\x00" : "\x20", 1, MSG_NOSIGNAL);
          seen.erase(0, at + request.size());
        }
        if (seen.size() > request.size())
          seen.erase(0, seen.size() - request.size());
      }
      if (stalls && taken >= 64 * 1024)
        parked_.push_back(fd);
      else
        close(fd);
      ++connections_;
    }
  }

  Mode mode_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<std::size_t> bytes_{0};
  std::vector<int> parked_; // stalled connections, kept open
  mutable std::mutex mutex_;
  std::string later_;
  std::atomic<int> connections_{0};
  std::thread worker_;
};

} // namespace zarn::test
