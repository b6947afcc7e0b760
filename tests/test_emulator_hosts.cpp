// SPDX-License-Identifier: MIT
// Hosts that misbehave cannot stop the emulator: one that does not read its
// answers, one that says nothing, many that wait in line, and a stop signal
// that arrives while answers are stuck.
#include "fake_printer.hpp" // ZARN_REQUIRE_FAKE
#include "tcp_client.hpp"
#include "test_emulator_program.hpp"
#include "test_emulator_util.hpp"
#include "zarn.h"

#include "common/handle.hpp"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace zarn::emu::test {
namespace {

using namespace std::chrono_literals;
using zarn::UniqueFd;
using zarn::test::connect_loopback;
using zarn::test::receive_for;
using zarn::test::send_all;

// About 15 MB of answers to 1.3 KB of commands: more than any socket or
// tty buffer holds, so a host that does not read leaves them stuck.
std::string flood()
{
  std::string s = "@1 = \"" + std::string(60000, 'x') + "\"\r\n";
  std::string out = "OUT @1";
  for (int i = 0; i < 15; ++i)
    out += ";@1";
  for (int i = 0; i < 16; ++i)
    s += out + "\r\n";
  return s;
}

class EmulatorHosts : public EmulatorProgramTest {
 protected:
  // A serial host's end of the emulator's line, raw, as root sees it.
  UniqueFd open_line(const std::string &name)
  {
    UniqueFd fd(::open(("/dev/" + name).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios tio{};
    if (fd && ::tcgetattr(fd.get(), &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(fd.get(), TCSANOW, &tio);
    }
    return fd;
  }
  static std::string line_name() { return "ttyZEMH" + std::to_string(::getpid()); }
};

TEST_F(EmulatorHosts, HostThatDoesNotReadIsDroppedAndTheNextIsServed)
{
  auto emu = start_tcp({"--unread-timeout", "0.3"});
  UniqueFd silent(connect_loopback(port_, 4096));
  ASSERT_TRUE(silent);
  ASSERT_TRUE(send_all(silent.get(), flood()));
  UniqueFd next(connect_loopback(port_));
  ASSERT_TRUE(send_all(next.get(), kStatusQuery));
  EXPECT_EQ(receive_for(next.get(), 1, 5s), std::string(1, '\0')) << emu->log();
  EXPECT_NE(emu->log().find("host read none of its answers for 0.3 s, connection closed"),
            std::string::npos)
      << emu->log();
  // The longest answer was cut where the printer stops holding answers.
  EXPECT_NE(emu->log().find("answer cut to"), std::string::npos) << emu->log();
}

TEST_F(EmulatorHosts, IdleHostIsDroppedAndTheWaitingOneServed)
{
  auto emu = start_tcp({"--idle-timeout", "0.3"});
  UniqueFd idle(connect_loopback(port_));
  ASSERT_TRUE(idle);
  UniqueFd next(connect_loopback(port_));
  ASSERT_TRUE(send_all(next.get(), "OUT \"served\"\r\n"));
  EXPECT_EQ(receive_for(next.get(), 8, 5s), "served\r\n") << emu->log();
  EXPECT_NE(emu->log().find("host idle for 0.3 s, connection closed"), std::string::npos)
      << emu->log();
  EXPECT_EQ(receive_for(idle.get(), 1, 1s), "") << "the idle host's connection is closed";
}

TEST_F(EmulatorHosts, HostsWaitingInLineAreNotTurnedAway)
{
  auto emu = start_tcp({});
  UniqueFd first(connect_loopback(port_));
  ASSERT_TRUE(first);
  // More hosts than a small backlog holds: each connection completes at
  // once (a dropped attempt would be retried only after a second).
  std::vector<UniqueFd> waiting;
  for (int i = 0; i < 40; ++i) {
    waiting.emplace_back(connect_loopback(port_, 0, true));
    ASSERT_TRUE(waiting.back());
  }
  const auto until = std::chrono::steady_clock::now() + 500ms;
  for (auto &fd : waiting) {
    pollfd p{fd.get(), POLLOUT, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    ASSERT_EQ(::poll(&p, 1, std::max<int>(0, static_cast<int>(left.count()))), 1)
        << "a waiting connection was not accepted into the backlog";
    int error = 0;
    socklen_t len = sizeof error;
    ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len);
    ASSERT_EQ(error, 0);
  }
  // Once the first host leaves, every one of them is served in turn.
  for (std::size_t i = 0; i < waiting.size(); ++i)
    ASSERT_TRUE(send_all(waiting[i].get(), "OUT \"" + std::to_string(i) + "\"\r\n"));
  first.reset();
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    // A blocking read from here on: the emulator serves them in accept order.
    ::fcntl(waiting[i].get(), F_SETFL, 0);
    const std::string want = std::to_string(i) + "\r\n";
    EXPECT_EQ(receive_for(waiting[i].get(), want.size(), 5s), want) << emu->log();
    waiting[i].reset();
  }
}

TEST_F(EmulatorHosts, StopSignalEndsTheEmulatorWhileAnswersAreStuck)
{
  {
    auto emu = start_tcp({});
    UniqueFd host(connect_loopback(port_, 4096));
    ASSERT_TRUE(send_all(host.get(), flood()));
    std::this_thread::sleep_for(300ms); // the emulator is stuck on the answers now
    emu->signal(SIGTERM);
    EXPECT_EQ(emu->wait(3s), 0) << "TCP: SIGTERM did not stop the emulator\n" << emu->log();
  }
  {
    ZARN_REQUIRE_FAKE(::geteuid() == 0, "not root: cannot link the emulator's pty under /dev");
    const std::string name = line_name();
    auto emu = start({"--serial", name});
    ASSERT_TRUE(emu->wait_for("linked as")) << emu->log();
    UniqueFd host = open_line(name);
    ASSERT_TRUE(host);
    const std::string bytes = flood();
    ASSERT_EQ(::write(host.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    std::this_thread::sleep_for(300ms);
    emu->signal(SIGINT);
    EXPECT_EQ(emu->wait(3s), 0) << "serial: SIGINT did not stop the emulator\n" << emu->log();
  }
  {
    // Over USB the emulator waits for its host program: a stop signal ends
    // both.
    auto emu = start({"--usb", "--", "sleep", "30"});
    ASSERT_TRUE(emu->wait_for("running sleep")) << emu->log();
    emu->signal(SIGTERM);
    EXPECT_EQ(emu->wait(3s), 128 + SIGTERM) << "USB: SIGTERM did not stop the emulator\n"
                                            << emu->log();
  }
}

TEST_F(EmulatorHosts, SerialHostThatDoesNotReadIsDroppedThenAnswered)
{
  ZARN_REQUIRE_FAKE(::geteuid() == 0, "not root: cannot link the emulator's pty under /dev");
  const std::string name = line_name();
  auto emu = start({"--serial", name, "--unread-timeout", "0.3"});
  ASSERT_TRUE(emu->wait_for("linked as")) << emu->log();
  UniqueFd host = open_line(name);
  ASSERT_TRUE(host);
  const std::string bytes = flood();
  ASSERT_EQ(::write(host.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_TRUE(emu->wait_for("host read none of its answers for 0.3 s, dropped")) << emu->log();
  // The line is quiet again: a new query gets just its answer.
  ::tcflush(host.get(), TCIFLUSH);
  ASSERT_EQ(::write(host.get(), "OUT \"again\"\r\n", 13), 13);
  EXPECT_EQ(receive_for(host.get(), 7, 5s), "again\r\n") << emu->log();
}

// Run by the next test as the emulator's USB host (hence disabled here).
TEST(EmulatorUsbHostNotReading, DISABLED_FloodsThenAsksTheStatus)
{
  ASSERT_EQ(openport(const_cast<char *>("USB")), 1);
  std::string bytes = flood();
  ASSERT_EQ(sendBinaryData(reinterpret_cast<unsigned char *>(bytes.data()),
                           static_cast<int>(bytes.size())),
            1);
  // Longer than the emulator's unread limit: its stuck answers are gone.
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(printerstatus(), 0);
  closeport();
}

TEST_F(EmulatorHosts, UsbHostThatDoesNotReadHasItsAnswersDropped)
{
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  auto emu =
      start({"--unread-timeout", "0.3", "--usb", "--", self,
             "--gtest_filter=EmulatorUsbHostNotReading.*", "--gtest_also_run_disabled_tests"});
  const int status = emu->wait(30s);
  ZARN_REQUIRE_FAKE(status == 0 || emu->log().find("USB:") == std::string::npos,
                    "umockdev testbed not available: " + emu->log());
  EXPECT_EQ(status, 0) << emu->log();
  EXPECT_NE(emu->log().find("host read none of its answers for 0.3 s, dropped"), std::string::npos)
      << emu->log();
}

} // namespace
} // namespace zarn::emu::test
