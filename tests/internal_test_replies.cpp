// SPDX-License-Identifier: MIT
// Read and the queries over TCP and serial with shortened time limits, so
// the gathering, silence and bound cases run in well under a second each.
#include "chunking.hpp"
#include "faults.hpp"
#include "fake_links.hpp"
#include "wire.hpp"
#include "port/limits.hpp"
#include "port/reply.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

using namespace zarn::test;
using zarn::port::kEmptyReply;
using zarn::port::kReceiveFailedReply;
using zarn::port::limits;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kFirstWait = 400ms;
constexpr auto kNextPiece = 400ms;
constexpr auto kGather = 800ms;

// Takes a reply text into a string and releases it as its owner would. An
// empty text must be the constant, every other text an allocated one; the
// failure constant here is a test failure.
std::string take_text(char *reply)
{
  if (reply[0] == '\0') {
    EXPECT_EQ(reply, kEmptyReply) << "an empty reply is the constant";
    return "";
  }
  EXPECT_NE(reply, kReceiveFailedReply);
  if (reply == kReceiveFailedReply)
    return "<constant>" + std::string(reply);
  std::string s(reply);
  delete[] reply;
  return s;
}

class ShortLimits {
 public:
  ShortLimits() : saved_(limits())
  {
    limits().first_byte_wait_ms = static_cast<int>(kFirstWait.count());
    limits().tcp_next_piece_ms = static_cast<int>(kNextPiece.count());
    limits().gather_ms = static_cast<int>(kGather.count());
  }
  ~ShortLimits() { limits() = saved_; }

 private:
  zarn::port::Limits saved_;
};

class Replies : public LinkTest {
 protected:
  // How long silence while gathering takes to end the call.
  std::chrono::milliseconds gather_silence() const { return tcp() ? kNextPiece : kGather; }

  ShortLimits short_limits_;
};

INSTANTIATE_TEST_SUITE_P(Links, Replies, ::testing::Values(LinkKind::tcp, LinkKind::serial),
                         link_test_name);

TEST_P(Replies, SilenceBeforeTheFirstByteGivesTheEmptyConstantAfterTheWait)
{
  for (const char *terminator : {"", "ENDLINE\r\n"}) {
    const auto start = Clock::now();
    EXPECT_EQ(Read(text(terminator)), kEmptyReply);
    EXPECT_GE(since(start), kFirstWait - 20ms);
    EXPECT_LT(since(start), kFirstWait + 1500ms);
  }
}

TEST_P(Replies, EmptyTerminatorTakesOneReceiveOnly)
{
  printer().on({"Q\r\n", {{"FIRST", 0ms}, {"SECOND", 200ms}}});
  ASSERT_EQ(sendcommand(text("Q")), 1);
  EXPECT_EQ(take_text(Read(text(""))), "FIRST");
  // The second piece was never part of the first call; it waits in the line.
  EXPECT_EQ(take_text(Read(text(""))), "SECOND");
}

TEST_P(Replies, FirstByteZeroGivesTheEmptyConstant)
{
  printer().on({"Q\r\n", {{std::string("\0ABC", 4), 0ms}}});
  ASSERT_EQ(sendcommand(text("Q")), 1);
  EXPECT_EQ(Read(text("")), kEmptyReply);
}

TEST_P(Replies, ATerminatorSplitAcrossReceivesIsFound)
{
  printer().on({kEndLineWire, {{"ABC", 0ms}, {"ENDL", 60ms}, {"INE\r\nXYZ", 60ms}}});
  EXPECT_EQ(take_text(sendcommand_getstring(text("CMD"))), "ABC");
  EXPECT_EQ(printer().received(), "CMD\r\n" + kEndLineWire);

  // One byte per receive, the terminator included.
  reopen_fresh();
  std::vector<Chunk> bytes;
  for (char c : "line 1\r\nENDLINE\r\n" + kEndLine)
    bytes.push_back({std::string(1, c), 15ms});
  printer().on({kEndLineWire, bytes});
  EXPECT_EQ(take_text(sendcommand_getstring(text("CMD"))), "line 1\r\n");
}

