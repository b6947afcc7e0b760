// SPDX-License-Identifier: MIT
// Faults over TCP and serial (a pty reached through a /dev link): printers
// that stall, signals during long transfers and reply waits, descriptors
// numbered above 1024 on every kind; then what only one kind can show:
// printers that hang up at awkward moments, refused connections, and
// repeated opens.
#include "common/handle.hpp"
#include "faults.hpp"
#include "fake_links.hpp"
#include "loopback_peer.hpp"
#include "wire.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <future>

using namespace zarn::test;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t k16MiB = 16u << 20;

using Faults = LinkTest;

INSTANTIATE_TEST_SUITE_P(Links, Faults, ::testing::Values(LinkKind::tcp, LinkKind::serial),
                         link_test_name);

TEST_P(Faults, PrinterThatStopsReadingBlocksTheSendUntilItResumes)
{
  // A pty holds less than a socket pair: 4 MiB stall it as surely.
  std::string block = patterned(tcp() ? k16MiB : 4u << 20, 3);
  printer().pause_reading(true);
  std::atomic<bool> returned{false};
  bool stalled = false;
  auto watcher = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(300ms);
    const std::size_t at = printer().received().size();
    std::this_thread::sleep_for(200ms);
    stalled = !returned.load() && printer().received().size() == at;
    printer().pause_reading(false);
  });
  EXPECT_EQ(sendBinaryData(bytes_of(block), static_cast<int>(block.size())), 1);
  returned.store(true);
  watcher.get();
  EXPECT_TRUE(stalled) << "the send did not block while the printer read nothing";
  ASSERT_TRUE(printer().wait_for_bytes(block.size(), 30s));
  EXPECT_TRUE(printer().received() == block);
}

TEST_P(Faults, SignalEveryMillisecondDuringA16MiBSend)
{
  std::string block = patterned(k16MiB, 4);
  int signals = 0;
  {
    // Slow the printer down now and then so the send spends its time
    // blocked in the kernel, where the signals interrupt it.
    auto throttle = std::async(std::launch::async, [&] {
      for (int i = 0; i < 5; ++i) {
        printer().pause_reading(true);
        std::this_thread::sleep_for(20ms);
        printer().pause_reading(false);
        std::this_thread::sleep_for(5ms);
      }
    });
    SignalStorm storm;
    EXPECT_EQ(sendBinaryData(bytes_of(block), static_cast<int>(block.size())), 1);
    signals = SignalStorm::count();
    throttle.get();
  }
  EXPECT_GE(signals, 20) << "too few signals landed to prove anything";
  ASSERT_TRUE(printer().wait_for_bytes(block.size(), 60s));
  EXPECT_TRUE(printer().received() == block) << "bytes lost or doubled around EINTR";
}

TEST_P(Faults, SignalEveryMillisecondWhileWaitingForAReply)
{
  printer().on(
      {kEndLineWire, {{"first ", 120ms}, {"second", 80ms}, {"ENDL", 50ms}, {"INE\r\n", 50ms}}});
  std::string reply;
  {
    SignalStorm storm;
    reply = take_reply(sendcommand_getstring(text("DIR")));
    EXPECT_GE(SignalStorm::count(), 50);
  }
  EXPECT_EQ(reply, "first second");
}

// Every receive path with the connection's descriptor above 1024, where
// an FD_SET would write past the set.
TEST_P(Faults, EveryReceivePathWorksAboveDescriptor1024)
{
  // The first link's descriptors go first, so no low number is left free.
  closeport();
  link_ = {};
  HighDescriptors high;
  ZARN_REQUIRE_FAKE(high.ok(), high.why());
  reopen_fresh();
  ASSERT_GT(link_.descriptor(), 1024);

  printer().on({kStatusWire, {{"\x20"}}});
  EXPECT_EQ(printerstatus(), 32);
  printer().on({kNameWire, {{"ZP-1"}}});
  EXPECT_EQ(take_reply(printername()), "ZP-1");
  printer().on({"DIR\r\n" + kEndLineWire, {{"A"}, {"B", 30ms}, {"ENDLINE\r\nX", 30ms}}});
  EXPECT_EQ(take_reply(sendcommand_getstring(text("DIR"))), "AB");
  closeport();
}

// ---- TCP ----

class TcpFaults : public ::testing::Test {
 protected:
  void SetUp() override
  {
    fds_before_ = open_descriptor_count();
    ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
  }
  void TearDown() override
  {
    closeport();
    printer.hang_up();
    EXPECT_EQ(settled_descriptor_count(fds_before_), fds_before_);
  }
  FakeTcpPrinter printer;
  int fds_before_ = 0;
};

