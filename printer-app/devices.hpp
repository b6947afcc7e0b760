// SPDX-License-Identifier: MIT
// Device URI schemes that reach the printer through libzarn's own transports:
//   zarn-usb://                            the first printer with the vendor ID
//   zarn-serial:/dev/ttyUSB0?baud=9600     a serial line (115200 bit/s if not given)
//   zarn-tcp://HOST[:PORT]                 TCP, port 9100 if not given
#pragma once

#include "status.hpp"

#include <pappl/pappl.h>

#include <optional>
#include <string>

namespace zarn::app {

struct DeviceAddress {
  enum class Kind { usb, serial, tcp };
  Kind kind = Kind::usb;
  std::string tty;   // serial: the name under /dev ("ttyUSB0")
  int baud = 115200; // serial
  std::string host;  // tcp: a name or a dotted IPv4 address
  int port = 9100;   // tcp
};

// Parses a zarn-usb:, zarn-serial: or zarn-tcp: URI. On a bad one returns
// nothing and says why in error.
std::optional<DeviceAddress> parse_device_uri(const std::string &uri, std::string &error);

// True for the URI schemes registered here.
bool is_zarn_uri(const char *uri);

// Registers the three schemes with PAPPL (before papplMainloop).
void register_device_schemes();

// Asks the printer behind an open zarn- device for its status byte.
Status query_status(pappl_device_t *device);

// True when the last device open on this thread failed for a reason other
// than the connection being busy (the printer is then unreachable). Reading
// it clears it.
bool last_open_failed();

} // namespace zarn::app
