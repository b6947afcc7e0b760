// SPDX-License-Identifier: MIT
// The connection itself over TCP (loopback) and serial (a pty reached by a
// /dev link): opening, closing, and sending, the same on every kind; then
// what belongs to one kind only: addresses and hang-ups on TCP, the line
// settings on serial.
#include "fake_links.hpp"
#include "wire.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <clocale>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace zarn::test;

namespace {

using Port = LinkTest;

INSTANTIATE_TEST_SUITE_P(Links, Port, ::testing::Values(LinkKind::tcp, LinkKind::serial),
                         link_test_name);

TEST_P(Port, CloseKeepsTheDescriptorNumberButClosesIt)
{
  EXPECT_EQ(openportStatus, 1);
  const int fd = link_.descriptor();
  EXPECT_EQ(closeport(), 1);
  EXPECT_EQ(openportStatus + openSerialPortResult + openEthernetPortResult, 0);
  EXPECT_EQ(link_.descriptor(), fd);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor must really be closed";
  EXPECT_EQ(closeport(), 0);
}

TEST_P(Port, CommandsAreFramedWithCrLfExactly)
{
  EXPECT_EQ(sendcommand(text("SIZE 100 mm,60 mm")), 1);
  EXPECT_EQ(sendcommand(text("")), 1);
  EXPECT_EQ(sendcommand(text("ALREADY\r\n")), 1);
  EXPECT_EQ(sendcommand(text("\"quoted\" \xC3\xA9")), 1);
  EXPECT_EQ(sendcommand(text("PRINT 1,1")), 1);
  expect_wire(printer(),
              "SIZE 100 mm,60 mm\r\n\r\nALREADY\r\n\r\n\"quoted\" \xC3\xA9\r\nPRINT 1,1\r\n");
}

TEST_P(Port, BinaryDataGoesOutUnchanged)
{
  // Raw output on serial too: no LF to CR LF mapping, no lost zero bytes.
  unsigned char bytes[] = {0, 1, 2, '\r', '\n', 0xFF, 0, '\n', 'A'};
  unsigned char nothing = 0x55;
  // A zero-length send is made: TCP reports it sent, a tty write of nothing 0.
  EXPECT_EQ(sendBinaryData(&nothing, 0), tcp() ? 1 : 0);
  EXPECT_EQ(openportStatus, 1);
  EXPECT_EQ(sendBinaryData(bytes, sizeof bytes), 1);
  EXPECT_EQ(sendBinaryData(bytes, -1), 0);
  expect_wire(printer(), std::string(reinterpret_cast<char *>(bytes), sizeof bytes));
}

TEST_P(Port, LongSendArrivesWhole)
{
  std::string block(tcp() ? 8u << 20 : 1u << 20, '\0');
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>((i * 131) ^ (i >> 9));
  EXPECT_EQ(sendBinaryData(reinterpret_cast<unsigned char *>(block.data()),
                           static_cast<int>(block.size())),
            1);
  expect_wire(printer(), block, 30s);
}

// ---- TCP ----

class TcpPort : public ::testing::Test {
 protected:
  void TearDown() override { closeport(); }
  bool open_fake() { return openethernet(text("127.0.0.1"), printer.port()) == 1; }
  FakeTcpPrinter printer;
};

// A port nobody listens on: bind an ephemeral port, then close it.
std::uint16_t refused_port()
{
  FakeTcpPrinter gone;
  return gone.port();
}

TEST_F(TcpPort, OpenSetsStateAndCloseClearsItKeepingTheDescriptor)
{
  ASSERT_TRUE(open_fake());
  EXPECT_EQ(openportStatus, 1);
  EXPECT_EQ(openEthernetPortResult, 1);
  EXPECT_EQ(openUsbPortResult, 0);
  EXPECT_EQ(openSerialPortResult, 0);
  EXPECT_GE(net_socket, 0);
  EXPECT_EQ(servaddr.sin_family, AF_INET);
  EXPECT_EQ(ntohs(servaddr.sin_port), printer.port());
  EXPECT_EQ(servaddr.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

  const int fd = net_socket;
  EXPECT_EQ(closeport(), 1);
  EXPECT_EQ(openportStatus, 0);
  EXPECT_EQ(openEthernetPortResult, 0);
  EXPECT_EQ(net_socket, fd);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the socket must really be closed";
  EXPECT_EQ(closeport(), 0);
  EXPECT_EQ(openDriverPortResult, 0);
}

// Small commands must go out at once: with Nagle's algorithm each one after
// the first waits for the printer's delayed acknowledgement (40 ms here).
TEST_F(TcpPort, SocketSendsWithoutDelay)
{
  ASSERT_TRUE(open_fake());
  int on = 0;
  socklen_t len = sizeof on;
  ASSERT_EQ(getsockopt(net_socket, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
  EXPECT_NE(on, 0) << "TCP_NODELAY is not set";
}

TEST_F(TcpPort, ReopeningClosesThePreviousConnection)
{
  ASSERT_TRUE(open_fake());
  const int first = net_socket;
  const std::string first_socket = descriptor_target(first);
  ASSERT_TRUE(open_fake());
  EXPECT_NE(descriptor_target(first), first_socket);
  EXPECT_EQ(openportStatus, 1);
  // The fake printer shares this process and holds one descriptor per
  // accepted connection, so counts are taken once it has caught up.
  auto settled_count = [&](int connections) {
    for (int i = 0; i < 500 && printer.accepted() < connections; ++i)
      usleep(10000);
    usleep(50000);
    return open_descriptor_count();
  };
  const int before = settled_count(2);
  for (int i = 0; i < 100; ++i)
    ASSERT_TRUE(open_fake());
  EXPECT_EQ(settled_count(102), before);
}

TEST_F(TcpPort, AddressesAreNumericIPv4Only)
{
  EXPECT_EQ(openethernet(text("localhost"), printer.port()), 0);
  EXPECT_EQ(openethernet(text("::1"), printer.port()), 0);
  EXPECT_EQ(openethernet(text("127.0.0.1 "), printer.port()), 0);
  EXPECT_EQ(openportStatus, 0);
  EXPECT_EQ(openEthernetPortResult, 0);
}

TEST_F(TcpPort, FailedOpensLeakNoSocket)
{
  const std::uint16_t dead = refused_port();
  const int before = open_descriptor_count();
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(openethernet(text("127.0.0.1"), dead), 0);
    EXPECT_EQ(openethernet(text("printer.local"), 9100), 0);
  }
  EXPECT_EQ(open_descriptor_count(), before);
  EXPECT_EQ(openportStatus, 0);
}

TEST_F(TcpPort, PortAbove65535KeepsItsLow16Bits)
{
  ASSERT_EQ(openethernet(text("127.0.0.1"), 65536 + printer.port()), 1);
  EXPECT_EQ(ntohs(servaddr.sin_port), printer.port());
  ASSERT_TRUE(sendcommand(text("CLS")));
  EXPECT_TRUE(printer.wait_for_text("CLS\r\n"));
}

TEST_F(TcpPort, PrinterThatHungUpGivesZeroNotSigpipe)
{
  // Default SIGPIPE disposition: a send without MSG_NOSIGNAL would kill us.
  std::signal(SIGPIPE, SIG_DFL);
  ASSERT_TRUE(open_fake());
  ASSERT_EQ(sendcommand(text("HELLO")), 1);
  ASSERT_TRUE(printer.wait_for_text("HELLO"));
  EXPECT_TRUE(hang_up_until_a_send_fails(printer));
  EXPECT_EQ(sendcommand(text("AGAIN")), 0);
  EXPECT_EQ(openportStatus, 1) << "a failed send leaves the connection open";
}

TEST(NoConnection, SendsReturnZeroButStillSetTheLocale)
{
  ASSERT_NE(std::getenv("LOCPATH"), nullptr) << "tests run with a private en_US.utf8";
  closeport();
  unsigned char byte = 'x';
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(sendcommand(text("CLS")), 0);
  EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "en_US.utf8");
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(sendBinaryData(&byte, 1), 0);
  EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "en_US.utf8");
  std::setlocale(LC_ALL, "C");
}

TEST(NoConnection, OpenportRejectsUnknownNamesAndCreatesNoState)
{
  closeport();
  for (const char *name : {"usb", "Usb", "USB0", "/dev/ttyS0", "", "printer", "TTY0"})
    EXPECT_EQ(openport(const_cast<char *>(name)), 0) << name;
  EXPECT_EQ(openportStatus, 0);
  EXPECT_EQ(ctx, nullptr) << "a context made for a non-USB open is destroyed at once";
}

TEST(NoConnection, SerialOpenFailureAfterTcpLeavesNothingOpen)
{
  FakeTcpPrinter printer;
  ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
  const int fd = net_socket;
  EXPECT_EQ(openport(text("ttyZT-does-not-exist")), 0);
  EXPECT_EQ(openportStatus, 0);
  EXPECT_EQ(openEthernetPortResult, 0);
  EXPECT_EQ(tty_device, -1);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

// ---- serial ----

class SerialPort : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ZARN_REQUIRE_FAKE(printer.problem().empty(), printer.problem());
    ASSERT_EQ(openport(text(printer.port_name())), 1);
  }
  void TearDown() override { closeport(); }

