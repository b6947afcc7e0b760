// SPDX-License-Identifier: MIT
#include "session.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace zarn::emu {

void Session::start(Clock::time_point now)
{
  active_ = true;
  last_input_ = now;
}

bool Session::receive(const std::uint8_t *data, std::size_t size, Clock::time_point now)
{
  if (cut_)
    return false;
  if (size > 0) {
    active_ = true;
    last_input_ = now;
  }
  if (faults_.close_after > 0 && received_ + size >= faults_.close_after) {
    size = static_cast<std::size_t>(faults_.close_after - received_);
    cut_ = true;
  }
  received_ += size;
  printer_.feed(data, size);
  std::string reply = printer_.take_replies();
  if (cut_) {
    // A cut link answers nothing more, not even to the bytes just read.
    pending_.clear();
    queued_ = 0;
    return false;
  }
  if (reply.empty())
    return true;
  // Keep the order of replies: a new one never overtakes one still waiting.
  Clock::time_point at = now + std::chrono::milliseconds(faults_.reply_delay_ms);
  if (!pending_.empty()) {
    // Pieces of two replies keep the same spacing as pieces of one.
    const auto after = pending_.back().at + std::chrono::milliseconds(
                                                faults_.reply_chunk > 0 ? faults_.chunk_gap_ms : 0);
    if (after > at)
      at = after;
  }
  const std::size_t step = faults_.reply_chunk > 0 ? faults_.reply_chunk : reply.size();
  for (std::size_t off = 0; off < reply.size(); off += step) {
    if (off > 0)
      at += std::chrono::milliseconds(faults_.chunk_gap_ms);
    pending_.push_back(Piece{at, reply.substr(off, step)});
  }
  queued_ += reply.size();
  return true;
}

void Session::end_of_stream()
{
  printer_.end_of_stream();
  printer_.take_replies();
  pending_.clear();
  queued_ = 0;
  received_ = 0;
  cut_ = false;
  active_ = false;
}

std::string_view Session::due(Clock::time_point now) const
{
  if (!front_due(now))
    return {};
  const Piece &p = pending_.front();
  return std::string_view(p.bytes).substr(p.offset);
}

void Session::sent(std::size_t n, Clock::time_point now)
{
  if (n == 0 || pending_.empty())
    return;
  last_output_ = now;
  Piece &p = pending_.front();
  n = std::min(n, p.bytes.size() - p.offset);
  p.offset += n;
  queued_ -= n;
  if (p.offset == p.bytes.size())
    pending_.pop_front();
}

std::optional<std::string> Session::take_due(Clock::time_point now)
{
  if (!front_due(now))
    return std::nullopt;
  std::string bytes(due(now));
  sent(bytes.size(), now);
  return bytes;
}

Session::Expired Session::expired(Clock::time_point now) const
{
  if (front_due(now)) {
    // Waiting answers: the host has read nothing since the later of the
    // last byte it took and the moment the oldest answer was due.
    const auto since = std::max(pending_.front().at, last_output_);
    const bool limited = limits_.unread > Clock::duration::zero();
    return limited && now - since >= limits_.unread ? Expired::unread : Expired::none;
  }
  if (active_ && pending_.empty() && limits_.idle > Clock::duration::zero() &&
      now - std::max(last_input_, last_output_) >= limits_.idle)
    return Expired::idle;
  return Expired::none;
}

int Session::wait_ms(Clock::time_point now) const
{
  Clock::time_point at;
  const auto none = Clock::duration::zero();
  if (!pending_.empty()) {
    const Piece &p = pending_.front();
    if (p.at > now)
      at = p.at;
    else if (limits_.unread > none)
      at = std::max(p.at, last_output_) + limits_.unread;
    else
      return -1;
  } else if (active_ && limits_.idle > none) {
    at = std::max(last_input_, last_output_) + limits_.idle;
  } else {
    return -1;
  }
  if (at <= now)
    return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(at - now).count();
  return static_cast<int>(std::min<long long>(ms, 24 * 3600 * 1000));
}

bool send_due(Session &session, int fd, bool socket)
{
  for (;;) {
    const auto now = Clock::now();
    const std::string_view bytes = session.due(now);
    if (bytes.empty())
      return true;
    const ssize_t n = socket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT)
                             : ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    session.sent(static_cast<std::size_t>(n), now);
  }
}

} // namespace zarn::emu
