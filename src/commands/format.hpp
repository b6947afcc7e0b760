// SPDX-License-Identifier: MIT
// Every label command is one template filled into a fixed-size buffer and
// sent as a framed line; longer results are cut to the buffer size minus one.
#pragma once

#include "zarn.h"
#include "port/flags.hpp"

#include <cstddef>
#include <cstdio>

namespace zarn::commands {

template <std::size_t BufferSize, typename... Texts>
void send_line(const char *format, Texts... texts)
{
  char line[BufferSize];
  std::snprintf(line, sizeof line, format, texts...);
  sendcommand(line);
}

} // namespace zarn::commands
