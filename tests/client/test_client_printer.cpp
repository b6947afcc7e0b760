// SPDX-License-Identifier: MIT
// libzarn-client against fake printers on loopback TCP and a serial pty:
// silence learnt within the chosen wait, late replies never taken for the
// next answer, a hung-up peer, the one-connection guard, and uploads that
// are refused before anything is sent.
#include "fake_links.hpp"
#include "fake_printer.hpp"
#include "temp_dir.hpp"
#include "zarn-client.h"
#include "zarn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zarn::test::FakePrinter;
using zarn::test::FakeSerialPrinter;
using zarn::test::FakeTcpPrinter;
using zarn::test::LinkKind;
using zarn::test::Script;
using Clock = std::chrono::steady_clock;

constexpr char kStatusRequest[] = "\x1b!?\r\n\r\n";

class ClientLink : public ::testing::TestWithParam<LinkKind> {
 protected:
  void SetUp() override
  {
    closeport();
    std::string address;
    if (GetParam() == LinkKind::tcp) {
      auto tcp = std::make_unique<FakeTcpPrinter>();
      address = "tcp://127.0.0.1:" + std::to_string(tcp->port());
      fake_ = std::move(tcp);
    } else {
      auto serial = std::make_unique<FakeSerialPrinter>();
      ZARN_REQUIRE_FAKE(serial->problem().empty(), serial->problem());
      address = "serial:" + serial->port_name();
      fake_ = std::move(serial);
    }
    ASSERT_EQ(zarn_client_open(address.c_str(), &printer_), ZARN_CLIENT_OK)
        << zarn_client_last_error();
  }
  void TearDown() override { zarn_client_close(printer_); }

  zarn_client_printer_status status()
  {
    zarn_client_printer_status s{};
    EXPECT_EQ(zarn_client_status_get(printer_, &s), ZARN_CLIENT_OK) << zarn_client_last_error();
    return s;
  }

  std::unique_ptr<FakePrinter> fake_;
  zarn_client_printer *printer_ = nullptr;
};

TEST_P(ClientLink, SilenceIsLearntWithinTheChosenWait)
{
  for (const int wait_ms : {2000, 300}) {
    if (wait_ms != 2000) {
      ASSERT_EQ(zarn_client_set_reply_timeout(printer_, wait_ms), ZARN_CLIENT_OK);
    }
    const auto start = Clock::now();
    const zarn_client_printer_status s = status();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_EQ(s.reply, ZARN_CLIENT_REPLY_NONE);
    EXPECT_GE(took.count(), wait_ms - 10);
    EXPECT_LT(took.count(), wait_ms + 1000) << "the library's own 10 s wait was taken";
    std::printf("silent printer over %s: no reply after %lld ms (timeout %d ms)\n",
                GetParam() == LinkKind::tcp ? "TCP" : "serial",
                static_cast<long long>(took.count()), wait_ms);
    char *text = nullptr;
    zarn_client_reply kind = ZARN_CLIENT_REPLY_ANSWERED;
    EXPECT_EQ(zarn_client_name(printer_, &kind, &text), ZARN_CLIENT_ERR_REPLY);
    EXPECT_EQ(kind, ZARN_CLIENT_REPLY_NONE);
    EXPECT_EQ(text, nullptr);
  }
  zarn_client_outcome o = ZARN_CLIENT_OUTCOME_PRINTED;
  zarn_client_printer_status last{};
  last.reply = ZARN_CLIENT_REPLY_ANSWERED;
  ASSERT_EQ(zarn_client_wait(printer_, 5000, 50, &last, &o), ZARN_CLIENT_OK);
  EXPECT_EQ(o, ZARN_CLIENT_OUTCOME_NO_REPLY);
  EXPECT_EQ(last.reply, ZARN_CLIENT_REPLY_NONE);
}

TEST_P(ClientLink, ALateReplyIsNotTakenForTheNextAnswer)
{
  ASSERT_EQ(zarn_client_set_reply_timeout(printer_, 200), ZARN_CLIENT_OK);
  EXPECT_EQ(status().reply, ZARN_CLIENT_REPLY_NONE);
  fake_->send_now("\x04"); // the paper-out answer, too late
  std::this_thread::sleep_for(200ms);
  fake_->on(Script{kStatusRequest, {{std::string(1, '\0')}}});
  ASSERT_EQ(zarn_client_set_reply_timeout(printer_, 2000), ZARN_CLIENT_OK);
  const zarn_client_printer_status s = status();
  EXPECT_EQ(s.reply, ZARN_CLIENT_REPLY_ANSWERED);
  EXPECT_EQ(s.bits, 0) << "the late paper-out byte was taken for the answer";
}

TEST_P(ClientLink, TheByte0x52IsItsConditionsNotAFailedReceive)
{
  fake_->on(Script{kStatusRequest, {{"R"}}});
  const zarn_client_printer_status s = status();
  EXPECT_EQ(s.reply, ZARN_CLIENT_REPLY_ANSWERED);
  EXPECT_EQ(s.bits, 0x52);
  char *words = zarn_client_status_words(&s);
  EXPECT_STREQ(words, "paper jam, cover open, paused");
  zarn_client_free(words);
}

