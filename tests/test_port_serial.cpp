// The serial connection through a real pty reached by a /dev link.
#include "fake_printer.h"
#include "zarn.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

using namespace zarn::test;

namespace {

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

TEST_F(SerialPort, CloseKeepsTheDescriptorNumberButClosesIt)
{
  const int fd = tty_device;
  EXPECT_EQ(closeport(), 1);
  EXPECT_EQ(openportStatus + openSerialPortResult, 0);
  EXPECT_EQ(tty_device, fd);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(closeport(), 0);
}

TEST_F(SerialPort, BytesGoOutUnchanged)
{
  // Raw output: no LF to CR LF mapping, no lost zero bytes.
  EXPECT_EQ(sendcommand(text("PRINT 1,1")), 1);
  unsigned char block[] = {'\n', 0, '\r', 0xFF, 'A'};
  EXPECT_EQ(sendBinaryData(block, sizeof block), 1);
  const std::string expected = std::string("PRINT 1,1\r\n") + std::string("\n\0\r\xFF"
                                                                          "A",
                                                                          5);
  ASSERT_TRUE(printer.wait_for_bytes(expected.size()));
  EXPECT_EQ(printer.received(), expected);
}

TEST_F(SerialPort, ZeroLengthBinarySendReportsZero)
{
  unsigned char byte = 'x';
  EXPECT_EQ(sendBinaryData(&byte, 0), 0);
  EXPECT_EQ(openportStatus, 1);
}

TEST_F(SerialPort, LongSendArrivesWhole)
{
  std::string block(1 << 20, '\0');
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>(i * 7 + (i >> 11));
  EXPECT_EQ(sendBinaryData(reinterpret_cast<unsigned char *>(block.data()),
                           static_cast<int>(block.size())),
            1);
  ASSERT_TRUE(printer.wait_for_bytes(block.size(), 20s));
  EXPECT_TRUE(printer.received() == block);
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
