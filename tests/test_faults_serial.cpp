// Faults over a serial line (a pty reached through a /dev link): the far
// end hanging up mid-transfer, stalls, signal storms, repeated opens and a
// tty descriptor numbered above 1024.
#include "test_faults_common.h"
#include "zarn.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <future>

using namespace zarn::test;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t k16MiB = 16u << 20;

// A pty whose master end the test drives by hand, so it can hang up the line
// at a chosen moment (the fake printer keeps its slave open, which hides a
// hang-up from the library).
class HangUpLine {
 public:
  HangUpLine()
  {
    static std::atomic<int> counter{0};
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      problem_ = "no pty";
      return;
    }
    name_ = "ttyZH" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    if (symlink(ptsname(master_), ("/dev/" + name_).c_str()) != 0) {
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
  void hang_up()
  {
    if (master_ >= 0)
      close(std::exchange(master_, -1));
  }
  bool open() const { return master_ >= 0; }
  void write_text(const std::string &s)
  {
    ASSERT_EQ(write(master_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  // Reads until `needle` has arrived or `at_least` bytes came; returns all.
  std::string read_until(const std::string &needle, std::size_t at_least = SIZE_MAX)
  {
    std::string got;
    char buf[65536];
    while ((needle.empty() || got.find(needle) == std::string::npos) && got.size() < at_least) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0)
        break;
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0)
        break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
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
  auto far_end = std::async(std::launch::async, [&] {
    line.read_until("OUT \"ENDLINE\"\r\n");
    line.write_text("partial output");
    std::this_thread::sleep_for(100ms);
    line.hang_up();
  });
  EXPECT_EQ(take_reply(sendcommand_getstring(text("DIR"))), "Receive Failed\r\n");
  far_end.get();
  EXPECT_EQ(openportStatus, 1);
}

TEST_F(SerialHangUp, BeforeASingleReplyGivesTheEmptyText)
{
  auto far_end = std::async(std::launch::async, [&] {
    line.read_until("~!T\n\r\r\n");
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

class SerialFaults : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ZARN_REQUIRE_FAKE(printer.problem().empty(), printer.problem());
    ASSERT_EQ(openport(text(printer.port_name())), 1);
  }
  void TearDown() override { closeport(); }
  FakeSerialPrinter printer;
};

TEST_F(SerialFaults, PrinterThatStopsReadingBlocksTheSendUntilItResumes)
{
  std::string block = patterned(4u << 20, 13);
  printer.pause_reading(true);
  std::atomic<bool> returned{false};
  bool stalled = false;
  auto watcher = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(300ms);
    const std::size_t at = printer.received().size();
    std::this_thread::sleep_for(200ms);
    stalled = !returned.load() && printer.received().size() == at;
    printer.pause_reading(false);
  });
  EXPECT_EQ(sendBinaryData(bytes_of(block), static_cast<int>(block.size())), 1);
  returned.store(true);
  watcher.get();
  EXPECT_TRUE(stalled) << "the send did not block while the printer read nothing";
  ASSERT_TRUE(printer.wait_for_bytes(block.size(), 30s));
  EXPECT_TRUE(printer.received() == block);
}

TEST_F(SerialFaults, SignalEveryMillisecondDuringA16MiBSend)
{
  std::string block = patterned(k16MiB, 14);
  int signals = 0;
  {
    SignalStorm storm;
    EXPECT_EQ(sendBinaryData(bytes_of(block), static_cast<int>(block.size())), 1);
    signals = SignalStorm::count();
  }
  EXPECT_GE(signals, 20) << "too few signals landed to prove anything";
  ASSERT_TRUE(printer.wait_for_bytes(block.size(), 60s));
  EXPECT_TRUE(printer.received() == block) << "bytes lost or doubled around EINTR";
}

TEST_F(SerialFaults, SignalEveryMillisecondWhileWaitingForAReply)
{
  printer.on({"OUT \"ENDLINE\"\r\n",
              {{"first ", 120ms}, {"second", 80ms}, {"ENDL", 50ms}, {"INE\r\n", 50ms}}});
  std::string reply;
  {
    SignalStorm storm;
    reply = take_reply(sendcommand_getstring(text("DIR")));
    EXPECT_GE(SignalStorm::count(), 50);
  }
  EXPECT_EQ(reply, "first second");
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

TEST(SerialHighDescriptor, EveryReceivePathWorks)
{
  HighDescriptors high;
  ZARN_REQUIRE_FAKE(high.ok(), high.why());
  FakeSerialPrinter printer;
  ZARN_REQUIRE_FAKE(printer.problem().empty(), printer.problem());
  ASSERT_EQ(openport(text(printer.port_name())), 1);
  ASSERT_GT(tty_device, 1024);

  printer.on({"\033!?\r\n\r\n", {{"\x20"}}});
  EXPECT_EQ(printerstatus(), 32);
  printer.on({"~!T\n\r\r\n", {{"ZP-1"}}});
  EXPECT_EQ(take_reply(printername()), "ZP-1");
  printer.on({"DIR\r\nOUT \"ENDLINE\"\r\n", {{"A"}, {"B", 30ms}, {"ENDLINE\r\nX", 30ms}}});
  EXPECT_EQ(take_reply(sendcommand_getstring(text("DIR"))), "AB");
  closeport();

  // The far end hanging up, seen through the wait on the high descriptor.
  HangUpLine line;
  ASSERT_TRUE(line.problem().empty()) << line.problem();
  ASSERT_EQ(openport(text(line.name())), 1);
  ASSERT_GT(tty_device, 1024);
  auto far_end = std::async(std::launch::async, [&] {
    line.read_until("OUT \"ENDLINE\"\r\n");
    line.write_text("C");
    std::this_thread::sleep_for(100ms);
    line.hang_up();
  });
  EXPECT_EQ(take_reply(sendcommand_getstring(text("DIR"))), "Receive Failed\r\n");
  far_end.get();
  closeport();
}

} // namespace
