// SPDX-License-Identifier: MIT
// zarn::Printer in-process against the emulator (TCP and a serial pty) and
// against fake printers that stay silent, hang up or reset, with a short
// reply timeout so that silence costs a fraction of a second.
#include "cli_test_util.hpp"
#include "common/protocol.hpp"
#include "loopback.hpp"
#include "zarn.hpp"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>

#include <bit>

namespace zarn::cli::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = 300ms;

Timing timing() { return {kWait, 20ms}; }

class PrinterOnEmulator : public ::testing::Test {
 protected:
  void SetUp() override
  {
    emu = Emulator::tcp(dir.path);
    ZARN_REQUIRE_FAKE(emu != nullptr, "the emulator did not start");
  }
  Printer open() { return Printer::tcp("127.0.0.1", emu->port(), timing()); }

  TempDir dir;
  std::unique_ptr<Emulator> emu;
};

TEST(Address, ReadsEachFormAndSaysWhatIsWrong)
{
  EXPECT_EQ(Address::parse("USB").kind, Address::Kind::usb);
  const Address s = Address::parse("serial:/dev/ttyS1?baud=9600&parity=even&data=7&stop=2");
  EXPECT_EQ(s.kind, Address::Kind::serial);
  EXPECT_EQ(s.device, "ttyS1");
  EXPECT_EQ(s.settings, (SerialSettings{9600, 'E', 7, 2}));
  EXPECT_EQ(Address::parse("serial:ttyUSB0").settings, SerialSettings{});
  const Address t = Address::parse("tcp://printer.local");
  EXPECT_EQ(t.host, "printer.local");
  EXPECT_EQ(t.port, 9100);
  EXPECT_EQ(Address::parse("tcp://10.1.2.3:6101").port, 6101);
  for (const Address &a : {s, t, Address::parse("usb")})
    EXPECT_EQ(Address::parse(a.text()), a) << a.text();

  const std::pair<const char *, const char *> bad[] = {
      {"", "use usb"},
      {"serial:USB0", "beginning with tty"},
      {"serial:ttyUSB0?baud=12345", "baud must be"},
      {"serial:ttyUSB0?speed=9600", "unknown serial setting 'speed'"},
      {"serial:ttyUSB0?baud", "KEY=VALUE"},
      {"serial:ttyUSB0?parity=mark", "parity must be"},
      {"tcp://", "expected tcp://HOST"},
      {"tcp://host:0", "port must be"},
      {"tcp://[::1]:9100", "IPv6"},
  };
  for (const auto &[text, why] : bad) {
    try {
      Address::parse(text);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const AddressError &e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("'" + std::string(text) + "'"), std::string::npos);
    }
  }
}

TEST(StatusDecoding, EveryByteGivesItsConditionsMostPressingFirst)
{
  EXPECT_EQ(Status::from_byte(0).text(), "ready");
  EXPECT_EQ(Status::from_byte(0x05).text(), "paper out, head open");
  EXPECT_EQ(Status::from_byte(0x52).text(), "paper jam, cover open, paused");
  EXPECT_EQ(Status::from_byte(0xFF).text(),
            "paper out, ribbon out, paper jam, head open, cover open, temperature out of range, "
            "paused, printing");
  EXPECT_EQ(Status{}.text(), "no reply");
  EXPECT_EQ((Status{Status::Reply::receive_failed, 0}).text(), "receive failed");
  for (int b = 0; b < 256; ++b) {
    const Status s = Status::from_byte(static_cast<std::uint8_t>(b));
    int bits = 0;
    for (Condition c : s.conditions())
      bits |= static_cast<int>(c);
    EXPECT_EQ(bits, b);
    EXPECT_EQ(s.conditions().size(), static_cast<std::size_t>(std::popcount(unsigned(b))));
    EXPECT_EQ(s.needs_attention(), (b & ~0x20) != 0) << b;
    const WaitOutcome o = outcome_of(s);
    // A fault decides the outcome even while the printing bit is still set.
    if (b & 0x04)
      EXPECT_EQ(o, WaitOutcome::paper_out) << b;
    else if (b & 0x08)
      EXPECT_EQ(o, WaitOutcome::ribbon_out) << b;
    else if (b & 0x02)
      EXPECT_EQ(o, WaitOutcome::paper_jam) << b;
    else if (b & 0x41)
      EXPECT_EQ(o, WaitOutcome::head_or_cover_open) << b;
    else if (b & 0x80)
      EXPECT_EQ(o, WaitOutcome::temperature) << b;
    else if (b & 0x10)
      EXPECT_EQ(o, WaitOutcome::paused) << b;
    else
      EXPECT_EQ(o, b ? WaitOutcome::timed_out : WaitOutcome::printed) << b;
  }
}

