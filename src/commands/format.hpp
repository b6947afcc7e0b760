// SPDX-License-Identifier: MIT
// Every label command is one template filled into a fixed-size buffer and
// sent as a framed line; longer results are cut to the buffer size minus one.
#pragma once

#include "zarn.h"
#include "port/flags.hpp"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace zarn::commands {

// A CR or LF inside a value would end the command line there and let the
// rest of the value run as commands of its own, so such a value is refused.
inline bool has_line_break(const char *text) { return std::strpbrk(text, "\r\n") != nullptr; }

template <typename... Texts>
bool any_line_break(Texts... texts)
{
  return (has_line_break(texts) || ...);
}

template <std::size_t BufferSize, typename... Texts>
void send_line(const char *format, Texts... texts)
{
  char line[BufferSize];
  std::snprintf(line, sizeof line, format, texts...);
  sendcommand(line);
}

} // namespace zarn::commands
