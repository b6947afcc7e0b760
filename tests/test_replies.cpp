// SPDX-License-Identifier: MIT
// The queries and Read through the shared library, with its shipped time
// limits: requests on the wire, status bytes, reply ownership, and the
// cases that must end at once rather than after a wait.
#include "fake_links.hpp"
#include "wire.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <poll.h>
#include <string>

using namespace zarn::test;
using Clock = std::chrono::steady_clock;

namespace {

// The library's constant "" as Read gives it with nothing open.
char *empty_constant()
{
  closeport();
  return Read(text(""));
}

using Queries = LinkTest;

INSTANTIATE_TEST_SUITE_P(Links, Queries, ::testing::Values(LinkKind::tcp, LinkKind::serial),
                         link_test_name);

TEST_P(Queries, EachPutsItsExactRequestOnTheWireAndReturnsTheReply)
{
  printer().on({kStatusWire, {{"\x04", 0ms}}});
  EXPECT_EQ(printerstatus(), 4);
  EXPECT_EQ(printer().received(), kStatusWire);

  printer().clear_received();
  printer().on({kNameWire, {{"ZL-420\r\n", 0ms}}});
  EXPECT_EQ(take_reply(printername()), "ZL-420\r\n");
  EXPECT_EQ(printer().received(), kNameWire);

  printer().clear_received();
  printer().on({kSerialWire, {{"S/N 0042", 0ms}}});
  EXPECT_EQ(take_reply(printerserial()), "S/N 0042");
  EXPECT_EQ(printer().received(), kSerialWire);

  printer().clear_received();
  printer().on({kEndLineWire, {{"FILES 3\r\n", 0ms}, {kEndLine, 20ms}}});
  EXPECT_EQ(take_reply(sendcommand_getstring(text("~!F"))), "FILES 3\r\n");
  EXPECT_EQ(printer().received(), "~!F\r\n" + kEndLineWire);
}

// A reply that arrives after its query gave up (or that a host never read)
// must not be taken for the answer to the next query.
TEST_P(Queries, UnreadBytesAreDroppedBeforeEachQuery)
{
  const int fd = link_.descriptor();
  auto stale = [&](const std::string &bytes) {
    printer().send_now(bytes);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1) << "the stale bytes never arrived";
  };
  printer().on({kStatusWire, {{"\x20", 0ms}}});
  printer().on({kNameWire, {{"ZL-420", 0ms}}});
  printer().on({kSerialWire, {{"S/N 0042", 0ms}}});
  printer().on({kEndLineWire, {{"out" + kEndLine, 0ms}}});

  stale("\x04ZL-LATE");
  EXPECT_EQ(printerstatus(), 32);
  stale("\x04");
  EXPECT_EQ(take_reply(printername()), "ZL-420");
  stale("ZL-420");
  EXPECT_EQ(take_reply(printerserial()), "S/N 0042");
  stale("old" + kEndLine);
  EXPECT_EQ(take_reply(sendcommand_getstring(text("DIR"))), "out");
  // Read itself takes what is there.
  stale("as is");
  EXPECT_EQ(take_reply(Read(text(""))), "as is");
}

TEST_P(Queries, StatusByteIsSignExtended)
{
  const std::pair<std::string, int> cases[] = {
      {std::string(1, '\0'), 0}, {"\x20", 32}, {"\x7F", 127}, {"\x80", -128}, {"\xFF", -1},
      {"\x81 and more", -127},
  };
  for (const auto &[reply, expected] : cases) {
    reopen_fresh();
    printer().on({kStatusWire, {{reply, 0ms}}});
    EXPECT_EQ(printerstatus(), expected) << ::testing::PrintToString(reply);
  }
}

TEST_P(Queries, GetstringReturnsTheOutputBeforeTheFirstEndline)
{
  // No output at all: the constant empty text, which nobody releases.
  printer().on({"NOOP\r\n" + kEndLineWire, {{kEndLine, 0ms}}});
  char *none = sendcommand_getstring(text("NOOP"));
  char *constant = empty_constant();
  EXPECT_EQ(none, constant);

  // Output that itself contains ENDLINE CR LF is cut at its first occurrence.
  reopen_fresh();
  printer().on({"ECHO\r\n" + kEndLineWire, {{"A\r\nENDLINE\r\nB\r\n", 0ms}, {kEndLine, 20ms}}});
  EXPECT_EQ(take_reply(sendcommand_getstring(text("ECHO"))), "A\r\n");

  // Commands of any length go out unchanged.
  reopen_fresh();
  const std::string longcmd = "PUTBMP " + std::string(5000, 'q');
  printer().on({kEndLineWire, {{"done" + kEndLine, 0ms}}});
  EXPECT_EQ(take_reply(sendcommand_getstring(text(longcmd))), "done");
  EXPECT_EQ(printer().received(), longcmd + "\r\n" + kEndLineWire);
}

