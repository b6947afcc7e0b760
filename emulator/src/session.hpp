// SPDX-License-Identifier: MIT
// What every transport shares: feeding the printer, and sending its replies
// the way the fault options ask (late, in pieces, or not at all after the
// host has sent a given number of bytes), without ever waiting on a host.
#pragma once

#include "printer.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::emu {

using Clock = std::chrono::steady_clock;

struct Faults {
  int reply_delay_ms = 0;             // every reply waits this long
  std::size_t reply_chunk = 0;        // >0: replies go out in pieces this big
  int chunk_gap_ms = 50;              // pause between two pieces
  unsigned long long close_after = 0; // >0: cut the link after this many bytes in
};

// How long a host may keep the printer without using it.
struct HostLimits {
  Clock::duration idle = std::chrono::seconds(60);   // nothing sent, nothing to read
  Clock::duration unread = std::chrono::seconds(10); // answers waiting, none read
};

// One host's session with the printer, whatever the transport: what it
// sends goes to the printer, the answers wait here until the transport can
// send them, and the host's time limits are kept here.
class Session {
 public:
  // While more answer bytes than this wait, the printer reads no more input,
  // as a printer with a full buffer does.
  static constexpr std::size_t kMaxQueued = 1u << 20;

  Session(Printer &printer, const Faults &faults, const HostLimits &limits = {})
      : printer_(printer), faults_(faults), limits_(limits)
  {
  }

  // A host has connected: the idle time starts now.
  void start(Clock::time_point now);
  // Feeds received bytes to the printer and schedules its replies. Returns
  // false once close_after bytes have come in; the rest is not read.
  bool receive(const std::uint8_t *data, std::size_t size, Clock::time_point now);
  // The host went away: a half block is dropped, pending replies too, and
  // the byte count for close_after starts again.
  void end_of_stream();
  bool cut() const { return cut_; }

  bool wants_input() const { return queued_ < kMaxQueued; }
  // The reply bytes due by now (empty when none); sent() says how many of
  // them went out.
  std::string_view due(Clock::time_point now) const;
  void sent(std::size_t n, Clock::time_point now);
  // The next whole piece if it is due by now, counted as sent.
  std::optional<std::string> take_due(Clock::time_point now);

  enum class Expired { none, idle, unread };
  // Whether the host has used up one of its limits by now.
  Expired expired(Clock::time_point now) const;
  // Milliseconds until a piece is due or a limit runs out; -1 when neither.
  int wait_ms(Clock::time_point now) const;
  // Seconds of the limit, for log lines.
  static double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
  const HostLimits &limits() const { return limits_; }

 private:
  struct Piece {
    Clock::time_point at;
    std::string bytes;
    std::size_t offset = 0; // bytes of it already sent
  };
  bool front_due(Clock::time_point now) const
  {
    return !pending_.empty() && pending_.front().at <= now;
  }

  Printer &printer_;
  Faults faults_;
  HostLimits limits_;
  std::deque<Piece> pending_;
  std::size_t queued_ = 0; // unsent bytes in pending_
  unsigned long long received_ = 0;
  bool cut_ = false;
  bool active_ = false; // a host is there: connected, or bytes came since the last end
  Clock::time_point last_input_{};
  Clock::time_point last_output_{};
};

// Writes what is due on a descriptor that does not block. Returns false on
// a write error (the host is gone); a full buffer just leaves bytes queued.
bool send_due(Session &session, int fd, bool socket);

} // namespace zarn::emu
