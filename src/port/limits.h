// Named constants of the port layer: the USB address of the printer and
// every time limit. The time limits are variables so the library's own
// white-box tests can shorten them; nothing else writes them.
#pragma once

#include "zarn.h"

#include <cstddef>
#include <cstdint>

namespace zarn::port {

// USB vendor ID of the printers this library drives (matched alone:
// product ID, class and serial number are not looked at).
inline constexpr std::uint16_t kVendorId = 0x1203;
inline constexpr int kUsbInterface = 0;
inline constexpr unsigned char kUsbEndpointOut = 0x01;
inline constexpr unsigned char kUsbEndpointIn = 0x82;

// Size of the receive and accumulation buffers.
inline constexpr std::size_t kReplyBufferSize = 65535;

struct Limits {
  unsigned usb_command_send_ms = 5000; // sendcommand over USB
  unsigned usb_receive_ms = 10000;     // every bulk IN transfer
  int first_byte_wait_ms = 10000;      // serial/TCP wait for the first reply byte
  int tcp_next_piece_ms = 10000;       // TCP wait for each later piece while gathering
  // all pieces after the first of a terminated reply, on every kind (the public bound)
  int gather_ms = ZARN_GATHER_LIMIT_SECONDS * 1000;
};

Limits &limits();

} // namespace zarn::port
