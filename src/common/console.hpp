// SPDX-License-Identifier: MIT
// Character devices that are terminals but a screen and keyboard: the
// virtual consoles (tty0 to tty63), /dev/console and /dev/tty. Label bytes
// sent there land on someone's display, so no serial printer is one.
#pragma once

#include <sys/sysmacros.h>
#include <sys/types.h>

namespace zarn {

inline bool is_console(dev_t device)
{
  const unsigned maj = major(device), min = minor(device);
  return (maj == 4 && min < 64) || (maj == 5 && min <= 1);
}

} // namespace zarn