TEST(QueriesWithoutAConnection, ReturnTheirClosedResults)
{
  closeport();
  EXPECT_STREQ(about(), "Linux Shared Library Version V1.00\r\n");
  EXPECT_EQ(about(), about());
  EXPECT_EQ(printerstatus(), 0);
  EXPECT_EQ(printername(), nullptr);
  EXPECT_EQ(printerserial(), nullptr);
  char *constant = empty_constant();
  EXPECT_STREQ(constant, "");
  EXPECT_EQ(sendcommand_getstring(text("~!F")), constant);
  EXPECT_EQ(Read(text("ENDLINE\r\n")), constant);
}

// Tests with the shipped limits: nothing here may wait for a time-out
// except the one test of the 10 s silence.
class TcpReplies : public ::testing::Test {
 protected:
  void SetUp() override
  {
    link_ = open_fake_link(LinkKind::tcp);
    ASSERT_TRUE(link_.opened);
  }
  void TearDown() override { closeport(); }
  FakePrinter &printer() { return *link_.printer; }
  FakeLink link_;
};

TEST_F(TcpReplies, SilenceGivesTheEmptyTextAfterTenSeconds)
{
  const auto start = Clock::now();
  char *reply = Read(text(""));
  const auto waited = since(start);
  EXPECT_EQ(reply, empty_constant());
  EXPECT_GE(waited, 10s);
  EXPECT_LT(waited, 13s);
}

TEST_F(TcpReplies, PrinterHangingUpMidReplyFailsAtOnce)
{
  printer().on({kEndLineWire, {{"ABC", 0ms}, {"ENDL", 30ms}}, true});
  const auto start = Clock::now();
  char *first = sendcommand_getstring(text("CMD"));
  EXPECT_STREQ(first, "Receive Failed\r\n");
  EXPECT_LT(since(start), 2s);

  // The failure text is one constant object, like the empty one.
  ASSERT_EQ(link_.reopen(), 1);
  printer().on({"AGAIN\r\n", {}, true});
  ASSERT_EQ(sendcommand(text("AGAIN")), 1);
  EXPECT_EQ(Read(text(kEndLine)), first);
}

TEST_F(TcpReplies, PrinterHungUpBeforeReplyingGivesTheEmptyConstantAtOnce)
{
  printer().on({"Q\r\n", {}, true});
  ASSERT_EQ(sendcommand(text("Q")), 1);
  const auto start = Clock::now();
  char *reply = Read(text(""));
  EXPECT_LT(since(start), 2s);
  EXPECT_EQ(reply, empty_constant()) << "an empty receive is the constant empty text";
}

TEST_F(TcpReplies, FreeReplyReleasesAllocatedTextsAndKeepsTheConstants)
{
  zarn_free_reply(nullptr);
  char *empty = empty_constant();
  zarn_free_reply(empty);

  ASSERT_EQ(link_.reopen(), 1);
  printer().on({"FAIL\r\n", {}, true});
  ASSERT_EQ(sendcommand(text("FAIL")), 1);
  char *failed = Read(text(kEndLine));
  ASSERT_STREQ(failed, "Receive Failed\r\n");
  zarn_free_reply(failed);

  // Both constants survive being offered for release, and stay the same objects.
  EXPECT_EQ(empty_constant(), empty);
  EXPECT_STREQ(empty, "");
  EXPECT_STREQ(failed, "Receive Failed\r\n");

  // Allocated replies are released (a sanitizer build checks it is done right).
  ASSERT_EQ(link_.reopen(), 1);
  printer().on({kNameWire, {{"NAME", 0ms}}});
  char *name = printername();
  EXPECT_STREQ(name, "NAME");
  zarn_free_reply(name);
}

// Run under valgrind as its own test (valgrind_reply_ownership): every reply
// a host gets is either a constant or released exactly by zarn_free_reply,
// so no block may be left.
TEST(ReplyOwnership, FreeReplyReleasesEveryReplyExactly)
{
  FakeTcpPrinter printer;
  ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
  printer.on({kEndLineWire, {{kEndLine}}});
  // Commands without output: 200 empty replies.
  for (int i = 0; i < 200; ++i) {
    char *reply = sendcommand_getstring(text("CLS"));
    ASSERT_STREQ(reply, "");
    zarn_free_reply(reply);
  }
  // A printer whose output reads like the failure text, and one with text.
  printer.on({kNameWire, {{"Receive Failed\r\n"}}});
  zarn_free_reply(printername());
  printer.on({kSerialWire, {{"S/N 1"}}});
  zarn_free_reply(printerserial());
  closeport();
}

} // namespace
