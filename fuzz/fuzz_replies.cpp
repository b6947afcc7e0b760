// SPDX-License-Identifier: MIT
// Read against a printer that sends arbitrary bytes in arbitrary pieces.
//
// Input: one byte choosing the terminator ("" / "ENDLINE\r\n" / a short one
// taken from the input), then pieces, each a 2-byte little-endian length and
// that many bytes. A feeder thread writes each piece into one end of a
// socket pair only once the library has taken everything before it, then
// hangs up. The library's end stands in for a TCP connection.
//
// The reply is checked against a plain model of what Read promises: one
// receive gives the first piece as text (the only piece sent then);
// gathering gives the text before the first terminator within the first
// 65535 bytes, else the failure text.
#include "zarn.h"
#include "port/reply.hpp"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBuffer = 65535;

struct Case {
  std::string terminator;
  std::vector<std::string> pieces;
};

Case decode(const std::uint8_t *data, std::size_t size)
{
  Case c;
  std::size_t at = 0;
  const std::uint8_t mode = size > 0 ? data[at++] : 0;
  if (mode % 3 == 1) {
    c.terminator = "ENDLINE\r\n";
  } else if (mode % 3 == 2) {
    const std::size_t len = 1 + (mode / 3) % 6;
    for (std::size_t i = 0; i < len && at < size && data[at] != 0; ++i)
      c.terminator.push_back(static_cast<char>(data[at++]));
    if (c.terminator.empty())
      c.terminator = "\n";
  }
  while (at + 2 <= size) {
    std::size_t len = data[at] | (data[at + 1] << 8);
    at += 2;
    len = std::min(std::min(len, size - at), kBuffer);
    if (len > 0)
      c.pieces.emplace_back(reinterpret_cast<const char *>(data + at), len);
    at += len;
  }
  return c;
}

std::string expected(const Case &c)
{
  if (c.terminator.empty()) {
    if (c.pieces.empty())
      return "";
    const std::string &first = c.pieces.front();
    return first.substr(0, std::strlen(first.c_str()));
  }
  std::string stream;
  for (const std::string &p : c.pieces)
    stream += p;
  stream.resize(std::min(stream.size(), kBuffer));
  const std::string text = stream.substr(0, std::strlen(stream.c_str()));
  const std::size_t hit = text.find(c.terminator);
  return hit == std::string::npos ? "Receive Failed\r\n" : text.substr(0, hit);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
  const Case c = decode(data, size);
  int sv[2];
  // Running short of descriptors or threads on a busy machine says nothing
  // about the library: such inputs are skipped, not reported.
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
    return 0;
  // Room for a whole piece at once, so the first receive sees exactly it.
  const int room = 4 * static_cast<int>(kBuffer);
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);

  auto send_piece = [&](const std::string &p) {
    std::size_t done = 0;
    while (done < p.size()) {
      const ssize_t n = send(sv[1], p.data() + done, p.size() - done, MSG_NOSIGNAL);
      if (n <= 0)
        return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  };
  // The first piece is in place before Read starts.
  if (!c.pieces.empty())
    send_piece(c.pieces.front());

  std::atomic<bool> done{false};
  // One receive reads only the first piece: the rest is not sent, since a
  // piece sent while the receive is still copying the first one (the queue
  // already looks empty) joins it in the same receive.
  const std::size_t feed = c.terminator.empty() ? 1 : c.pieces.size();
  auto feed_rest = [&] {
    for (std::size_t i = 1; i < feed; ++i) {
      int unread = 1;
      while (!done.load() && ioctl(sv[0], FIONREAD, &unread) == 0 && unread > 0)
        sched_yield();
      if (done.load() || !send_piece(c.pieces[i]))
        return;
    }
    shutdown(sv[1], SHUT_WR);
  };
  std::thread feeder;
  try {
    feeder = std::thread(feed_rest);
  } catch (const std::system_error &) {
    close(sv[0]);
    close(sv[1]);
    return 0;
  }

  net_socket = sv[0];
  openportStatus = 1;
  openEthernetPortResult = 1;
  char *reply = Read(const_cast<char *>(c.terminator.c_str()));
  done.store(true);
  openportStatus = 0;
  openEthernetPortResult = 0;
  shutdown(sv[0], SHUT_RDWR);
  feeder.join();
  close(sv[0]);
  close(sv[1]);

  const std::string got = reply;
  const std::string want = expected(c);
  if (got != want) {
    std::fprintf(stderr,
                 "reply of %zu bytes differs from the expected %zu bytes (terminator %zu bytes, "
                 "%zu pieces)\n",
                 got.size(), want.size(), c.terminator.size(), c.pieces.size());
    std::abort();
  }
  // Only allocated replies are the caller's to release.
  if (reply != zarn::port::kEmptyReply && reply != zarn::port::kReceiveFailedReply)
    delete[] reply;
  return 0;
}