TEST_F(TcpFaults, HangUpMidSendFailsTheSendKeepsStateAndDeliversAPrefix)
{
  std::string block = patterned(k16MiB, 1);
  // Once 1 MiB is in, stop reading and hang up with data unread: the kernel
  // answers the sender with a reset.
  auto saboteur = std::async(std::launch::async, [&] {
    printer.wait_for_bytes(1u << 20, 10s);
    printer.pause_reading(true);
    std::this_thread::sleep_for(50ms);
    printer.hang_up();
  });
  EXPECT_EQ(sendBinaryData(bytes_of(block), static_cast<int>(block.size())), 0);
  saboteur.get();
  EXPECT_EQ(openportStatus, 1) << "a failed send leaves the connection open";
  EXPECT_EQ(openEthernetPortResult, 1);
  const std::string got = printer.received();
  EXPECT_GE(got.size(), 1u << 20);
  EXPECT_LT(got.size(), block.size());
  EXPECT_TRUE(block.compare(0, got.size(), got) == 0) << "what arrived is not a prefix";
  EXPECT_EQ(sendcommand(text("CLS")), 0) << "later sends on the dead socket fail quietly";
  EXPECT_EQ(closeport(), 1);

  // The library is usable again at once.
  printer.pause_reading(false);
  printer.clear_received();
  ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
  EXPECT_EQ(sendcommand(text("CLS")), 1);
  EXPECT_TRUE(printer.wait_for_text("CLS\r\n"));
}

TEST_F(TcpFaults, HangUpMidReply)
{
  // Single receive: the piece that arrived before the hang-up.
  printer.on({kNameWire, {{"PRIN"}}, true});
  EXPECT_EQ(take_reply(printername()), "PRIN");
  ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);

  // Gathering: output without its ENDLINE, then the hang-up. The call ends
  // at once with the failure text rather than spinning on end-of-stream.
  printer.on({kEndLineWire, {{"partial out"}, {"put", 30ms}}, true});
  EXPECT_EQ(take_reply(sendcommand_getstring(text("DIR"))), "Receive Failed\r\n");
  EXPECT_EQ(openportStatus, 1);
  ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);

  // A status request answered by a bare hang-up: an empty reply, status 0.
  printer.on({kStatusWire, {}, true});
  EXPECT_EQ(printerstatus(), 0);
}

TEST_F(TcpFaults, HangUpMidDownload)
{
  const std::string content = patterned(8u << 20, 2);
  TempFile file(content);
  ASSERT_FALSE(file.path().empty());
  const int fds = open_descriptor_count();
  auto saboteur = std::async(std::launch::async, [&] {
    printer.wait_for_bytes(1u << 20, 10s);
    printer.pause_reading(true);
    std::this_thread::sleep_for(50ms);
    printer.hang_up();
  });
  // Send results are not the caller's business: the file was read, so 1.
  EXPECT_EQ(downloadpcx(text(file.path()), text("BIG.BIN")), 1);
  saboteur.get();
  // The printer's end of the stream is gone too; the file must be as well.
  EXPECT_EQ(settled_descriptor_count(fds - 1), fds - 1) << "a descriptor outlived the download";
  const std::string header = "DOWNLOAD F,\"BIG.BIN\"," + std::to_string(content.size()) + ",";
  const std::string got = printer.received();
  ASSERT_GE(got.size(), header.size());
  EXPECT_EQ(got.substr(0, header.size()), header);
  EXPECT_TRUE(content.compare(0, got.size() - header.size(), got, header.size()) == 0);

  // A new connection downloads the same file whole.
  printer.pause_reading(false);
  printer.clear_received();
  ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
  EXPECT_EQ(downloadpcx(text(file.path()), text("BIG.BIN")), 1);
  const std::string whole = header + content + "\r\n\r\n";
  ASSERT_TRUE(printer.wait_for_bytes(whole.size(), 20s));
  EXPECT_TRUE(printer.received() == whole);
}

TEST(TcpConnect, RefusedConnectionLeavesNothingOpenAndLeaksNothing)
{
  // A bound socket that never listens: every connect to it is refused.
  const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(getsockname(blocker, reinterpret_cast<sockaddr *>(&addr), &len), 0);
  const int port = ntohs(addr.sin_port);

  const int fds = open_descriptor_count();
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(openethernet(text("127.0.0.1"), port), 0);
    EXPECT_EQ(openportStatus, 0);
    EXPECT_EQ(openEthernetPortResult, 0);
  }
  EXPECT_EQ(closeport(), 0);
  EXPECT_EQ(open_descriptor_count(), fds);
  EXPECT_EQ(sendcommand(text("CLS")), 0);
  EXPECT_EQ(take_reply(Read(text(""))), "");
  close(blocker);
}