TEST_P(Replies, AZeroByteHidesALaterTerminatorUntilTheLimit)
{
  // The zero byte may sit in the first block or in a later one.
  const std::vector<std::vector<Chunk>> replies = {
      {{std::string("AB\0ENDLINE\r\n", 12), 0ms}},
      {{"AB", 0ms}, {std::string("C\0D", 3), 40ms}, {kEndLine, 40ms}},
  };
  for (const auto &reply : replies) {
    reopen_fresh();
    printer().on({kEndLineWire, reply});
    const auto start = Clock::now();
    EXPECT_EQ(sendcommand_getstring(text("CMD")), kReceiveFailedReply);
    EXPECT_GE(since(start), gather_silence() - 20ms);
    EXPECT_LT(since(start), gather_silence() + 2s);
  }
}

TEST_P(Replies, TextBeforeAZeroByteStillFindsItsTerminator)
{
  printer().on({kEndLineWire, {{"ok" + kEndLine + std::string("\0tail", 5), 0ms}}});
  EXPECT_EQ(take_text(sendcommand_getstring(text("CMD"))), "ok");
}

TEST_P(Replies, SilenceWhileGatheringFails)
{
  printer().on({kEndLineWire, {{"partial", 0ms}}});
  const auto start = Clock::now();
  EXPECT_EQ(sendcommand_getstring(text("CMD")), kReceiveFailedReply);
  EXPECT_GE(since(start), gather_silence() - 20ms);
  EXPECT_LT(since(start), gather_silence() + 2s);
}

TEST_P(Replies, TcpWaitsForEachPieceAndTheWholeGatheringIsBounded)
{
  // A byte every 150 ms for 1.5 s, and never the terminator.
  const std::vector<Chunk> trickle(10, Chunk{"x", 150ms});
  if (tcp()) {
    limits().gather_ms = 10000;
    printer().on({"T\r\n", trickle});
    ASSERT_EQ(sendcommand(text("T")), 1);
    const auto start = Clock::now();
    EXPECT_EQ(Read(text(kEndLine)), kReceiveFailedReply);
    EXPECT_GE(since(start), 1500ms + kNextPiece - 200ms) << "each piece restarts the wait";
    limits().gather_ms = static_cast<int>(kGather.count());
    reopen_fresh();
  }
  printer().on({"U\r\n", trickle});
  ASSERT_EQ(sendcommand(text("U")), 1);
  const auto start = Clock::now();
  EXPECT_EQ(Read(text(kEndLine)), kReceiveFailedReply);
  EXPECT_GE(since(start), kGather - 20ms);
  EXPECT_LT(since(start), kGather + 900ms) << "the bound covers the whole gathering";
}

TEST_P(Replies, AFullAccumulationBufferFailsAndNothingRunsPastIt)
{
  const std::size_t size = zarn::port::kReplyBufferSize;
  // Exactly fits: the terminator ends on the buffer's last byte.
  printer().on({kEndLineWire, {{std::string(size - kEndLine.size(), 'A') + kEndLine, 0ms}}});
  EXPECT_EQ(take_text(sendcommand_getstring(text("CMD"))),
            std::string(size - kEndLine.size(), 'A'));

  // One byte more and the terminator no longer fits.
  reopen_fresh();
  printer().on({kEndLineWire, {{std::string(size - kEndLine.size() + 1, 'A') + kEndLine, 0ms}}});
  EXPECT_EQ(sendcommand_getstring(text("CMD")), kReceiveFailedReply);

  // A full buffer ends the call at once, without waiting for more.
  reopen_fresh();
  limits().tcp_next_piece_ms = limits().gather_ms = 10000;
  printer().on({kEndLineWire, {{std::string(size, 'B'), 0ms}}});
  const auto start = Clock::now();
  EXPECT_EQ(sendcommand_getstring(text("CMD")), kReceiveFailedReply);
  EXPECT_LT(since(start), 5s);

  // Zero bytes fill the buffer too.
  reopen_fresh();
  printer().on({kEndLineWire, {{"Z" + std::string(size, '\0'), 0ms}}});
  EXPECT_EQ(sendcommand_getstring(text("CMD")), kReceiveFailedReply);

  // A single receive never takes more than one buffer. (Over serial the
  // unread rest would block the fake's writes on a full pty.)
  if (!tcp())
    return;
  reopen_fresh();
  const std::string big(size + 5000, 'C');
  printer().on({"Q\r\n", {{big, 0ms}}});
  ASSERT_EQ(sendcommand(text("Q")), 1);
  const std::string got = take_text(Read(text("")));
  EXPECT_FALSE(got.empty());
  EXPECT_LE(got.size(), size);
  EXPECT_EQ(got, big.substr(0, got.size()));
}

