// SPDX-License-Identifier: MIT
// Named constants of the port layer: the USB address of the printer (from
// the shared protocol facts) and every time limit. The time limits are
// variables so the library's own white-box tests can shorten them; nothing
// else writes them.
#pragma once

#include "zarn.h"
#include "common/protocol.hpp"

#include <cstddef>

namespace zarn::port {

using protocol::kUsbEndpointIn;
using protocol::kUsbEndpointOut;
using protocol::kUsbInterface;
using protocol::kVendorId;

// Size of the receive and accumulation buffers.
inline constexpr std::size_t kReplyBufferSize = 65535;

// Milliseconds.
struct Limits {
  int usb_command_send_ms = 5000; // sendcommand over USB
  int usb_receive_ms = 10000;     // every bulk IN transfer of a reply
  int first_byte_wait_ms = 10000; // serial/TCP wait for the first reply byte
  int tcp_next_piece_ms = 10000;  // TCP wait for each later piece while gathering
  // all pieces after the first of a terminated reply, on every kind (the public bound)
  int gather_ms = ZARN_GATHER_LIMIT_SECONDS * 1000;
  // how long USB listens for an unread reply before a query's request
  int usb_discard_ms = 1;
};

Limits &limits();

} // namespace zarn::port