TEST(TcpCycles, AThousandOpenCloseCyclesKeepDescriptorsAndHeapFlat)
{
  LoopbackPeer printer;
  const int fds = open_descriptor_count();
  // Warm-up cycles first, doing what the measured ones do, so one-time
  // allocations (the first locale switch loads the locale) are not growth.
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
    ASSERT_EQ(sendcommand(text("CLS")), 1);
    ASSERT_EQ(closeport(), 1);
  }
  const long heap = heap_in_use();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1) << "cycle " << i;
    ASSERT_EQ(sendcommand(text("CLS")), 1);
    ASSERT_EQ(closeport(), 1);
  }
  // Under 16 bytes a cycle: a leaked object per cycle would show as more.
  EXPECT_LE(heap_in_use() - heap, 16384) << "heap grew over 1000 cycles";
  EXPECT_EQ(settled_descriptor_count(fds), fds);
  for (int i = 0; i < 200 && printer.connections() < 1200; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(printer.connections(), 1200);
  EXPECT_EQ(printer.bytes(), 5u * 1200);
}

// Hang-ups seen through the wait on a descriptor above 1024: a gathered
// reply, then a single one.
TEST(TcpHighDescriptor, HangUpsAreSeenThroughTheWait)
{
  HighDescriptors high;
  ZARN_REQUIRE_FAKE(high.ok(), high.why());
  FakeTcpPrinter printer;
  ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
  ASSERT_GT(net_socket, 1024);
  printer.on({"BYE\r\n" + kEndLineWire, {{"C"}}, true});
  EXPECT_EQ(take_reply(sendcommand_getstring(text("BYE"))), "Receive Failed\r\n");
  ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
  ASSERT_GT(net_socket, 1024);
  printer.hang_up();
  EXPECT_EQ(take_reply(Read(text(""))), "");
  closeport();
}

// ---- serial ----

