// The port layer's view of one connection kind. USB, serial and TCP each
// implement Link once; sending and receiving pick the open link through
// active_link() and never test the kinds themselves.
#pragma once

#include <cstddef>

namespace zarn::port {

enum class SendMode {
  command, // a framed command line: USB gives up after its command time limit
  binary,  // raw bytes: USB waits as long as the transfer takes
};

struct Received {
  enum class Status {
    data,    // count bytes arrived (count may be 0)
    silence, // nothing arrived within the wait
    closed,  // the peer ended the stream
    failed,  // the receive reported an error
  };
  Status status;
  std::size_t count;
};

class Link {
 public:
  // True while this kind's connection flag is set.
  virtual bool is_open() const = 0;
  // Puts all len bytes on the wire (one write is made even for len 0).
  // True only when every byte went out.
  virtual bool send(const unsigned char *data, std::size_t len, SendMode mode) const = 0;
  // Waits at most wait_ms for data, then receives up to cap bytes once.
  virtual Received receive(unsigned char *buf, std::size_t cap, int wait_ms) const = 0;
  // Whether a failed first receive is reported like silence (empty text).
  virtual bool failed_first_receive_is_silence() const = 0;
  // Drops whatever the printer sent that nobody read (a reply that came
  // after its query gave up), without waiting for more.
  virtual void discard_pending() const = 0;

 protected:
  ~Link() = default;
};

// The first open kind in the fixed order USB, serial, TCP; null when none is.
const Link *active_link();

// Drops the unread input of the open connection (see Link::discard_pending);
// nothing when no connection is open.
void discard_pending_input();

const Link &usb_link();
const Link &serial_link();
const Link &tcp_link();

} // namespace zarn::port
