// SPDX-License-Identifier: MIT
// Facts of the printer's protocol that the library, the emulator and the
// tests must agree on: the USB address of the printer and the query
// requests as the library hands them to sendcommand (which adds CR LF).
#pragma once

#include <cstdint>

namespace zarn::protocol {

// USB vendor ID of the printers this library drives (matched alone:
// product ID, class and serial number are not looked at).
inline constexpr std::uint16_t kVendorId = 0x1203;
inline constexpr int kUsbInterface = 0;
inline constexpr unsigned char kUsbEndpointOut = 0x01;
inline constexpr unsigned char kUsbEndpointIn = 0x82;

// The usual raw TCP port of label printers.
inline constexpr int kTcpPort = 9100;

// Query requests; each already ends in a line break of its own, so it goes
// out with two. The name request's own break is LF CR.
inline constexpr char kStatusRequest[] = "\033!?\r\n";
inline constexpr char kNameRequest[] = "~!T\n\r";
inline constexpr char kSerialRequest[] = "OUT _SERIAL$\r\n";
// Sent after a command whose output is wanted; the printer answers with the
// reply terminator once the command's own output is out.
inline constexpr char kEndLineRequest[] = "OUT \"ENDLINE\"";
inline constexpr char kEndLineReply[] = "ENDLINE\r\n";

} // namespace zarn::protocol