TEST_P(Replies, StatusOfSilenceIsZero)
{
  // Silence gives the empty constant, whose first byte is 0.
  EXPECT_EQ(printerstatus(), 0);
  EXPECT_EQ(printer().received(), kStatusWire);
}

// Moves the library's descriptor to 1100, beyond what select() could watch.
void move_descriptor_high(int &fd)
{
  constexpr int kHigh = 1100;
  static_assert(kHigh > FD_SETSIZE);
  rlimit rl{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  if (rl.rlim_cur <= kHigh) {
    rl.rlim_cur = kHigh + 1;
    if (rl.rlim_max < rl.rlim_cur)
      rl.rlim_max = rl.rlim_cur;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0) << "cannot allow descriptor " << kHigh;
  }
  ASSERT_EQ(dup2(fd, kHigh), kHigh);
  close(fd);
  fd = kHigh;
}

TEST_P(Replies, DescriptorsAboveFdSetsizeWork)
{
  move_descriptor_high(tcp() ? net_socket : tty_device);
  if (HasFatalFailure())
    return;
  printer().on({kNameWire, {{"NAME", 0ms}}});
  printer().on({kEndLineWire, {{"out", 0ms}, {kEndLine, 30ms}}});
  EXPECT_EQ(take_text(printername()), "NAME");
  EXPECT_EQ(take_text(sendcommand_getstring(text("CMD"))), "out");

  const auto start = Clock::now();
  EXPECT_EQ(Read(text("")), kEmptyReply);
  EXPECT_GE(since(start), kFirstWait - 20ms);

  EXPECT_EQ(closeport(), 1);
  EXPECT_EQ(fcntl(1100, F_GETFD), -1) << "closeport closes the moved descriptor";
}

TEST_P(Replies, SignalsNeitherCutNorStretchTheWaits)
{
  {
    // A signal every 50 ms for two seconds.
    SignalStorm storm(50ms, 40);
    auto start = Clock::now();
    EXPECT_EQ(Read(text("")), kEmptyReply);
    EXPECT_GE(since(start), kFirstWait - 20ms) << "a signal ended the wait early";
    EXPECT_LT(since(start), kFirstWait + 1200ms) << "a signal restarted the whole wait";

    printer().on({kEndLineWire, {{"late", 250ms}, {kEndLine, 250ms}}});
    EXPECT_EQ(take_text(sendcommand_getstring(text("CMD"))), "late");

    printer().on({"STALL\r\n", {{"half", 0ms}}});
    ASSERT_EQ(sendcommand(text("STALL")), 1);
    start = Clock::now();
    EXPECT_EQ(Read(text(kEndLine)), kReceiveFailedReply);
    EXPECT_GE(since(start), gather_silence() - 20ms);
    EXPECT_LT(since(start), gather_silence() + 1200ms);
  }
}