  // The line settings as the other side of the pty sees them.
  termios line() const
  {
    termios t{};
    const int fd = open(printer.slave_path().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    return t;
  }

  FakeSerialPrinter printer;
};

TEST_F(SerialPort, OpenSetsStateAndTheLine)
{
  EXPECT_EQ(openportStatus, 1);
  EXPECT_EQ(openSerialPortResult, 1);
  EXPECT_EQ(openUsbPortResult + openEthernetPortResult, 0);
  EXPECT_GE(tty_device, 0);

  const termios t = line();
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & (OPOST | ONLCR | OCRNL), 0u);
  EXPECT_EQ(t.c_iflag & (INLCR | ICRNL | IXON | IXOFF | IXANY | INPCK), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 150);
}

// A pty keeps stop bits and input flags but always reports CS8 without
// parity, so character size and parity bits cannot be observed here.
TEST_F(SerialPort, ParityAndStopBits)
{
  EXPECT_EQ(set_Parity(7, 2, 'E'), 1);
  termios t = line();
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_iflag & INPCK);

  EXPECT_EQ(set_Parity(8, 1, 'o'), 1);
  t = line();
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_iflag & INPCK);

  // Space parity clears CSTOPB, but the stop-bit step runs after it.
  EXPECT_EQ(set_Parity(8, 2, 'S'), 1);
  t = line();
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_iflag & INPCK);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200)) << "parity keeps the speed";

  EXPECT_EQ(set_Parity(8, 1, 'N'), 1);
  t = line();
  EXPECT_FALSE(t.c_iflag & INPCK);
}

