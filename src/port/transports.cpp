// SPDX-License-Identifier: MIT
// The table of transports, and what goes through whichever is open.
#include "port/flags.hpp"
#include "port/limits.hpp"
#include "port/transport.hpp"

#include <array>

namespace zarn::port {

std::span<const Transport *const> transports()
{
  static const std::array<const Transport *, 3> table = {&usb_transport(), &serial_transport(),
                                                         &tcp_transport()};
  return table;
}

const Transport *active_transport()
{
  for (const Transport *transport : transports())
    if (transport->is_open())
      return transport;
  return nullptr;
}

void discard_pending_input()
{
  if (!status_is_one())
    return;
  if (const Transport *transport = active_transport())
    transport->discard_pending();
}

Limits &limits()
{
  static Limits values;
  return values;
}

} // namespace zarn::port
