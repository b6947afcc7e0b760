// SPDX-License-Identifier: MIT
// The port layer's view of one connection kind. Each transport (USB, serial,
// TCP) lives in its own file and owns its whole life: which open requests it
// takes, opening, closing, sending, receiving, and how its replies are
// waited for. The rest of the port layer goes through this interface and
// the table in transports.cpp, and never tests the kinds itself.
#pragma once

#include <cstddef>
#include <span>

namespace zarn::port {

// What a host asked to open: a port name (openport) or an address and port
// (openethernet).
struct OpenRequest {
  const char *port_name = nullptr;
  const char *address = nullptr;
  int port = 0;
};

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

// How a transport's replies are waited for, in milliseconds.
struct ReceivePolicy {
  enum class FailedFirst { silence, failure };
  int first_wait_ms;        // for the first byte of a reply
  int next_piece_wait_ms;   // for each later piece; negative: only the gathering bound
  FailedFirst failed_first; // what a failed first receive reads as
};

class Transport {
 public:
  // Whether this transport serves the request (the first in the table wins).
  virtual bool accepts(const OpenRequest &request) const = 0;
  // Opens the connection and sets its flags: 1. Otherwise 0, nothing open.
  virtual int open(const OpenRequest &request) const = 0;
  // True while this kind's connection flag is set.
  virtual bool is_open() const = 0;
  // closeport's part: 0 and nothing changed when there is no handle to
  // release; otherwise the flags are cleared, the handle released, and 1.
  virtual int close() const = 0;
  // Puts all len bytes on the wire (one write is made even for len 0).
  // True only when every byte went out.
  virtual bool send(const unsigned char *data, std::size_t len, SendMode mode) const = 0;
  // Waits at most wait_ms for data, then receives up to cap bytes once.
  virtual Received receive(unsigned char *buf, std::size_t cap, int wait_ms) const = 0;
  virtual ReceivePolicy receive_policy() const = 0;
  // Drops whatever the printer sent that nobody read (a reply that came
  // after its query gave up), without waiting for more.
  virtual void discard_pending() const = 0;

 protected:
  ~Transport() = default;
};

// Every transport, in the fixed order USB, serial, TCP. The order is part of
// the contract: with inconsistent flags set by a host, USB wins over serial,
// serial over TCP.
std::span<const Transport *const> transports();

// The first open transport in that order; null when none is.
const Transport *active_transport();

// Drops the unread input of the open connection (Transport::discard_pending);
// nothing when no connection is open.
void discard_pending_input();

// One definition in each transport's file.
const Transport &usb_transport();
const Transport &serial_transport();
const Transport &tcp_transport();

} // namespace zarn::port