TEST_P(ClientLink, UploadNamesThatDoNotFitAreRefusedBeforeAnythingIsSent)
{
  // A folder of its own: the TCP and serial cases run as processes side by side.
  const zarn::test::TempDir dir;
  const std::string path = (dir.path / "blob.bin").string();
  std::ofstream(path, std::ios::binary) << std::string(5000, 'x');
  const std::string long_name(90, 'N');
  int calls = 0;
  const auto progress = [](size_t, size_t, void *ctx) { ++*static_cast<int *>(ctx); };
  for (const zarn_client_progress p :
       {static_cast<zarn_client_progress>(nullptr), static_cast<zarn_client_progress>(progress)}) {
    EXPECT_EQ(zarn_client_upload(printer_, path.c_str(), long_name.c_str(), p, &calls),
              ZARN_CLIENT_ERR_NAME);
    EXPECT_NE(std::string(zarn_client_last_error()).find("too long"), std::string::npos)
        << zarn_client_last_error();
    EXPECT_EQ(zarn_client_upload(printer_, path.c_str(), "A\"B", p, &calls), ZARN_CLIENT_ERR_NAME);
    EXPECT_EQ(zarn_client_upload(printer_, ::testing::TempDir().c_str(), "DIR", p, &calls),
              ZARN_CLIENT_ERR_FILE);
    EXPECT_NE(std::string(zarn_client_last_error()).find("folder"), std::string::npos);
  }
  // One byte after all the refusals shows that none of them sent anything.
  ASSERT_EQ(zarn_client_send_binary(printer_, "!", 1, nullptr, nullptr), ZARN_CLIENT_OK);
  ASSERT_TRUE(fake_->wait_for_bytes(1));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(fake_->received(), "!");
  EXPECT_EQ(calls, 0);

  ASSERT_EQ(zarn_client_upload(printer_, path.c_str(), "BLOB.BIN", progress, &calls),
            ZARN_CLIENT_OK);
  EXPECT_GT(calls, 1);
  EXPECT_TRUE(fake_->wait_for_text("DOWNLOAD F,\"BLOB.BIN\",5000," + std::string(5000, 'x')));
}

INSTANTIATE_TEST_SUITE_P(Links, ClientLink, ::testing::Values(LinkKind::tcp, LinkKind::serial),
                         zarn::test::link_test_name);

TEST(ClientTcp, APeerThatHangsUpIsDisconnected)
{
  closeport();
  FakeTcpPrinter fake;
  const std::string address = "tcp://127.0.0.1:" + std::to_string(fake.port());
  zarn_client_printer *p = nullptr;
  ASSERT_EQ(zarn_client_open(address.c_str(), &p), ZARN_CLIENT_OK);
  ASSERT_TRUE(fake.wait_for_bytes(0));
  fake.on(Script{kStatusRequest, {}, true});
  zarn_client_printer_status s{};
  const auto start = Clock::now();
  ASSERT_EQ(zarn_client_status_get(p, &s), ZARN_CLIENT_OK);
  EXPECT_EQ(s.reply, ZARN_CLIENT_REPLY_DISCONNECTED);
  EXPECT_LT(Clock::now() - start, 1500ms);
  zarn_client_close(p);
}

TEST(ClientGuard, OneConnectionPerProcessAndAZarnHConnectionIsLeftAlone)
{
  closeport();
  FakeTcpPrinter fake;
  const std::string address = "tcp://127.0.0.1:" + std::to_string(fake.port());
  zarn_client_printer *first = nullptr, *second = nullptr;
  ASSERT_EQ(zarn_client_open(address.c_str(), &first), ZARN_CLIENT_OK);
  EXPECT_EQ(zarn_client_open(address.c_str(), &second), ZARN_CLIENT_ERR_BUSY);
  EXPECT_EQ(second, nullptr);
  zarn_client_close(first);

  // A connection a host opened through zarn.h is refused, and stays open.
  ASSERT_EQ(openethernet(const_cast<char *>("127.0.0.1"), fake.port()), 1);
  EXPECT_EQ(zarn_client_open(address.c_str(), &second), ZARN_CLIENT_ERR_BUSY);
  EXPECT_NE(std::string(zarn_client_last_error()).find("openport or openethernet"),
            std::string::npos);
  EXPECT_EQ(openportStatus, 1);
  fake.clear_received();
  ASSERT_EQ(sendcommand(const_cast<char *>("STILL")), 1);
  EXPECT_TRUE(fake.wait_for_text("STILL\r\n"));
  ASSERT_EQ(closeport(), 1);

  // A handle whose connection was closed from outside says so.
  ASSERT_EQ(zarn_client_open(address.c_str(), &first), ZARN_CLIENT_OK);
  closeport();
  EXPECT_EQ(zarn_client_send(first, "CLS"), ZARN_CLIENT_ERR_CLOSED);
  zarn_client_close(first);
  ASSERT_EQ(zarn_client_open(address.c_str(), &first), ZARN_CLIENT_OK);
  zarn_client_close(first);
}

TEST(ClientReplies, EveryReplyTextCanBeReleased)
{
  zarn_client_free_reply(nullptr);
  closeport();
  FakeTcpPrinter fake;
  ASSERT_EQ(openethernet(const_cast<char *>("127.0.0.1"), fake.port()), 1);
  fake.on(Script{"~!T", {{"MODEL\r\n"}}});
  zarn_client_free_reply(printername());
  fake.on(Script{"OUT \"ENDLINE\"", {{"ENDLINE\r\n"}}});
  zarn_client_free_reply(sendcommand_getstring(const_cast<char *>("X"))); // allocated, empty
  closeport();
  zarn_client_free_reply(sendcommand_getstring(const_cast<char *>("X"))); // the constant
}

} // namespace
