// What every transport shares: feeding the printer, and sending its replies
// the way the fault options ask (late, in pieces, or not at all after the
// host has sent a given number of bytes).
#pragma once

#include "printer.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace zarn::emu {

struct Faults {
  int reply_delay_ms = 0;             // every reply waits this long
  std::size_t reply_chunk = 0;        // >0: replies go out in pieces this big
  int chunk_gap_ms = 50;              // pause between two pieces
  unsigned long long close_after = 0; // >0: cut the link after this many bytes in
};

class Link {
 public:
  using Clock = std::chrono::steady_clock;

  Link(Printer &printer, const Faults &faults) : printer_(printer), faults_(faults) {}

  // Feeds received bytes to the printer and schedules its replies. Returns
  // false once close_after bytes have come in; the rest is not read.
  bool receive(const std::uint8_t *data, std::size_t size, Clock::time_point now);
  // The host went away: a half block is dropped, pending replies too, and
  // the byte count for close_after starts again.
  void end_of_stream();
  bool cut() const { return cut_; }

  // The next reply piece if it is due by now.
  std::optional<std::string> due(Clock::time_point now);
  // Milliseconds until the next piece is due (0: now), -1 when none waits.
  int wait_ms(Clock::time_point now) const;

 private:
  struct Piece {
    Clock::time_point at;
    std::string bytes;
  };
  Printer &printer_;
  Faults faults_;
  std::deque<Piece> pending_;
  unsigned long long received_ = 0;
  bool cut_ = false;
};

// Ends the program's loops on SIGINT and SIGTERM: the handler writes to a
// pipe whose read end the loops poll.
int stop_fd();
void install_stop_handlers();

// A descriptor that closes itself.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd &&o) noexcept : fd_(o.release()) {}
  Fd &operator=(Fd &&o) noexcept
  {
    if (this != &o)
      reset(o.release());
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release()
  {
    const int f = fd_;
    fd_ = -1;
    return f;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes all of data, retrying on EINTR and short writes; false on error.
bool write_all(int fd, const std::string &data, bool socket);

struct TcpOptions {
  std::string address = "127.0.0.1";
  int port = 9100;
};
int run_tcp(Printer &printer, const Faults &faults, const TcpOptions &options);
int run_serial(Printer &printer, const Faults &faults, const std::string &name);
int run_usb(Printer &printer, const Faults &faults, const std::vector<std::string> &command);

} // namespace zarn::emu
