#include "zarn.h"
#include "port/limits.h"
#include "port/link.h"

#include <initializer_list>

namespace zarn::port {

const Link *active_link()
{
  // The order is part of the contract: with inconsistent flags set by a
  // host, USB wins over serial, serial over TCP.
  for (const Link *link : {&usb_link(), &serial_link(), &tcp_link()})
    if (link->is_open())
      return link;
  return nullptr;
}

void discard_pending_input()
{
  if (openportStatus != 1)
    return;
  if (const Link *link = active_link())
    link->discard_pending();
}

Limits &limits()
{
  static Limits values;
  return values;
}

} // namespace zarn::port