TEST_F(SerialPort, UnsupportedSettingsChangeNothing)
{
  ASSERT_EQ(set_Parity(7, 2, 'E'), 1);
  const termios before = line();
  EXPECT_EQ(set_Parity(8, 1, 'x'), 0);
  EXPECT_EQ(set_Parity(9, 1, 'N'), 0);
  EXPECT_EQ(set_Parity(8, 3, 'N'), 0);
  const termios after = line();
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
}

TEST_F(SerialPort, SpeedsFromTheTableOnly)
{
  set_Speed(9600);
  EXPECT_EQ(cfgetospeed(&static_cast<const termios &>(line())), static_cast<speed_t>(B9600));
  set_Speed(57600); // not in the table
  EXPECT_EQ(cfgetospeed(&static_cast<const termios &>(line())), static_cast<speed_t>(B9600));

  // The tables are the host's to change; set_Speed reads them on every call.
  const int saved_name = name_arr[7], saved_code = speed_arr[7];
  name_arr[7] = 57600;
  speed_arr[7] = B57600;
  set_Speed(57600);
  name_arr[7] = saved_name;
  speed_arr[7] = saved_code;
  EXPECT_EQ(cfgetospeed(&static_cast<const termios &>(line())), static_cast<speed_t>(B57600));
}

