// SPDX-License-Identifier: MIT
// The emulator's printer states: the printing bit for the print time of
// each label, paper that runs out, a head that opens, the resolution, and
// bitmaps printed dot for dot; in the model, and through the real library
// over TCP, serial and USB while a control client changes the states.
#include "fake_printer.hpp" // ZARN_REQUIRE_FAKE
#include "host_calls.hpp"
#include "test_emulator_program.hpp"
#include "zarn.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

namespace zarn::emu::test {
namespace {

using namespace std::chrono_literals;
using zarn::test::since;
using zarn::test::slurp;
using zarn::test::text;
using Clock = std::chrono::steady_clock;

// A printer on a clock the test moves by hand.
struct ClockedPrinter {
  std::shared_ptr<Clock::time_point> now = std::make_shared<Clock::time_point>(Clock::now());
  RecordingPrinter p;
  explicit ClockedPrinter(PrinterConfig config) : p(with_clock(std::move(config), now)) {}
  static PrinterConfig with_clock(PrinterConfig c, std::shared_ptr<Clock::time_point> now)
  {
    c.clock = [now] { return *now; };
    return c;
  }
};

TEST(EmulatorStates, PrintingBitLastsThePrintTimeOfEachLabel)
{
  PrinterConfig config;
  config.print_time = 100ms;
  ClockedPrinter c(config);
  auto &p = c.p;
  p.send("CLS\r\nPRINT 3\r\n");
  EXPECT_EQ(p.printer.status(), kPrinting);
  *c.now += 299ms;
  p.send(kStatusQuery);
  EXPECT_EQ(p.replies(), "\x20");
  *c.now += 1ms;
  p.send(kStatusQuery);
  EXPECT_EQ(p.replies(), std::string(1, '\0'));
  // A label printed while others still print waits for them.
  p.send("PRINT 1\r\n");
  *c.now += 50ms;
  p.send("PRINT 1\r\n");
  *c.now += 149ms;
  EXPECT_EQ(p.printer.status(), kPrinting);
  *c.now += 1ms;
  EXPECT_EQ(p.printer.status(), 0);
  p.send("EMULATOR PRINT-TIME 0\r\nPRINT 2\r\n");
  EXPECT_EQ(p.printer.status(), 0);
  EXPECT_EQ(p.images.size(), 7u);
}

TEST(EmulatorStates, PaperRunsOutAtTheLastLabel)
{
  TempDir dir;
  PrinterConfig config;
  config.paper = 3;
  config.output_dir = dir.path;
  RecordingPrinter p(config);
  p.send("SIZE 10 mm,5 mm\r\nCLS\r\nPRINT 5\r\n");
  EXPECT_EQ(p.images.size(), 3u);
  EXPECT_EQ(p.printer.status(), kPaperOut);
  EXPECT_TRUE(p.logged("line 3: paper out: the last 2 labels of this PRINT are not printed"));
  EXPECT_FALSE(std::filesystem::exists(dir.path / "label-0004.png"));
  p.send("PRINT 1\r\nFORMFEED\r\n");
  EXPECT_TRUE(p.logged("line 4: not printed: the printer reports status 0x04"));
  EXPECT_TRUE(p.logged("line 5: paper out: FORMFEED not fed"));
  // Loading paper clears paper-out until it runs out again.
  p.send("EMULATOR PAPER 1\r\n");
  EXPECT_EQ(p.printer.status(), 0);
  p.send("PRINT 2\r\n");
  EXPECT_EQ(p.images.size(), 4u);
  EXPECT_EQ(p.printer.status(), kPaperOut);
  p.send("EMULATOR PAPER UNLIMITED\r\nPRINT 3\r\n");
  EXPECT_EQ(p.images.size(), 7u);
  p.send("EMULATOR PAPER 0\r\n");
  EXPECT_EQ(p.printer.status(), kPaperOut);
}

TEST(EmulatorStates, HeadAndHandSetBitsCombineAndBadCommandsAreRefused)
{
  RecordingPrinter p;
  p.send("EMULATOR HEAD OPEN\r\nCLS\r\nPRINT 1\r\n");
  EXPECT_EQ(p.printer.status(), kHeadOpen);
  EXPECT_TRUE(p.images.empty());
  p.send("EMULATOR STATUS paper-jam\r\n");
  EXPECT_EQ(p.printer.status(), kHeadOpen | kPaperJam);
  p.send("EMULATOR STATUS ok\r\n");
  EXPECT_EQ(p.printer.status(), kHeadOpen) << "the head is still open";
  p.send("EMULATOR HEAD CLOSE\r\n");
  EXPECT_EQ(p.printer.status(), 0);
  p.log.clear();
  p.send("EMULATOR HEAD AJAR\r\nEMULATOR PRINT-TIME -1\r\nEMULATOR PAPER lots\r\nEMULATOR NAP\r\n");
  ASSERT_EQ(p.log.size(), 4u);
  for (const std::string &line : p.log)
    EXPECT_NE(line.find("malformed command: EMULATOR"), std::string::npos) << line;
  // The same commands as the control port gives them.
  EXPECT_EQ(p.printer.control("EMULATOR HEAD OPEN"), "");
  EXPECT_EQ(p.printer.status(), kHeadOpen);
  EXPECT_EQ(p.printer.control("emulator head close"), "");
  EXPECT_EQ(p.printer.control("CLS"), "only EMULATOR commands are taken here");
  EXPECT_EQ(p.printer.control("EMULATOR HEAD AJAR"), "bad head state (OPEN or CLOSE): AJAR");
  EXPECT_EQ(p.printer.control("EMULATOR NAP 5"), "unknown EMULATOR command: NAP");
}

// The pHYs chunk of a PNG file: dots per metre across, down, and the unit.
std::array<std::uint32_t, 3> png_density(const std::filesystem::path &file)
{
  const std::string png = slurp(file);
  const auto at = png.find("pHYs");
  if (at == std::string::npos || at + 13 > png.size())
    return {0, 0, 0};
  auto be32 = [&](std::size_t i) {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k)
      v = v << 8 | static_cast<std::uint8_t>(png[i + k]);
    return v;
  };
  return {be32(at + 4), be32(at + 8), static_cast<std::uint8_t>(png[at + 12])};
}

TEST(EmulatorStates, ResolutionSetsDotsPerMmModelNameAndPngDensity)
{
  for (const auto &[dpi, per_mm] : {std::pair{203, 8}, std::pair{300, 12}, std::pair{600, 24}}) {
    SCOPED_TRACE(dpi);
    TempDir dir;
    PrinterConfig config;
    config.dpi = dpi;
    config.output_dir = dir.path;
    RecordingPrinter p(config);
    p.send("CLS\r\nPRINT 1\r\nSIZE 10 mm,0.25\r\nGAP 2 mm,0\r\nPRINT 1\r\n" + kNameQuery);
    ASSERT_EQ(p.images.size(), 2u);
    EXPECT_EQ(p.images[0].width, 100 * per_mm) << "the default label is 100 mm wide";
    EXPECT_EQ(p.images[0].height, 50 * per_mm);
    EXPECT_EQ(p.images[1].width, 10 * per_mm);
    EXPECT_EQ(p.images[1].height, static_cast<int>(6.35 * per_mm + 0.5)) << "a quarter inch";
    EXPECT_EQ(p.replies(), "ZARN-EMU " + std::to_string(dpi));
    const auto density = png_density(dir.path / "label-0002.png");
    EXPECT_EQ(density, (std::array<std::uint32_t, 3>{per_mm * 1000u, per_mm * 1000u, 1u}));
    EXPECT_TRUE(p.log.empty()) << p.log.front();
  }
}

// Mode 0 bitmaps reach the PNG dot for dot: a set bit is paper, a clear bit
// ink, bit 7 the leftmost dot, whatever the widths and wherever they lie.
TEST(EmulatorStates, BitmapIsPrintedDotForDot)
{
  TempDir dir;
  PrinterConfig config;
  config.output_dir = dir.path;
  RecordingPrinter p(config);
  struct Block {
    int x, y, width_bytes, height;
    std::string bits;
  };
  std::mt19937 rng(7);
  auto random_block = [&](int x, int y, int wb, int h) {
    Block b{x, y, wb, h, std::string(static_cast<std::size_t>(wb * h), '\0')};
    for (char &c : b.bits)
      c = static_cast<char>(rng());
    return b;
  };
  // A 37 x 23 dot label (odd, not a whole number of bytes), a bitmap over
  // all of it with padding bits past the edge, an odd-width one at an odd
  // offset on top, and one partly off the label at the top left.
  const std::vector<Block> blocks = {random_block(0, 0, 5, 23), random_block(5, 7, 3, 11),
                                     random_block(-3, -2, 1, 5), random_block(30, 19, 7, 9)};
  std::string stream = "SIZE 37 dot,23 dot\r\nCLS\r\n";
  for (const Block &b : blocks)
    stream += "BITMAP " + std::to_string(b.x) + "," + std::to_string(b.y) + "," +
              std::to_string(b.width_bytes) + "," + std::to_string(b.height) + ",0," + b.bits;
  p.send(stream + "\r\nPRINT 1\r\n");
  ASSERT_EQ(p.images.size(), 1u);
  EXPECT_TRUE(p.log.empty()) << p.log.front();

  Image want(37, 23);
  for (const Block &b : blocks)
    for (int row = 0; row < b.height; ++row)
      for (int dot = 0; dot < b.width_bytes * 8; ++dot) {
        const int x = b.x + dot, y = b.y + row;
        const auto byte = static_cast<std::uint8_t>(
            b.bits[static_cast<std::size_t>(row * b.width_bytes + dot / 8)]);
        if (want.inside(x, y))
          want.at(x, y) = (byte & (0x80 >> (dot % 8))) ? 0 : 1;
      }
  EXPECT_EQ(p.images[0], want);
  EXPECT_EQ(read_png(dir.path / "label-0001.png"), want);
}

// What a host sees while a control client changes the printer under it.
// The library holds a connection to an emulator started with --paper 2
// --print-time 300 --control.
void host_sees_the_printer_states(int control)
{
  ControlClient hand(control);
  ASSERT_TRUE(hand.connected());
  EXPECT_EQ(printerstatus(), 0);
  EXPECT_EQ(hand.say("EMULATOR HEAD OPEN"), "ok\r\n");
  EXPECT_EQ(printerstatus(), 0x01);
  ASSERT_EQ(sendcommand(text("CLS")), 1);
  ASSERT_EQ(sendcommand(text("PRINT 1")), 1); // refused: the head is open
  // The two channels are not ordered against each other: a status round
  // trip makes sure the printer has read the PRINT before the head closes.
  EXPECT_EQ(printerstatus(), 0x01);
  EXPECT_EQ(hand.say("EMULATOR HEAD CLOSE"), "ok\r\n");
  EXPECT_EQ(printerstatus(), 0);

  const auto start = Clock::now();
  ASSERT_EQ(sendcommand(text("PRINT 1")), 1);
  EXPECT_EQ(printerstatus(), 0x20);
  int status = 0x20;
  while (status == 0x20 && since(start) < 5s) {
    std::this_thread::sleep_for(20ms);
    status = printerstatus();
  }
  EXPECT_EQ(status, 0);
  EXPECT_GE(since(start), 300ms);

  // The second label uses the last of the paper.
  EXPECT_EQ(hand.say("EMULATOR PRINT-TIME 0"), "ok\r\n");
  ASSERT_EQ(sendcommand(text("PRINT 1")), 1);
  EXPECT_EQ(printerstatus(), 0x04);
  ASSERT_EQ(sendcommand(text("PRINT 1")), 1); // refused: no paper
  EXPECT_EQ(printerstatus(), 0x04);
  EXPECT_EQ(hand.say("EMULATOR PAPER 5"), "ok\r\n");
  EXPECT_EQ(printerstatus(), 0);
  EXPECT_EQ(hand.say("EMULATOR STATUS paused+ribbon-out"), "ok\r\n");
  EXPECT_EQ(printerstatus(), 0x18);
  EXPECT_EQ(hand.say("EMULATOR STATUS ok"), "ok\r\n");
  EXPECT_EQ(hand.say("EMULATOR PAPER some"),
            "error: bad paper (a number of labels or UNLIMITED): some\r\n");
  EXPECT_EQ(hand.say("PRINT 1"), "error: only EMULATOR commands are taken here\r\n");
  EXPECT_EQ(printerstatus(), 0);
}

// What the emulator's log shows after that: two labels, and why the other
// two PRINTs printed nothing.
void expect_two_labels(const ChildProcess &emu)
{
  const std::string log = emu.log();
  EXPECT_NE(log.find("label 2:"), std::string::npos) << log;
  EXPECT_EQ(log.find("label 3:"), std::string::npos) << log;
  EXPECT_NE(log.find("not printed: the printer reports status 0x01"), std::string::npos) << log;
  EXPECT_NE(log.find("not printed: the printer reports status 0x04"), std::string::npos) << log;
}

const std::vector<std::string> kStateOptions = {"--paper", "2",         "--print-time",
                                                "300",     "--control", "0"};

class EmulatorStatesThroughTheLibrary : public EmulatorProgramTest {
 protected:
  void TearDown() override { closeport(); }
};

TEST_F(EmulatorStatesThroughTheLibrary, OverTcp)
{
  std::vector<std::string> args = kStateOptions;
  args.insert(args.end(), {"--dpi", "300"});
  auto emu = start_tcp(args);
  ASSERT_GT(control_port(*emu), 0) << emu->log();
  ASSERT_EQ(openethernet(text("127.0.0.1"), port_), 1);
  EXPECT_EQ(zarn::test::take_reply(printername()), "ZARN-EMU 300");
  host_sees_the_printer_states(control_port(*emu));
  closeport();
  ASSERT_TRUE(emu->wait_for("label 2:")) << emu->log();
  expect_two_labels(*emu);
  const Image label = read_png(dir.path / "out" / "label-0001.png");
  EXPECT_EQ(label.width, 1200);
  EXPECT_EQ(png_density(dir.path / "out" / "label-0001.png")[0], 12000u);
}

TEST_F(EmulatorStatesThroughTheLibrary, OverSerial)
{
  ZARN_REQUIRE_FAKE(::geteuid() == 0, "not root: cannot link the emulator's pty under /dev");
  const std::string name = "ttyZEMS" + std::to_string(::getpid());
  std::vector<std::string> args = {"--serial", name};
  args.insert(args.end(), kStateOptions.begin(), kStateOptions.end());
  auto emu = start(args, "linked as");
  ASSERT_GT(control_port(*emu), 0) << emu->log();
  ASSERT_EQ(openport(text(name)), 1);
  host_sees_the_printer_states(control_port(*emu));
  closeport();
  ASSERT_TRUE(emu->wait_for("label 2:")) << emu->log();
  expect_two_labels(*emu);
}

// Run by the next test as the emulator's USB host (hence disabled here); it
// finds the control port where the emulator says.
TEST(EmulatorUsbHostStates, DISABLED_SeesThePrinterStates)
{
  const char *control = std::getenv("ZARN_EMULATOR_CONTROL");
  ASSERT_NE(control, nullptr);
  const std::string at = control;
  ASSERT_EQ(openport(text("USB")), 1);
  host_sees_the_printer_states(std::stoi(at.substr(at.rfind(':') + 1)));
  closeport();
}

TEST_F(EmulatorStatesThroughTheLibrary, OverUsb)
{
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> args = kStateOptions;
  args.insert(args.end(), {"--usb", "--", self, "--gtest_filter=EmulatorUsbHostStates.*",
                           "--gtest_also_run_disabled_tests"});
  auto emu = start(args);
  const int status = emu->wait(60s);
  ZARN_REQUIRE_FAKE(status == 0 || emu->log().find("USB:") == std::string::npos,
                    "umockdev testbed not available: " + emu->log());
  EXPECT_EQ(status, 0) << emu->log();
  EXPECT_NE(emu->log().find("[  PASSED  ] 1 test"), std::string::npos) << emu->log();
  expect_two_labels(*emu);
}

} // namespace
} // namespace zarn::emu::test
