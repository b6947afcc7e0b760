// SPDX-License-Identifier: MIT
// sendcommand and sendBinaryData: one framed line or one raw block.
#include "zarn.h"
#include "port/flags.hpp"
#include "port/guard.hpp"
#include "port/transport.hpp"

#include <clocale>
#include <cstring>
#include <string>

namespace {

int send_on_open_transport(const unsigned char *data, std::size_t len, zarn::port::SendMode mode)
{
  if (!zarn::port::status_is_one())
    return 0;
  const zarn::port::Transport *transport = zarn::port::active_transport();
  return transport != nullptr && transport->send(data, len, mode) ? 1 : 0;
}

} // namespace

extern "C" int sendcommand(char *command)
{
  return zarn::port::guarded(0, [&] {
    // The framed line is the only copy made.
    std::string framed;
    const std::size_t len = std::strlen(command);
    framed.reserve(len + 2);
    framed.append(command, len).append("\r\n");
    std::setlocale(LC_ALL, "en_US.utf8");
    return send_on_open_transport(reinterpret_cast<const unsigned char *>(framed.data()),
                                  std::strlen(framed.c_str()), zarn::port::SendMode::command);
  });
}

extern "C" int sendBinaryData(unsigned char *data, int length)
{
  return zarn::port::guarded(0, [&] {
    std::setlocale(LC_ALL, "en_US.utf8");
    // A negative length cannot describe any bytes; send nothing.
    if (length < 0)
      return 0;
    return send_on_open_transport(data, static_cast<std::size_t>(length),
                                  zarn::port::SendMode::binary);
  });
}
