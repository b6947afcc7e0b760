// Read: one receive, or gathering until a terminator arrives.
#include "zarn.h"
#include "port/limits.h"
#include "port/link.h"
#include "port/reply.h"

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

// Serial reads are bounded by the whole gathering only (its own 15 s
// read time-out just returns nothing); TCP also limits each piece; USB
// ignores the value and uses its transfer time limit.
int gather_wait_ms(const Link &link, std::chrono::steady_clock::time_point deadline)
{
  const int left = left_ms(deadline);
  if (&link == &serial_link())
    return left;
  return left < limits().tcp_next_piece_ms ? left : limits().tcp_next_piece_ms;
}

char *gather(const Link &link, const char *terminator, unsigned char *rbuf, std::size_t n)
{
  // Bounds every kind, so a printer that trickles bytes or sends empty USB
  // transfers forever cannot hold the call.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(limits().gather_ms);
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

    if (left_ms(deadline) == 0)
      return kReceiveFailedReply;
    std::memset(rbuf, 0, kReplyBufferSize);
    const Received r = link.receive(rbuf, kReplyBufferSize, gather_wait_ms(link, deadline));
    if (r.status != Received::Status::data)
      return kReceiveFailedReply;
    n = r.count;
  }
}

char *read_reply(const char *terminator)
{
  std::unique_ptr<unsigned char[]> rbuf(new unsigned char[kReplyBufferSize]());
  if (openportStatus != 1)
    return kEmptyReply;
  const Link *link = active_link();
  if (link == nullptr)
    return kEmptyReply;

  const Received first = link->receive(rbuf.get(), kReplyBufferSize, limits().first_byte_wait_ms);
  std::size_t n = first.count;
  switch (first.status) {
  case Received::Status::data: break;
  case Received::Status::closed:
    n = 0; // an orderly end of stream is an empty receive
    break;
  case Received::Status::silence: return kEmptyReply;
  case Received::Status::failed:
    return link->failed_first_receive_is_silence() ? kEmptyReply : kReceiveFailedReply;
  }

  if (terminator[0] == '\0')
    return copy_as_text(reinterpret_cast<const char *>(rbuf.get()), n, n + 1);
  return gather(*link, terminator, rbuf.get(), n);
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
