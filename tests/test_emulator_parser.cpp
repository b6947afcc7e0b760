// SPDX-License-Identifier: MIT
// The printer's stream parser: lines, immediate commands and binary blocks
// arrive in pieces of any size and must give the same commands whole.
#include "parser.hpp"
#include "test_emulator_util.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace zarn::emu {
namespace {

using test::kEndLineQuery;
using test::kNameQuery;
using test::kSerialQuery;
using test::kStatusQuery;

std::string hex(std::span<const std::uint8_t> data)
{
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (std::uint8_t b : data) {
    s.push_back(digits[b >> 4]);
    s.push_back(digits[b & 15]);
  }
  return s;
}

// Writes each event as one line of text, so whole runs compare at once.
struct Recorder final : ParserSink {
  std::vector<std::string> events;
  void on_line(std::string_view line, std::uint64_t n) override
  {
    events.push_back(std::to_string(n) + " line " + std::string(line));
  }
  void on_immediate(std::string_view c, std::uint64_t n) override
  {
    events.push_back(std::to_string(n) + " immediate " +
                     hex({reinterpret_cast<const std::uint8_t *>(c.data()), c.size()}));
  }
  void on_bitmap(const BitmapHeader &h, std::span<const std::uint8_t> d, std::uint64_t n) override
  {
    events.push_back(std::to_string(n) + " bitmap " + std::to_string(h.x) + "," +
                     std::to_string(h.y) + "," + std::to_string(h.width_bytes) + "," +
                     std::to_string(h.height) + "," + std::to_string(h.mode) + " " + hex(d));
  }
  void on_download(const DownloadHeader &h, std::span<const std::uint8_t> d,
                   std::uint64_t n) override
  {
    events.push_back(std::to_string(n) + " download " + h.memory + " [" + h.name + "] " +
                     std::to_string(h.size) + " " + hex(d));
  }
  void on_problem(std::string_view what, std::uint64_t n) override
  {
    events.push_back(std::to_string(n) + " problem " + std::string(what));
  }
};

std::vector<std::string> parse(const std::string &bytes, const std::vector<std::size_t> &cuts = {},
                               bool end = true)
{
  Recorder r;
  StreamParser p(r);
  std::size_t at = 0;
  auto data = reinterpret_cast<const std::uint8_t *>(bytes.data());
  for (std::size_t cut : cuts) {
    p.feed(data + at, cut - at);
    at = cut;
  }
  p.feed(data + at, bytes.size() - at);
  if (end)
    p.end_of_stream();
  return r.events;
}

// What the library puts on the wire for a label, queries, a download and a
// TrueType bitmap, byte for byte.
const std::string kBitmapBytes = std::string("\x0f\r\n,\xff\x00", 6);
const std::string kFileBytes = std::string("A,\"B\r\n\x00\xfe", 8);
const std::string kSession = "SIZE 100 mm,60 mm\r\n"
                             "SPEED 4\r\n"
                             "DENSITY 8\r\n"
                             "GAP 2 mm,0 mm\r\n"
                             "CLS\r\n"
                             "TEXT 10,20,\"3\",0,1,1,\"a, \"quoted\" text\"\r\n"
                             "TEXT 10,60,\"3\",0,1,1,@1\r\n"
                             "BARCODE 10,100,\"128\",50,1,0,2,4,\"X1\"\r\n" +
                             kStatusQuery + kNameQuery + kSerialQuery + kEndLineQuery +
                             "DOWNLOAD F,\"LOGO.PCX\",8," + kFileBytes +
                             "\r\n\r\n"
                             "BITMAP 30,40,2,3,0," +
                             kBitmapBytes +
                             "PRINT 1,1\r\n"
                             "FORMFEED\r\n"
                             "SET STRIPER OFF\r\n"
                             "SET TEAR OFF\r\n";

const std::vector<std::string> kSessionEvents = {
    "1 line SIZE 100 mm,60 mm",
    "2 line SPEED 4",
    "3 line DENSITY 8",
    "4 line GAP 2 mm,0 mm",
    "5 line CLS",
    "6 line TEXT 10,20,\"3\",0,1,1,\"a, \"quoted\" text\"",
    "7 line TEXT 10,60,\"3\",0,1,1,@1",
    "8 line BARCODE 10,100,\"128\",50,1,0,2,4,\"X1\"",
    "9 immediate 1b213f",
    "11 immediate 7e2154",
    "13 line OUT _SERIAL$",
    "15 line OUT \"ENDLINE\"",
    "16 download F [LOGO.PCX] 8 412c22420d0a00fe",
    "18 bitmap 30,40,2,3,0 0f0d0a2cff00",
    "18 line PRINT 1,1",
    "19 line FORMFEED",
    "20 line SET STRIPER OFF",
    "21 line SET TEAR OFF",
};

TEST(EmulatorParser, ReadsWhatTheLibrarySends) { EXPECT_EQ(parse(kSession), kSessionEvents); }

TEST(EmulatorParser, EverySplitPointGivesTheSameCommands)
{
  for (std::size_t cut = 1; cut < kSession.size(); ++cut)
    ASSERT_EQ(parse(kSession, {cut}), kSessionEvents) << "split at byte " << cut;
}

TEST(EmulatorParser, OneByteAtATimeAndTwoCutsAroundEachBlock)
{
  std::vector<std::size_t> every;
  for (std::size_t i = 1; i < kSession.size(); ++i)
    every.push_back(i);
  EXPECT_EQ(parse(kSession, every), kSessionEvents);

  // Cut twice inside and around each block, so a block may start, continue
  // and end in three different reads.
  for (const std::string &marker : {std::string("DOWNLOAD"), std::string("BITMAP")}) {
    const std::size_t from = kSession.find(marker);
    const std::size_t to = from + 40;
    for (std::size_t a = from; a < to; ++a)
      for (std::size_t b = a + 1; b <= to; ++b)
        ASSERT_EQ(parse(kSession, {a, b}), kSessionEvents)
            << marker << " cut at " << a << " and " << b;
  }
}

TEST(EmulatorParser, LineEndingsAndEmptyLines)
{
  EXPECT_EQ(parse("CLS\nPRINT 1\r\n\r\n\n\r\rFORMFEED\r\n"),
            (std::vector<std::string>{"1 line CLS", "2 line PRINT 1", "5 line FORMFEED"}));
  // A last line without a break still counts once the stream ends, not before.
  EXPECT_TRUE(parse("PRINT 1,1", {}, false).empty());
  EXPECT_EQ(parse("PRINT 1,1"), (std::vector<std::string>{"1 line PRINT 1,1"}));
}

TEST(EmulatorParser, BlockHeaders)
{
  // A name with a quote and a comma in it runs to the quote before the count.
  EXPECT_EQ(parse("DOWNLOAD F,\"a\"b,c\",2,xy\r\n"),
            (std::vector<std::string>{"1 download F [a\"b,c] 2 7879"}));
  EXPECT_EQ(parse("DOWNLOAD \"E.BIN\",0,\r\nCLS\r\n"),
            (std::vector<std::string>{"1 download F [E.BIN] 0 ", "2 line CLS"}));
  EXPECT_EQ(parse("BITMAP -5,7,0,9,1,CLS\r\n"),
            (std::vector<std::string>{"1 bitmap -5,7,0,9,1 ", "1 line CLS"}));
  // Not a complete header: plain lines.
  EXPECT_EQ(parse("BITMAP 1,2,3,4\r\nDOWNLOAD F,\"x\",n,\r\n"),
            (std::vector<std::string>{"1 line BITMAP 1,2,3,4", "2 line DOWNLOAD F,\"x\",n,"}));
}

TEST(EmulatorParser, OverlongLineIsSkippedOnceAndParsingGoesOn)
{
  const std::string junk(StreamParser::kMaxLine + 100, 'x');
  EXPECT_EQ(
      parse(junk + "\r\nCLS\r\n"),
      (std::vector<std::string>{"1 problem line too long, rest of it skipped", "2 line CLS"}));
}

TEST(EmulatorParser, TruncatedAndOversizedBlocks)
{
  // The stream ends inside a block: reported, and the next stream starts
  // afresh at line 1 in line mode.
  Recorder r;
  StreamParser p(r);
  const std::string cut = "CLS\r\nBITMAP 0,0,10,10,0,abc";
  p.feed(reinterpret_cast<const std::uint8_t *>(cut.data()), cut.size());
  p.end_of_stream();
  const std::string next = "PRINT 1\r\n";
  p.feed(reinterpret_cast<const std::uint8_t *>(next.data()), next.size());
  EXPECT_EQ(r.events, (std::vector<std::string>{
                          "1 line CLS", "2 problem stream ended inside a BITMAP block, dropped",
                          "1 line PRINT 1"}));

  // A block bigger than the printer keeps is read past, not stored.
  const std::size_t big = StreamParser::kMaxBlock + 1;
  std::string huge = "DOWNLOAD F,\"BIG\"," + std::to_string(big) + ",";
  huge.append(big, '\n');
  huge += "CLS\r\n";
  EXPECT_EQ(parse(huge),
            (std::vector<std::string>{"1 problem DOWNLOAD block too big, skipped", "1 line CLS"}));

  // Sizes whose product does not fit 64 bits.
  EXPECT_EQ(parse("BITMAP 0,0,999999999999999,999999999999999,0,abc"),
            (std::vector<std::string>{"1 problem BITMAP block too big, skipped",
                                      "1 problem stream ended inside a BITMAP block, dropped"}));
}

TEST(EmulatorParser, RandomBytesNeverStopIt)
{
  // Whatever came before, after the stream ends a good command still parses.
  std::mt19937 rng(1234);
  const std::string alphabet = "BITMAPDOWNLOAD0123456789,\"\r\n\x1b!?~T ";
  for (int round = 0; round < 300; ++round) {
    std::string junk(rng() % 3000, '\0');
    for (char &c : junk)
      c = (rng() % 2) ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng());
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0; junk.size() > 1 && cuts.size() < 5;) {
      at += 1 + rng() % (junk.size() / 2 + 1);
      if (at >= junk.size())
        break;
      cuts.push_back(at);
    }
    Recorder r;
    StreamParser p(r);
    std::size_t at = 0;
    for (std::size_t c : cuts) {
      p.feed(reinterpret_cast<const std::uint8_t *>(junk.data()) + at, c - at);
      at = c;
    }
    p.feed(reinterpret_cast<const std::uint8_t *>(junk.data()) + at, junk.size() - at);
    p.end_of_stream();
    r.events.clear();
    const std::string good = "PRINT 2,3\r\n";
    p.feed(reinterpret_cast<const std::uint8_t *>(good.data()), good.size());
    ASSERT_EQ(r.events, (std::vector<std::string>{"1 line PRINT 2,3"})) << "round " << round;
  }
}

} // namespace
} // namespace zarn::emu
