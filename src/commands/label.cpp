// SPDX-License-Identifier: MIT
// Label layout commands. They keep no label model and check no values,
// except that a value holding a line break is refused (0, nothing sent):
// each fills its template and sends it.
#include "commands/format.hpp"
#include "wire/wire.hpp"

using zarn::commands::any_line_break;
using zarn::commands::send_line;
using zarn::port::status_is_nonzero;

extern "C" int setup(char *width, char *height, char *speed, char *density, char *mediaKind,
                     char *gapSize, char *gapOffset)
{
  if (!status_is_nonzero() ||
      any_line_break(width, height, speed, density, mediaKind, gapSize, gapOffset))
    return 0;
  for (const std::string &line :
       zarn::wire::setup_lines({width, height, speed, density, mediaKind, gapSize, gapOffset}))
    send_line<100>("%s", line.c_str());
  return 1;
}

extern "C" int clearbuffer(void)
{
  if (!status_is_nonzero())
    return 0;
  sendcommand(const_cast<char *>("CLS"));
  return 1;
}

// A content beginning with '@' names a printer variable and goes in unquoted.
extern "C" int barcode(char *x, char *y, char *codeType, char *height, char *readable,
                       char *rotation, char *narrow, char *wide, char *content)
{
  if (!status_is_nonzero() ||
      any_line_break(x, y, codeType, height, readable, rotation, narrow, wide, content))
    return 0;
  send_line<1024>(content[0] == '@' ? "BARCODE %s,%s,\"%s\",%s,%s,%s,%s,%s,%s"
                                    : "BARCODE %s,%s,\"%s\",%s,%s,%s,%s,%s,\"%s\"",
                  x, y, codeType, height, readable, rotation, narrow, wide, content);
  return 1;
}

extern "C" int printerfont(char *x, char *y, char *font, char *rotation, char *xMultiplier,
                           char *yMultiplier, char *content)
{
  if (!status_is_nonzero() ||
      any_line_break(x, y, font, rotation, xMultiplier, yMultiplier, content))
    return 0;
  send_line<500>(content[0] == '@' ? "TEXT %s,%s,\"%s\",%s,%s,%s,%s"
                                   : "TEXT %s,%s,\"%s\",%s,%s,%s,\"%s\"",
                 x, y, font, rotation, xMultiplier, yMultiplier, content);
  return 1;
}

extern "C" int printlabel(char *sets, char *copies)
{
  if (!status_is_nonzero() || any_line_break(sets, copies))
    return 0;
  send_line<50>("PRINT %s,%s", sets, copies);
  return 1;
}

extern "C" int formfeed(void)
{
  if (!status_is_nonzero())
    return 0;
  sendcommand(const_cast<char *>("FORMFEED"));
  return 1;
}

extern "C" int nobackfeed(void)
{
  if (!status_is_nonzero())
    return 0;
  sendcommand(const_cast<char *>("SET STRIPER OFF"));
  sendcommand(const_cast<char *>("SET TEAR OFF"));
  return 1;
}
