// SPDX-License-Identifier: MIT
// The connection behind a zarn_client_printer handle.
#pragma once

#include "zarn-client.h"

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace zarn::client {

struct Connection {
  enum class Kind { usb, serial, tcp };

  zarn_client_address address{};
  std::string described;
  int reply_timeout_ms = 2000;
  bool open = false;

  Kind kind() const;
  int fd() const;
  void require_open() const;
  void send_line(std::string_view line);
  void send_bytes(const void *data, std::size_t size, zarn_client_progress progress, void *context);
  zarn_client_reply ask(std::initializer_list<std::string_view> lines);
  zarn_client_printer_status status();
  // The lines of a query go out, then its reply up to terminator ("" for
  // one receive) lands in out when the kind is answered.
  zarn_client_reply query(std::initializer_list<std::string_view> lines, const char *terminator,
                          std::string &out);
  void close_now();
};

void open_connection(Connection &c, const zarn_client_address &a);

} // namespace zarn::client

struct zarn_client_printer {
  zarn::client::Connection connection;
};