// Replies of random text cut into random chunks: the result must be the text
// before the first terminator, read up to the first zero byte; no visible
// terminator fails.
TEST_P(Replies, RandomRepliesInRandomChunksFollowTheTextRule)
{
  const int seeds = tcp() ? 250 : 120;
  // Serial cannot hang up: a missing terminator ends by the gathering bound.
  limits().gather_ms = 150;
  int found = 0;
  for (int seed = 1; seed <= seeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    const bool single = seed % 6 == 0; // empty terminator: one receive of one chunk
    const std::string terminator =
        single ? "" : random_text(rng, "ab", std::uniform_int_distribution<std::size_t>(1, 7)(rng));
    std::string reply = random_text(rng, "aab", rng() % 120);
    if (rng() % 4 != 0)
      reply += terminator + random_text(rng, "ab\r\n", rng() % 40);
    if (rng() % 5 == 0)
      reply.insert(rng() % (reply.size() + 1), 1, '\0');

    if (reply.empty())
      reply = "a"; // the serial fake cannot hang up: silence would end the call as ""

    // The model: text up to the first zero byte; with a terminator, the part
    // of it before the first occurrence, or a failure without one.
    const std::string visible = reply.substr(0, reply.find('\0'));
    const std::size_t at = single ? visible.size() : visible.find(terminator);

    reopen_fresh();
    if (::testing::Test::HasFatalFailure() || ::testing::Test::IsSkipped())
      return;
    const std::vector<Chunk> chunks =
        single ? std::vector<Chunk>{{reply, 0ms}}
               : random_chunks(reply, rng, 1 + rng() % 24, std::chrono::milliseconds(rng() % 3));
    // Over TCP the printer hangs up when done, so a missing terminator fails at once.
    printer().on({"R\r\n", chunks, tcp()});
    ASSERT_EQ(sendcommand(text("R")), 1);
    char *got = Read(text(terminator));
    if (at == std::string::npos) {
      EXPECT_EQ(got, kReceiveFailedReply)
          << "reply " << ::testing::PrintToString(reply) << " terminator " << terminator;
    } else {
      ++found;
      EXPECT_EQ(take_text(got), visible.substr(0, at))
          << "reply " << ::testing::PrintToString(reply) << " terminator " << terminator;
    }
  }
  EXPECT_GT(found, seeds / 2) << "the generator should mostly produce findable replies";
}

TEST(RepliesWithoutAConnection, ReadAndQueriesTouchNothing)
{
  ShortLimits short_limits;
  closeport();
  EXPECT_EQ(Read(text("")), kEmptyReply);
  EXPECT_EQ(Read(text("ENDLINE\r\n")), kEmptyReply);
  EXPECT_EQ(sendcommand_getstring(text("CMD")), kEmptyReply);
  EXPECT_EQ(printerstatus(), 0);
  EXPECT_EQ(printername(), nullptr);
  EXPECT_EQ(printerserial(), nullptr);

  // Marked open with no kind flag: nothing to read from.
  openportStatus = 1;
  EXPECT_EQ(Read(text("")), kEmptyReply);
  EXPECT_EQ(printerstatus(), 0);
  EXPECT_EQ(printername(), kEmptyReply);
  openportStatus = 0;
}

// A descriptor that polls readable but whose receive fails: a directory.
class BrokenReceive : public ::testing::Test {
 protected:
  void SetUp() override
  {
    closeport();
    dir_ = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir_, 0);
  }
  void TearDown() override
  {
    openportStatus = openSerialPortResult = openEthernetPortResult = 0;
    tty_device = net_socket = -1;
    close(dir_);
  }
  ShortLimits short_limits_;
  int dir_ = -1;
};

TEST_F(BrokenReceive, FailedFirstSerialReadIsEmpty)
{
  tty_device = dir_;
  openportStatus = openSerialPortResult = 1;
  EXPECT_EQ(Read(text("")), kEmptyReply);
  EXPECT_EQ(Read(text("ENDLINE\r\n")), kEmptyReply);
  EXPECT_EQ(printerstatus(), 0);
}

TEST_F(BrokenReceive, FailedFirstTcpReceiveIsReceiveFailed)
{
  net_socket = dir_;
  openportStatus = openEthernetPortResult = 1;
  EXPECT_EQ(Read(text("")), kReceiveFailedReply);
  EXPECT_EQ(Read(text("ENDLINE\r\n")), kReceiveFailedReply);
  EXPECT_EQ(printerstatus(), 'R');
}

} // namespace
