// SPDX-License-Identifier: MIT
// Read: one receive, or gathering until a terminator arrives. How long each
// receive waits, and what a failed first one means, is the transport's
// receive policy.
#include "zarn.h"
#include "port/flags.hpp"
#include "port/limits.hpp"
#include "port/reply.hpp"
#include "port/transport.hpp"

#include <chrono>
#include <cstring>
#include <memory>
#include <new>

namespace zarn::port {

// The two constant replies are single objects: callers may compare addresses.
char kEmptyReply[] = "";
char kReceiveFailedReply[] = "Receive Failed\r\n";

namespace {

// The reply text for the text of src (up to its first zero byte, at most
// len bytes): the constant when it reads like one, so that a reply's text
// alone tells its owner whether to release it; otherwise a fresh text of
// size bytes, zero-filled after it.
char *copy_as_text(const char *src, std::size_t len, std::size_t size)
{
  const std::size_t n = strnlen(src, len);
  if (n == 0)
    return kEmptyReply;
  if (n == sizeof kReceiveFailedReply - 1 && std::memcmp(src, kReceiveFailedReply, n) == 0)
    return kReceiveFailedReply;
  char *text = new char[size]();
  std::memcpy(text, src, n);
  return text;
}

// Milliseconds left before the gathering deadline, never negative.
int left_ms(std::chrono::steady_clock::time_point deadline)
{
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

char *gather(const Transport &transport, const char *terminator, unsigned char *rbuf, std::size_t n)
{
  // Bounds every kind, so a printer that trickles bytes or sends empty USB
  // transfers forever cannot hold the call.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(limits().gather_ms);
  const int piece_ms = transport.receive_policy().next_piece_wait_ms;
  // One byte more than the data capacity keeps the text terminated, so the
  // search can never run past the end.
  std::unique_ptr<char[]> acc(new char[kReplyBufferSize + 1]());
  std::size_t offset = 0;
  std::size_t text_len = 0; // the gathered text ends at its first zero byte
  std::size_t searched = 0; // no match can start before this position
  const std::size_t term_len = std::strlen(terminator);

  for (;;) {
    const std::size_t room = kReplyBufferSize - offset;
    const std::size_t take = n < room ? n : room;
    // Copy as text: a zero byte hides the rest of the block, which still
    // takes its place in the buffer.
    const std::size_t visible = strnlen(reinterpret_cast<const char *>(rbuf), take);
    std::memcpy(acc.get() + offset, rbuf, visible);
    if (text_len == offset)
      text_len = offset + visible;
    offset += take;

    if (const char *hit = std::strstr(acc.get() + searched, terminator)) {
      const std::size_t p = static_cast<std::size_t>(hit - acc.get());
      return copy_as_text(acc.get(), p, p + 1);
    }
    searched = text_len >= term_len ? text_len - term_len + 1 : 0;
    if (offset == kReplyBufferSize)
      return kReceiveFailedReply; // full, and still no terminator

    const int left = left_ms(deadline);
    if (left == 0)
      return kReceiveFailedReply;
    std::memset(rbuf, 0, kReplyBufferSize);
    const int wait = piece_ms >= 0 && piece_ms < left ? piece_ms : left;
    const Received r = transport.receive(rbuf, kReplyBufferSize, wait);
    if (r.status != Received::Status::data)
      return kReceiveFailedReply;
    n = r.count;
  }
}

char *read_reply(const char *terminator)
{
  std::unique_ptr<unsigned char[]> rbuf(new unsigned char[kReplyBufferSize]());
  if (!status_is_one())
    return kEmptyReply;
  const Transport *transport = active_transport();
  if (transport == nullptr)
    return kEmptyReply;

  const ReceivePolicy policy = transport->receive_policy();
  const Received first = transport->receive(rbuf.get(), kReplyBufferSize, policy.first_wait_ms);
  std::size_t n = first.count;
  switch (first.status) {
  case Received::Status::data: break;
  case Received::Status::closed:
    n = 0; // an orderly end of stream is an empty receive
    break;
  case Received::Status::silence: return kEmptyReply;
  case Received::Status::failed:
    return policy.failed_first == ReceivePolicy::FailedFirst::silence ? kEmptyReply
                                                                      : kReceiveFailedReply;
  }

  if (terminator[0] == '\0')
    return copy_as_text(reinterpret_cast<const char *>(rbuf.get()), n, n + 1);
  return gather(*transport, terminator, rbuf.get(), n);
}

} // namespace
} // namespace zarn::port

char *Read(char *terminator)
{
  try {
    return zarn::port::read_reply(terminator);
  } catch (...) {
    return zarn::port::kReceiveFailedReply;
  }
}