TEST_F(PrinterOnEmulator, EveryStatusByteArrivesDecoded)
{
  Printer p = open();
  // Each line and the status request behind it would otherwise wait for a
  // delayed ACK (Nagle): 40 ms a byte value.
  const int one = 1;
  ::setsockopt(net_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // 82 (0x52) is the byte printerstatus() shares with a failed receive.
  for (int b = 0; b < 256; ++b) {
    p.send("EMULATOR STATUS " + std::to_string(b));
    EXPECT_EQ(p.status(), Status::from_byte(static_cast<std::uint8_t>(b))) << b;
  }
}

TEST_F(PrinterOnEmulator, ReadyNoReplyAndDisconnectedAreToldApart)
{
  {
    Printer p = open();
    const auto t0 = Clock::now();
    EXPECT_TRUE(p.status().ready());
    EXPECT_LT(Clock::now() - t0, kWait);
  }
  {
    zarn::test::FakeTcpPrinter silent; // reads everything, answers nothing
    Printer p = Printer::tcp("127.0.0.1", silent.port(), timing());
    const auto t0 = Clock::now();
    EXPECT_EQ(p.status().reply, Status::Reply::no_reply);
    EXPECT_GE(Clock::now() - t0, kWait - 10ms);
  }
  {
    VanishingPeer gone(false); // hangs up: known at once
    Printer p = Printer::tcp("127.0.0.1", gone.port(), timing());
    const auto t0 = Clock::now();
    EXPECT_EQ(p.status().reply, Status::Reply::disconnected);
    EXPECT_EQ(p.status().text(), "disconnected");
    EXPECT_LT(Clock::now() - t0, kWait);
  }
  {
    VanishingPeer reset(true); // resets: the connection is gone as well
    Printer p = Printer::tcp("127.0.0.1", reset.port(), timing());
    EXPECT_EQ(p.status().reply, Status::Reply::disconnected);
  }
}

// The command's tests cover printed, paper out, head open and time-outs;
// here what needs the short wait or the in-process view.
TEST_F(PrinterOnEmulator, WaitSeesAFaultWhilePrintingAndASilentPrinter)
{
  Printer p = open();
  p.send("EMULATOR STATUS printing+ribbon-out");
  EXPECT_EQ(p.wait_until_printed(5s), WaitOutcome::ribbon_out);
  p.close();
  zarn::test::FakeTcpPrinter silent;
  p = Printer::tcp("127.0.0.1", silent.port(), timing());
  const auto t0 = Clock::now();
  EXPECT_EQ(p.wait_until_printed(5s), WaitOutcome::no_reply);
  EXPECT_LT(Clock::now() - t0, 2s);
}

TEST_F(PrinterOnEmulator, OnePrinterAtATimeAndMovesKeepTheConnection)
{
  Printer a = Printer::tcp("localhost", emu->port(), timing()); // looked up over IPv4
  EXPECT_NE(a.describe().find("(127.0.0.1:" + std::to_string(emu->port()) + ")"), std::string::npos)
      << a.describe();
  try {
    Printer::open(emu->address(), timing());
    ADD_FAILURE() << "a second printer was opened";
  } catch (const BusyError &e) {
    EXPECT_NE(std::string(e.what()).find("already has a printer open"), std::string::npos);
  }
  EXPECT_TRUE(a.status().ready()) << "the refused second printer closed the first";
  Printer b = std::move(a);
  EXPECT_FALSE(a.is_open());
  EXPECT_THROW(a.status(), Error);
  EXPECT_THROW(a.send("CLS"), Error) << "a moved-from Printer sent over its successor";
  EXPECT_EQ(b.name(), "ZARN-EMU 203");
  EXPECT_EQ(b.serial(), "ZE00000001");
  EXPECT_EQ(b.query("OUT \"two\";\"words\""), "twowords\r\n");
  {
    Printer c = std::move(b);
  }
  EXPECT_EQ(openportStatus, 0) << "the last owner's destructor closes";
  Printer d = Printer::open(emu->address(), timing());
  EXPECT_TRUE(d.status().ready());
}

TEST(PrinterOnSerial, LineSettingsAndStatusOverThePty)
{
  ZARN_REQUIRE_FAKE(::geteuid() == 0, "not root: cannot link the emulator's pty under /dev");
  TempDir dir;
  auto emu = Emulator::serial(dir.path, {"--status", "paper-out+head-open"});
  ZARN_REQUIRE_FAKE(emu != nullptr, "the emulator's serial line did not start");
  {
    // A pty keeps the speed and stop bits it is given (it forces 8 bits
    // without parity, so those cannot be seen here).
    Printer p =
        Printer::open("serial:" + emu->serial_name() + "?baud=9600&parity=even&stop=2", timing());
    termios t{};
    ASSERT_EQ(::tcgetattr(tty_device, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B9600);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
  }
  Printer p = Printer::open("serial:" + emu->serial_name(), timing());
  EXPECT_EQ(p.status().text(), "paper out, head open");
  p.send("EMULATOR STATUS 0x52");
  EXPECT_EQ(p.status(), Status::from_byte(0x52));
  p.send("EMULATOR STATUS ok");
  p.send("CLS");
  p.send("PRINT 1");
  EXPECT_EQ(p.wait_until_printed(5s), WaitOutcome::printed);
}

} // namespace
} // namespace zarn::cli::test
