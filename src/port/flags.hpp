// SPDX-License-Identifier: MIT
// The connection flags as the exported functions read and write them. A host
// may write the flags itself, and the functions have always read
// openportStatus in two ways that differ for values other than 0 and 1; both
// stay, each under one name here, so no function spells out its own test.
#pragma once

#include "zarn.h"

namespace zarn::port {

// openportStatus is exactly 1: sendcommand, sendBinaryData, Read, closeport,
// printerstatus, sendcommand_getstring, and the drop of unread input.
inline bool status_is_one() { return openportStatus == 1; }

// openportStatus is anything but 0: the label commands, printername,
// printerserial, downloadpcx and windowsfont.
inline bool status_is_nonzero() { return openportStatus != 0; }

// A kind flag (openUsbPortResult, openSerialPortResult, openEthernetPortResult)
// is exactly 1.
inline bool kind_is_set(int kind_flag) { return kind_flag == 1; }

// set_Speed and set_Parity touch the line only while it is the library's.
inline bool serial_line_is_open() { return status_is_one() && kind_is_set(openSerialPortResult); }

// Flags of a connection that has just opened, or is closing (cleared before
// any handle is released, so it counts as closed whatever the release does).
inline void mark_open(int &kind_flag)
{
  openportStatus = 1;
  kind_flag = 1;
}
inline void mark_closed(int &kind_flag)
{
  openportStatus = 0;
  kind_flag = 0;
}

} // namespace zarn::port