TEST_F(SerialPort, OpeningTcpAfterSerialClosesTheTty)
{
  FakeTcpPrinter tcp;
  const int fd = tty_device;
  ASSERT_EQ(descriptor_target(fd), printer.slave_path());
  ASSERT_EQ(openethernet(text("127.0.0.1"), tcp.port()), 1);
  EXPECT_EQ(openSerialPortResult, 0);
  // The number may be reused by the new socket, but not for the tty.
  EXPECT_NE(descriptor_target(fd), printer.slave_path());
}

TEST(SerialRepeat, ManyOpensLeakNothing)
{
  FakeSerialPrinter printer;
  ZARN_REQUIRE_FAKE(printer.problem().empty(), printer.problem());
  const int before = open_descriptor_count();
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(openport(text(printer.port_name())), 1);
    EXPECT_EQ(ctx, nullptr) << "no USB context kept for a serial connection";
  }
  EXPECT_EQ(closeport(), 1);
  EXPECT_EQ(open_descriptor_count(), before);
}

// A /dev/tty... link that leads to something other than a terminal is not a
// printer line: nothing stays open and the file is never written.
TEST(SerialOpen, ANodeThatIsNotATerminalIsRefused)
{
  closeport();
  char file[] = "/tmp/zarn-notes-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "my notes\n", 9), 9);
  close(fd);
  const std::string name = "ttyZF" + std::to_string(getpid());
  const std::string link = "/dev/" + name;
  const bool linked = symlink(file, link.c_str()) == 0;
  ZARN_REQUIRE_FAKE(linked, "cannot create " + link + "; the serial tests need root");

  const int before = open_descriptor_count();
  EXPECT_EQ(openport(text(name)), 0);
  EXPECT_EQ(openportStatus, 0);
  EXPECT_EQ(openSerialPortResult, 0);
  EXPECT_EQ(open_descriptor_count(), before) << "the file was left open";
  EXPECT_EQ(clearbuffer(), 0);
  EXPECT_EQ(sendcommand(text("CLS")), 0);
  unlink(link.c_str());

  char buf[32] = {};
  const int check = open(file, O_RDONLY | O_CLOEXEC);
  ASSERT_GE(check, 0);
  EXPECT_EQ(read(check, buf, sizeof buf), 9);
  close(check);
  unlink(file);
  EXPECT_STREQ(buf, "my notes\n");
}

// After closeport, tty_device still names the old number; once the host
// reuses that number for a terminal of its own, the line settings must not
// reach it.
TEST(SerialSettings, AfterCloseAReusedDescriptorIsLeftAlone)
{
  FakeSerialPrinter printer;
  ZARN_REQUIRE_FAKE(printer.problem().empty(), printer.problem());
  FakeSerialPrinter hosts;
  ZARN_REQUIRE_FAKE(hosts.problem().empty(), hosts.problem());
  ASSERT_EQ(openport(text(printer.port_name())), 1);
  const int number = tty_device;
  ASSERT_EQ(closeport(), 1);
  EXPECT_EQ(tty_device, number) << "tty_device keeps its last value";

  const int mine = open(hosts.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(mine, 0);
  if (mine != number) {
    ASSERT_EQ(dup2(mine, number), number);
    close(mine);
  }
  termios before{};
  ASSERT_EQ(tcgetattr(number, &before), 0);

  EXPECT_EQ(set_Parity(7, 2, 'E'), 0);
  set_Speed(9600);
  termios after{};
  ASSERT_EQ(tcgetattr(number, &after), 0);
  close(number);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));

  // With a TCP connection open there is no line either.
  FakeTcpPrinter tcp;
  ASSERT_EQ(openethernet(text("127.0.0.1"), tcp.port()), 1);
  EXPECT_EQ(set_Parity(8, 1, 'N'), 0);
  closeport();
}

TEST(SerialSettings, WithoutATtyNothingHappens)
{
  closeport();
  const int saved = tty_device;
  tty_device = -1;
  set_Speed(9600);
  EXPECT_EQ(set_Parity(8, 1, 'N'), 0);
  tty_device = saved;
}

} // namespace
