// Connection lifecycle and sending over a real loopback TCP connection.
#include "fake_printer.h"
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
#include <unistd.h>

using namespace zarn::test;

namespace {

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

TEST_F(TcpPort, CommandsAreFramedWithCrLfExactly)
{
  ASSERT_TRUE(open_fake());
  EXPECT_EQ(sendcommand(text("SIZE 100 mm,60 mm")), 1);
  EXPECT_EQ(sendcommand(text("")), 1);
  EXPECT_EQ(sendcommand(text("ALREADY\r\n")), 1);
  EXPECT_EQ(sendcommand(text("\"quoted\" \xC3\xA9")), 1);
  const std::string expected = "SIZE 100 mm,60 mm\r\n\r\nALREADY\r\n\r\n\"quoted\" \xC3\xA9\r\n";
  ASSERT_TRUE(printer.wait_for_bytes(expected.size()));
  EXPECT_EQ(printer.received(), expected);
}

TEST_F(TcpPort, BinaryDataGoesOutUnchangedZeroLengthIncluded)
{
  ASSERT_TRUE(open_fake());
  unsigned char bytes[] = {0, 1, 2, '\r', '\n', 0xFF, 0};
  unsigned char nothing = 0x55;
  EXPECT_EQ(sendBinaryData(&nothing, 0), 1);
  EXPECT_EQ(sendBinaryData(bytes, sizeof bytes), 1);
  ASSERT_TRUE(printer.wait_for_bytes(sizeof bytes));
  EXPECT_EQ(printer.received(), std::string(reinterpret_cast<char *>(bytes), sizeof bytes));
  EXPECT_EQ(sendBinaryData(bytes, -1), 0);
}

TEST_F(TcpPort, LongSendArrivesWhole)
{
  ASSERT_TRUE(open_fake());
  std::string block(8 << 20, '\0');
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>((i * 131) ^ (i >> 9));
  EXPECT_EQ(sendBinaryData(reinterpret_cast<unsigned char *>(block.data()),
                           static_cast<int>(block.size())),
            1);
  ASSERT_TRUE(printer.wait_for_bytes(block.size(), 20s));
  EXPECT_TRUE(printer.received() == block);
}

TEST_F(TcpPort, PrinterThatHungUpGivesZeroNotSigpipe)
{
  // Default SIGPIPE disposition: a send without MSG_NOSIGNAL would kill us.
  std::signal(SIGPIPE, SIG_DFL);
  ASSERT_TRUE(open_fake());
  ASSERT_EQ(sendcommand(text("HELLO")), 1);
  ASSERT_TRUE(printer.wait_for_text("HELLO"));
  printer.hang_up();
  std::string chunk(64 << 10, 'x');
  int result = 1;
  for (int i = 0; i < 200 && result == 1; ++i) {
    result = sendBinaryData(reinterpret_cast<unsigned char *>(chunk.data()),
                            static_cast<int>(chunk.size()));
    usleep(1000);
  }
  EXPECT_EQ(result, 0);
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

} // namespace
