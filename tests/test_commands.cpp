// SPDX-License-Identifier: MIT
// The label commands and the DOWNLOAD block, byte for byte, over every
// kind of link: the lines do not depend on the port kind, and the links
// pass binary bytes unchanged.
#include "fake_links.hpp"
#include "wire.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace zarn::test;
namespace fs = std::filesystem;

namespace {

std::string line(const std::string &s) { return s + "\r\n"; }

// What a buffer of `buffer` bytes makes of a formatted line: at most
// buffer - 1 bytes of it, then the framing.
std::string cut(const std::string &s, std::size_t buffer) { return line(s.substr(0, buffer - 1)); }

// A text of n bytes whose every position differs from its neighbours, so
// a cut one byte off shows.
std::string filler(std::size_t n)
{
  std::string s(n, ' ');
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>('a' + i % 26);
  return s;
}

class Commands : public LinkTest {
 protected:
  void expect_wire(const std::string &expected)
  {
    zarn::test::expect_wire(printer(), expected, 20s);
  }
};

INSTANTIATE_TEST_SUITE_P(Links, Commands, ::testing::Values(LinkKind::tcp, LinkKind::serial),
                         link_test_name);

// ---- fixed lines ----

TEST_P(Commands, FixedLines)
{
  EXPECT_EQ(clearbuffer(), 1);
  expect_wire("CLS\r\n");
  EXPECT_EQ(formfeed(), 1);
  expect_wire("FORMFEED\r\n");
  EXPECT_EQ(nobackfeed(), 1);
  expect_wire("SET STRIPER OFF\r\nSET TEAR OFF\r\n");
}

// ---- setup ----

TEST_P(Commands, SetupSendsFourLinesInOrder)
{
  EXPECT_EQ(setup(text("100"), text("60"), text("4"), text("8"), text("0"), text("3"), text("0")),
            1);
  expect_wire("SIZE 100 mm,60 mm\r\nSPEED 4\r\nDENSITY 8\r\nGAP 3 mm,0 mm\r\n");
}

TEST_P(Commands, SetupChoosesBlineOnlyForALeadingDigitOne)
{
  for (const char *kind : {"1", "10", "1x"}) {
    setup(text("4"), text("3"), text("2"), text("1"), text(kind), text("2.5"), text("-1"));
    expect_wire("SIZE 4 mm,3 mm\r\nSPEED 2\r\nDENSITY 1\r\nBLINE 2.5 mm,-1 mm\r\n");
  }
  for (const char *kind : {"0", "2", "", "01", " 1", "l"}) {
    setup(text("4"), text("3"), text("2"), text("1"), text(kind), text("2.5"), text("-1"));
    expect_wire("SIZE 4 mm,3 mm\r\nSPEED 2\r\nDENSITY 1\r\nGAP 2.5 mm,-1 mm\r\n");
  }
}

TEST_P(Commands, SetupCutsEachLineAtItsOwnHundredBytes)
{
  // SIZE <w> mm,1 mm is 13 bytes around w; SPEED and DENSITY lines 6 and 8;
  // GAP <g> mm,0 mm is 12.
  for (std::size_t total : {98u, 99u, 100u, 101u}) {
    const std::string w = filler(total - 13), s = filler(total - 6), d = filler(total - 8),
                      g = filler(total - 12);
    setup(text(w), text("1"), text(s), text(d), text("0"), text(g), text("0"));
    expect_wire(cut("SIZE " + w + " mm,1 mm", 100) + cut("SPEED " + s, 100) +
                cut("DENSITY " + d, 100) + cut("GAP " + g + " mm,0 mm", 100));
  }
  // The BLINE line is two bytes longer: a gap text that would fit a GAP
  // line is cut in a BLINE one.
  const std::string g = filler(86);
  setup(text("1"), text("1"), text("1"), text("1"), text("1"), text(g), text("0"));
  expect_wire("SIZE 1 mm,1 mm\r\nSPEED 1\r\nDENSITY 1\r\n" + cut("BLINE " + g + " mm,0 mm", 100));
}

// ---- barcode ----

TEST_P(Commands, BarcodeQuotesTypeAndContent)
{
  EXPECT_EQ(barcode(text("100"), text("50"), text("128"), text("80"), text("1"), text("0"),
                    text("2"), text("4"), text("ABC-123")),
            1);
  expect_wire("BARCODE 100,50,\"128\",80,1,0,2,4,\"ABC-123\"\r\n");
  barcode(text("0"), text("0"), text("EAN13"), text("1"), text("0"), text("90"), text("1"),
          text("1"), text(""));
  expect_wire("BARCODE 0,0,\"EAN13\",1,0,90,1,1,\"\"\r\n");
}

TEST_P(Commands, BarcodeWritesAtContentBare)
{
  barcode(text("1"), text("2"), text("39"), text("3"), text("4"), text("5"), text("6"), text("7"),
          text("@1"));
  expect_wire("BARCODE 1,2,\"39\",3,4,5,6,7,@1\r\n");
  barcode(text("1"), text("2"), text("39"), text("3"), text("4"), text("5"), text("6"), text("7"),
          text("@"));
  expect_wire("BARCODE 1,2,\"39\",3,4,5,6,7,@\r\n");
  // Only a leading '@' counts.
  barcode(text("1"), text("2"), text("39"), text("3"), text("4"), text("5"), text("6"), text("7"),
          text(" @1"));
  expect_wire("BARCODE 1,2,\"39\",3,4,5,6,7,\" @1\"\r\n");
}

TEST_P(Commands, BarcodePassesQuotesInsideTextsUnchanged)
{
  barcode(text("1"), text("2"), text("3\"9"), text("3"), text("4"), text("5"), text("6"), text("7"),
          text("say \"hi\""));
  expect_wire("BARCODE 1,2,\"3\"9\",3,4,5,6,7,\"say \"hi\"\"\r\n");
}

TEST_P(Commands, BarcodeCutsAt1023Bytes)
{
  // BARCODE 1,2,"3",4,5,6,7,8,"<c>" is 28 bytes around c; bare form 26.
  for (std::size_t total : {1022u, 1023u, 1024u, 1025u}) {
    const std::string c = filler(total - 28);
    barcode(text("1"), text("2"), text("3"), text("4"), text("5"), text("6"), text("7"), text("8"),
            text(c));
    expect_wire(cut("BARCODE 1,2,\"3\",4,5,6,7,8,\"" + c + "\"", 1024));
    const std::string v = "@" + filler(total - 27);
    barcode(text("1"), text("2"), text("3"), text("4"), text("5"), text("6"), text("7"), text("8"),
            text(v));
    expect_wire(cut("BARCODE 1,2,\"3\",4,5,6,7,8," + v, 1024));
  }
}

// ---- printerfont ----

TEST_P(Commands, PrinterfontQuotesFontAndContent)
{
  EXPECT_EQ(printerfont(text("10"), text("20"), text("3"), text("0"), text("1"), text("2"),
                        text("Hello, world")),
            1);
  expect_wire("TEXT 10,20,\"3\",0,1,2,\"Hello, world\"\r\n");
  printerfont(text("0"), text("0"), text("ROMAN.TTF"), text("90"), text("1"), text("1"), text(""));
  expect_wire("TEXT 0,0,\"ROMAN.TTF\",90,1,1,\"\"\r\n");
}

TEST_P(Commands, PrinterfontWritesAtContentBareAndQuotesUnchanged)
{
  printerfont(text("1"), text("2"), text("3"), text("4"), text("5"), text("6"), text("@TIME"));
  expect_wire("TEXT 1,2,\"3\",4,5,6,@TIME\r\n");
  printerfont(text("1"), text("2"), text("3"), text("4"), text("5"), text("6"),
              text("5\" \"x\xC3\xA9"));
  expect_wire("TEXT 1,2,\"3\",4,5,6,\"5\" \"x\xC3\xA9\"\r\n");
}

TEST_P(Commands, PrinterfontCutsAt499Bytes)
{
  // TEXT 1,2,"3",4,5,6,"<c>" is 21 bytes around c; bare form 19.
  for (std::size_t total : {498u, 499u, 500u, 501u}) {
    const std::string c = filler(total - 21);
    printerfont(text("1"), text("2"), text("3"), text("4"), text("5"), text("6"), text(c));
    expect_wire(cut("TEXT 1,2,\"3\",4,5,6,\"" + c + "\"", 500));
    const std::string v = "@" + filler(total - 20);
    printerfont(text("1"), text("2"), text("3"), text("4"), text("5"), text("6"), text(v));
    expect_wire(cut("TEXT 1,2,\"3\",4,5,6," + v, 500));
  }
}

// ---- printlabel ----

TEST_P(Commands, PrintlabelSendsPrintLine)
{
  EXPECT_EQ(printlabel(text("1"), text("1")), 1);
  expect_wire("PRINT 1,1\r\n");
  printlabel(text(""), text("-3"));
  expect_wire("PRINT ,-3\r\n");
}

TEST_P(Commands, PrintlabelCutsAt49Bytes)
{
  // PRINT <s>,<c> is 7 bytes around the two texts; the cut may fall in either.
  for (std::size_t total : {48u, 49u, 50u, 51u}) {
    const std::string s = filler(20), c = filler(total - 27);
    printlabel(text(s), text(c));
    expect_wire(cut("PRINT " + s + "," + c, 50));
  }
  const std::string s = filler(60);
  printlabel(text(s), text("2"));
  expect_wire(cut("PRINT " + s, 50));
}

// ---- values that would start a command of their own ----

// One label command as a call over a list of its text arguments.
struct LabelCall {
  const char *name;
  std::size_t arguments;
  int (*call)(std::vector<std::string> &);
};

char *arg(std::vector<std::string> &a, std::size_t i) { return a[i].data(); }

const LabelCall kLabelCalls[] = {
    {"setup", 7,
     [](std::vector<std::string> &a) {
       return setup(arg(a, 0), arg(a, 1), arg(a, 2), arg(a, 3), arg(a, 4), arg(a, 5), arg(a, 6));
     }},
    {"barcode", 9,
     [](std::vector<std::string> &a) {
       return barcode(arg(a, 0), arg(a, 1), arg(a, 2), arg(a, 3), arg(a, 4), arg(a, 5), arg(a, 6),
                      arg(a, 7), arg(a, 8));
     }},
    {"printerfont", 7,
     [](std::vector<std::string> &a) {
       return printerfont(arg(a, 0), arg(a, 1), arg(a, 2), arg(a, 3), arg(a, 4), arg(a, 5),
                          arg(a, 6));
     }},
    {"printlabel", 2, [](std::vector<std::string> &a) { return printlabel(arg(a, 0), arg(a, 1)); }},
};

TEST_P(Commands, ALineBreakInAnyValueSendsNothingAndGivesZero)
{
  for (const LabelCall &c : kLabelCalls)
    for (std::size_t i = 0; i < c.arguments; ++i)
      for (const char *brk : {"\r", "\n", "\r\n"}) {
        SCOPED_TRACE(std::string(c.name) + " argument " + std::to_string(i + 1) + " with " +
                     (brk[0] == '\r' ? (brk[1] ? "CR LF" : "CR") : "LF"));
        std::vector<std::string> args(c.arguments, "1");
        args[i] = std::string("1\"") + brk + "PRINT 1,4" + brk + "TEXT 1,1,\"3\",0,1,1,\"x";
        EXPECT_EQ(c.call(args), 0);
        // A break at either end counts as much as one inside.
        args[i] = std::string("1") + brk;
        EXPECT_EQ(c.call(args), 0);
        args[i] = std::string(brk) + "1";
        EXPECT_EQ(c.call(args), 0);
        expect_wire("");
      }
}

TEST_P(Commands, QuotesPercentCommasAndHighBytesStillGoUnchanged)
{
  const std::string content = "50% off, \"now\" %s %n \xFF\xC3\xA9\t\x1B";
  EXPECT_EQ(
      printerfont(text("1"), text("2"), text("3"), text("0"), text("1"), text("1"), text(content)),
      1);
  EXPECT_EQ(barcode(text("1"), text("2"), text("128"), text("3"), text("1"), text("0"), text("2"),
                    text("2"), text(content)),
            1);
  expect_wire("TEXT 1,2,\"3\",0,1,1,\"" + content + "\"\r\n" + "BARCODE 1,2,\"128\",3,1,0,2,2,\"" +
              content + "\"\r\n");
}

// ---- results ----

// Every label command, each expected to give `result`.
void expect_every_label_command_gives(int result)
{
  EXPECT_EQ(setup(text("1"), text("1"), text("1"), text("1"), text("1"), text("1"), text("1")),
            result);
  EXPECT_EQ(clearbuffer(), result);
  EXPECT_EQ(barcode(text("1"), text("1"), text("1"), text("1"), text("1"), text("1"), text("1"),
                    text("1"), text("1")),
            result);
  EXPECT_EQ(
      printerfont(text("1"), text("1"), text("1"), text("1"), text("1"), text("1"), text("1")),
      result);
  EXPECT_EQ(printlabel(text("1"), text("1")), result);
  EXPECT_EQ(formfeed(), result);
  EXPECT_EQ(nobackfeed(), result);
}

TEST_P(Commands, ClosedConnectionGivesZeroAndSendsNothing)
{
  ASSERT_EQ(closeport(), 1);
  expect_every_label_command_gives(0);
  ASSERT_EQ(link_.reopen(), 1);
  expect_wire("");
}

TEST_P(Commands, LabelLines)
{
  EXPECT_EQ(setup(text("100"), text("60"), text("4"), text("8"), text("1"), text("3"), text("0")),
            1);
  EXPECT_EQ(clearbuffer(), 1);
  EXPECT_EQ(printerfont(text("10"), text("20"), text("3"), text("0"), text("1"), text("1"),
                        text("say \"hi\"")),
            1);
  EXPECT_EQ(barcode(text("10"), text("80"), text("128"), text("50"), text("1"), text("0"),
                    text("2"), text("2"), text("@1")),
            1);
  EXPECT_EQ(printlabel(text("1"), text("2")), 1);
  expect_wire("SIZE 100 mm,60 mm\r\nSPEED 4\r\nDENSITY 8\r\nBLINE 3 mm,0 mm\r\nCLS\r\n"
              "TEXT 10,20,\"3\",0,1,1,\"say \"hi\"\"\r\n"
              "BARCODE 10,80,\"128\",50,1,0,2,2,@1\r\n"
              "PRINT 1,2\r\n");
}

TEST_P(Commands, DownloadOfBinaryAndEmptyFiles)
{
  // Every byte value, control characters a cooked line would eat included.
  std::string bytes;
  for (int round = 0; round < 64; ++round)
    for (int b = 0; b < 256; ++b)
      bytes += static_cast<char>(b);
  const fs::path dir = fs::temp_directory_path();
  const std::string file = (dir / ("zarn-commands-" + std::to_string(getpid()))).string();
  const std::string empty = file + ".empty";
  std::ofstream(file, std::ios::binary) << bytes;
  std::ofstream(empty, std::ios::binary).flush();

  EXPECT_EQ(downloadpcx(text(file), text("ALL.BIN")), 1);
  EXPECT_EQ(downloadpcx(text(empty), text("E")), 1);
  fs::remove(file);
  fs::remove(empty);
  expect_wire("DOWNLOAD F,\"ALL.BIN\",16384," + bytes + "\r\n\r\nDOWNLOAD F,\"E\",0,\r\n\r\n");
}

// The fake serial printer cannot hang up, so this one is TCP's.
class TcpCommands : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1); }
  void TearDown() override { closeport(); }
  FakeTcpPrinter printer;
};

TEST_F(TcpCommands, FailedSendsStillGiveOne)
{
  ASSERT_TRUE(hang_up_until_a_send_fails(printer)) << "the hang-up never made a send fail";
  expect_every_label_command_gives(1);
}

} // namespace
