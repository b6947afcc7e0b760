// SPDX-License-Identifier: MIT
// Opening and closing the one printer connection: each request goes to the
// first transport that takes it.
#include "zarn.h"
#include "port/flags.hpp"
#include "port/guard.hpp"
#include "port/transport.hpp"

namespace {

int open_connection(const zarn::port::OpenRequest &request)
{
  return zarn::port::guarded(0, [&] {
    closeport();
    for (const zarn::port::Transport *transport : zarn::port::transports())
      if (transport->accepts(request))
        return transport->open(request);
    return 0;
  });
}

} // namespace

extern "C" int openport(char *portName) { return open_connection({.port_name = portName}); }

extern "C" int openethernet(char *address, int port)
{
  return open_connection({.address = address, .port = port});
}

extern "C" int closeport(void)
{
  if (!zarn::port::status_is_one())
    return 0;
  const zarn::port::Transport *transport = zarn::port::active_transport();
  return transport != nullptr ? transport->close() : 0;
}
