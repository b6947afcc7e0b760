// SPDX-License-Identifier: MIT
// Printer queries: send a request, read the reply.
#include "zarn.h"
#include "port/flags.hpp"
#include "port/transport.hpp"
#include "port/reply.hpp"
#include "common/protocol.hpp"

using namespace zarn::protocol;

namespace {

char kAboutText[] = "Linux Shared Library Version V1.00\r\n";

// A reply that came after its query gave up is still waiting in the
// connection: dropped first, or this query would take it for its own.
char *request(const char *line, const char *terminator)
{
  zarn::port::discard_pending_input();
  sendcommand(const_cast<char *>(line));
  return Read(const_cast<char *>(terminator));
}

} // namespace

extern "C" char *about(void) { return kAboutText; }

extern "C" int printerstatus(void)
{
  if (!zarn::port::status_is_one())
    return 0;
  char *reply = request(kStatusRequest, "");
  // The status byte is signed: 0x80..0xFF report -128..-1.
  const int status = static_cast<signed char>(reply[0]);
  if (reply != zarn::port::kEmptyReply && reply != zarn::port::kReceiveFailedReply)
    delete[] reply;
  return status;
}

extern "C" char *printername(void)
{
  if (!zarn::port::status_is_nonzero())
    return nullptr;
  // The request carries its own LF CR before the framing's CR LF.
  return request(kNameRequest, "");
}

extern "C" char *printerserial(void)
{
  if (!zarn::port::status_is_nonzero())
    return nullptr;
  return request(kSerialRequest, "");
}

extern "C" char *sendcommand_getstring(char *command)
{
  if (!zarn::port::status_is_one())
    return zarn::port::kEmptyReply;
  zarn::port::discard_pending_input();
  sendcommand(command);
  // The printer echoes ENDLINE after the command's own output: that marks its end.
  sendcommand(const_cast<char *>(kEndLineRequest));
  return Read(const_cast<char *>(kEndLineReply));
}