// A pty whose master end the test drives by hand, so it can hang up the line
// at a chosen moment (the fake printer keeps its slave open, which hides a
// hang-up from the library).
class HangUpLine {
 public:
  HangUpLine()
  {
    static std::atomic<int> counter{0};
    master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_ || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) {
      problem_ = "no pty";
      return;
    }
    name_ = "ttyZH" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    if (symlink(ptsname(master_.get()), ("/dev/" + name_).c_str()) != 0) {
      problem_ = "cannot create /dev/" + name_ + "; the serial tests need root";
      name_.clear();
    }
  }
  ~HangUpLine()
  {
    hang_up();
    if (!name_.empty())
      unlink(("/dev/" + name_).c_str());
  }
  HangUpLine(const HangUpLine &) = delete;
  HangUpLine &operator=(const HangUpLine &) = delete;

  const std::string &problem() const { return problem_; }
  const std::string &name() const { return name_; }
  void hang_up() { master_.reset(); }
  bool open() const { return static_cast<bool>(master_); }
  void write_text(const std::string &s)
  {
    ASSERT_EQ(write(master_.get(), s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  // On another thread: waits for request, answers with a piece of a reply,
  // and hangs up soon after.
  std::future<void> answer_then_hang_up(const std::string &request, const std::string &piece)
  {
    return std::async(std::launch::async, [this, request, piece] {
      read_until(request);
      write_text(piece);
      std::this_thread::sleep_for(100ms);
      hang_up();
    });
  }
  // Reads until `needle` has arrived or `at_least` bytes came; returns all.
  std::string read_until(const std::string &needle, std::size_t at_least = SIZE_MAX)
  {
    std::string got;
    char buf[65536];
    while ((needle.empty() || got.find(needle) == std::string::npos) && got.size() < at_least) {
      pollfd p{master_.get(), POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0)
        break;
      const ssize_t n = read(master_.get(), buf, sizeof buf);
      if (n <= 0)
        break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  zarn::UniqueFd master_;
  std::string name_;
  std::string problem_;
};

class SerialHangUp : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ZARN_REQUIRE_FAKE(line.problem().empty(), line.problem());
    // Counted without the pty master, which every test here closes.
    fds_before_ = open_descriptor_count() - 1;
    ASSERT_EQ(openport(text(line.name())), 1);
  }
  void TearDown() override
  {
    if (!line.problem().empty())
      return;
    // The line is dead, yet closing still releases the descriptor.
    EXPECT_FALSE(line.open()) << "the test never hung up";
    EXPECT_EQ(closeport(), 1);
    EXPECT_EQ(open_descriptor_count(), fds_before_);
  }
  HangUpLine line;
  int fds_before_ = 0;
};

TEST_F(SerialHangUp, MidSendFailsTheSendAndKeepsState)
{
  std::string block = patterned(k16MiB, 11);
  std::string got;
  auto far_end = std::async(std::launch::async, [&] {
    got = line.read_until("", 1u << 20);
    line.hang_up();
  });
  EXPECT_EQ(sendBinaryData(bytes_of(block), static_cast<int>(block.size())), 0);
  far_end.get();
  EXPECT_EQ(openportStatus, 1);
  EXPECT_EQ(openSerialPortResult, 1);
  EXPECT_TRUE(block.compare(0, got.size(), got) == 0) << "what arrived is not a prefix";
  EXPECT_EQ(sendcommand(text("CLS")), 0);
}

TEST_F(SerialHangUp, MidGatheredReplyGivesTheFailureText)
{
  auto far_end = line.answer_then_hang_up(kEndLineWire, "partial output");
  EXPECT_EQ(take_reply(sendcommand_getstring(text("DIR"))), "Receive Failed\r\n");
  far_end.get();
  EXPECT_EQ(openportStatus, 1);
}

TEST_F(SerialHangUp, BeforeASingleReplyGivesTheEmptyText)
{
  auto far_end = std::async(std::launch::async, [&] {
    line.read_until(kNameWire);
    line.hang_up();
  });
  // A failed first serial read reads as silence: the empty text, at once.
  EXPECT_EQ(take_reply(printername()), "");
  far_end.get();
  EXPECT_EQ(printerstatus(), 0);
}

TEST_F(SerialHangUp, MidDownloadStillReportsTheFileRead)
{
  const std::string content = patterned(4u << 20, 12);
  TempFile file(content);
  ASSERT_FALSE(file.path().empty());
  std::string got;
  auto far_end = std::async(std::launch::async, [&] {
    got = line.read_until("", 256u << 10);
    line.hang_up();
  });
  EXPECT_EQ(downloadpcx(text(file.path()), text("BIG.BIN")), 1);
  far_end.get();
  const std::string header = "DOWNLOAD F,\"BIG.BIN\"," + std::to_string(content.size()) + ",";
  ASSERT_GE(got.size(), header.size());
  EXPECT_EQ(got.substr(0, header.size()), header);
  EXPECT_TRUE(content.compare(0, got.size() - header.size(), got, header.size()) == 0);
}

TEST(SerialCycles, AThousandOpenCloseCyclesKeepDescriptorsAndHeapFlat)
{
  FakeSerialPrinter printer;
  ZARN_REQUIRE_FAKE(printer.problem().empty(), printer.problem());
  const int fds = open_descriptor_count();
  // Warm-up cycles first, doing what the measured ones do, so one-time
  // allocations (the first locale switch loads the locale) are not growth.
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(openport(text(printer.port_name())), 1);
    ASSERT_EQ(sendcommand(text("CLS")), 1);
    ASSERT_EQ(closeport(), 1);
  }
  const long heap = heap_in_use();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(openport(text(printer.port_name())), 1) << "cycle " << i;
    ASSERT_EQ(sendcommand(text("CLS")), 1);
    ASSERT_EQ(closeport(), 1);
  }
  // Under 16 bytes a cycle: a leaked object per cycle would show as more.
  EXPECT_LE(heap_in_use() - heap, 16384) << "heap grew over 1000 cycles";
  EXPECT_EQ(open_descriptor_count(), fds);
  // Every open flushes the line, so only the last command is sure to arrive.
  EXPECT_TRUE(printer.wait_for_text("CLS\r\n"));
}

// The far end hanging up, seen through the wait on a descriptor above 1024.
TEST(SerialHighDescriptor, HangUpIsSeenThroughTheWait)
{
  HighDescriptors high;
  ZARN_REQUIRE_FAKE(high.ok(), high.why());
  HangUpLine line;
  ZARN_REQUIRE_FAKE(line.problem().empty(), line.problem());
  ASSERT_EQ(openport(text(line.name())), 1);
  ASSERT_GT(tty_device, 1024);
  auto far_end = line.answer_then_hang_up(kEndLineWire, "C");
  EXPECT_EQ(take_reply(sendcommand_getstring(text("DIR"))), "Receive Failed\r\n");
  far_end.get();
  closeport();
}

} // namespace
