// SPDX-License-Identifier: MIT
// Replies over USB against the emulated printer: each queued chunk completes
// one bulk IN transfer on endpoint 0x82.
#include "usb_printer_test.hpp"
#include "wire.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using zarn::usbsim::UsbPrinterSim;
using Clock = std::chrono::steady_clock;

using zarn::test::since;
using zarn::test::text;

namespace {

using namespace zarn::test;

class UsbReplies : public zarn::test::UsbPrinterTest {
 protected:
  // The printer's answer to the next request, one bulk IN transfer each.
  void answer(const std::string &request, std::vector<std::string> transfers)
  {
    zarn::test::answer_after(*sim, request, std::move(transfers));
  }
  std::string wire() const { return out_text(); }
};

TEST_F(UsbReplies, StatusQueryReadsOneSignedByte)
{
  answer(kStatusWire, {"\x80"});
  EXPECT_EQ(printerstatus(), -128);
  EXPECT_EQ(wire(), kStatusWire);

  answer(kStatusWire, {"\x20 and more"});
  EXPECT_EQ(printerstatus(), 32);
  answer(kStatusWire, {std::string(1, '\0')});
  EXPECT_EQ(printerstatus(), 0);
  answer(kStatusWire, {""});
  EXPECT_EQ(printerstatus(), 0) << "a zero-length transfer is an empty reply";
  EXPECT_EQ(sim->in_queued(), 0u);
}

TEST_F(UsbReplies, NameAndSerialTakeOneTransferEach)
{
  answer(kNameWire, {"ZL-420", "left over"});
  EXPECT_EQ(take_reply(printername()), "ZL-420");
  EXPECT_EQ(wire(), kNameWire);
  EXPECT_EQ(take_reply(Read(text(""))), "left over") << "a single receive takes one transfer only";

  sim->clear_out();
  answer(kSerialWire, {"S/N 0042"});
  EXPECT_EQ(take_reply(printerserial()), "S/N 0042");
  EXPECT_EQ(wire(), kSerialWire);
}

// A reply that came after its query gave up (or that a host never read)
// must not be taken for the answer to the next query.
TEST_F(UsbReplies, UnreadTransfersAreDroppedBeforeEachQuery)
{
  sim->queue_in({0x04, 'Z', 'L'});
  answer(kStatusWire, {"\x20"});
  EXPECT_EQ(printerstatus(), 32);
  sim->queue_in({0x04});
  sim->queue_in({'Z', 'L'});
  answer(kNameWire, {"ZL-420"});
  EXPECT_EQ(take_reply(printername()), "ZL-420");
  sim->queue_in({'o', 'l', 'd'});
  answer(kEndLineWire, {"out" + kEndLine});
  EXPECT_EQ(take_reply(sendcommand_getstring(text("DIR"))), "out");
  EXPECT_EQ(sim->in_queued(), 0u);
  // Read itself takes what is there.
  sim->queue_in({'a', 's', ' ', 'i', 's'});
  EXPECT_EQ(take_reply(Read(text(""))), "as is");
}

TEST_F(UsbReplies, GetstringGathersAcrossTransfers)
{
  answer(kEndLineWire, {"ABC", "ENDL", "INE\r\nXYZ"});
  EXPECT_EQ(take_reply(sendcommand_getstring(text("CMD"))), "ABC");
  EXPECT_EQ(wire(), "CMD\r\n" + kEndLineWire);

  answer(kEndLineWire, {"out", "", "put\r\n", kEndLine});
  EXPECT_EQ(take_reply(sendcommand_getstring(text("CMD"))), "output\r\n");

  // The largest reply that fits, then one that does not: the second fails as
  // soon as the buffer is full, well before any transfer could time out.
  answer(kEndLineWire, {std::string(40000, 'A'), std::string(25526, 'B'), kEndLine});
  EXPECT_EQ(take_reply(sendcommand_getstring(text("CMD"))),
            std::string(40000, 'A') + std::string(25526, 'B'));

  answer(kEndLineWire, {std::string(40000, 'A'), std::string(25535, 'B'), kEndLine});
  const auto start = Clock::now();
  EXPECT_STREQ(sendcommand_getstring(text("CMD")), "Receive Failed\r\n");
  EXPECT_LT(since(start), 5s);
}

TEST_F(UsbReplies, PrinterThatGoesAwayFailsEveryQueryAtOnce)
{
  // Gone in the middle of a reply.
  answer(kEndLineWire, {"AB"});
  std::thread pull([&] {
    std::this_thread::sleep_for(300ms);
    sim->unplug();
  });
  auto start = Clock::now();
  char *mid = sendcommand_getstring(text("CMD"));
  pull.join();
  EXPECT_STREQ(mid, "Receive Failed\r\n");
  EXPECT_LT(since(start), 5s);

  // Gone before the request.
  start = Clock::now();
  EXPECT_EQ(printerstatus(), 'R');
  EXPECT_EQ(printername(), mid) << "the failure text is one constant object";
  EXPECT_EQ(printerserial(), mid);
  EXPECT_EQ(sendcommand_getstring(text("CMD")), mid);
  EXPECT_EQ(Read(text("")), mid);
  EXPECT_LT(since(start), 5s);
  EXPECT_EQ(openportStatus, 1) << "a failed receive leaves the connection open";
}

} // namespace
