// SPDX-License-Identifier: MIT
// What the tests expect on the wire: the query requests as the library
// frames them (from the shared protocol facts), and one check that a fake
// printer got exactly a given byte stream.
#pragma once

#include "common/protocol.hpp"
#include "fake_printer.hpp"
#include "host_calls.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>

namespace zarn::test {

// A line as sendcommand puts it on the wire.
inline std::string framed(std::string_view line) { return std::string(line) + "\r\n"; }

// Each request keeps its own line break and gets the framing's CR LF too.
inline const std::string kStatusWire = framed(protocol::kStatusRequest);
inline const std::string kNameWire = framed(protocol::kNameRequest);
inline const std::string kSerialWire = framed(protocol::kSerialRequest);
// What sendcommand_getstring sends after the command, and what ends its reply.
inline const std::string kEndLineWire = framed(protocol::kEndLineRequest);
inline const std::string kEndLine = protocol::kEndLineReply;

// Everything the printer got until now is exactly expected: a marker line
// sent last proves nothing else is still on the way. Clears what it got.
inline void expect_wire(FakePrinter &printer, const std::string &expected,
                        std::chrono::milliseconds limit = std::chrono::seconds(5))
{
  ASSERT_EQ(sendcommand(text("~END~")), 1);
  const std::string all = expected + "~END~\r\n";
  ASSERT_TRUE(printer.wait_for_bytes(all.size(), limit));
  const std::string got = printer.received();
  // Large streams are compared without printing them whole.
  if (all.size() > 4096)
    EXPECT_TRUE(got == all) << "got " << got.size() << " bytes, expected " << all.size();
  else
    EXPECT_EQ(got, all);
  printer.clear_received();
}

// Hangs the printer up, then sends until a send fails: the kernel reports a
// hang-up only to a later send. False when no send ever failed.
inline bool hang_up_until_a_send_fails(FakePrinter &printer)
{
  printer.hang_up();
  std::string chunk(64 << 10, 'x');
  for (int i = 0; i < 500; ++i) {
    if (sendBinaryData(reinterpret_cast<unsigned char *>(chunk.data()),
                       static_cast<int>(chunk.size())) == 0)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

} // namespace zarn::test
