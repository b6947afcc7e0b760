// SPDX-License-Identifier: MIT
// The printer model holds its memory and disk to caps a host cannot push
// past, and numbers from the wire at the ends of their range do no harm.
#include "test_emulator_util.hpp"

#include <filesystem>

namespace zarn::emu::test {
namespace {

using namespace std::string_literals;

std::size_t files_in(const std::filesystem::path &dir)
{
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                                std::filesystem::directory_iterator()));
}

TEST(EmulatorLimits, VariablesShareOneMemoryThatLastsUntilReset)
{
  PrinterConfig config;
  config.max_variable_bytes = 1000;
  RecordingPrinter p(config);
  p.send("@1 = \"" + std::string(900, 'a') + "\"\r\n");
  p.send("@2 = \"" + std::string(200, 'b') + "\"\r\n");
  EXPECT_TRUE(p.logged("line 2: variable memory full (1000 bytes), @2 not set"));
  p.send("OUT @2\r\n");
  EXPECT_EQ(p.replies(), "@2\r\n");
  // A new value replaces the old one's bytes.
  p.send("@1 = \"x\"\r\n@2 = \"" + std::string(200, 'b') + "\"\r\nOUT @2\r\n");
  EXPECT_EQ(p.replies(), std::string(200, 'b') + "\r\n");
  // Variables are the printer's until it is reset, not the connection's.
  p.printer.end_of_stream();
  p.send("OUT @1\r\n");
  EXPECT_EQ(p.replies(), "x\r\n");
  p.send("\x1b!R\r\nOUT @1\r\n");
  EXPECT_EQ(p.replies(), "@1\r\n");
  p.send("@3 = \"" + std::string(990, 'c') + "\"\r\nOUT @3\r\n");
  EXPECT_EQ(p.replies(), std::string(990, 'c') + "\r\n") << "the reset gave the memory back";
}

TEST(EmulatorLimits, LabelBufferCountsTheRealSizeOfEachObject)
{
  PrinterConfig config;
  config.max_label_bytes = 1 << 20;
  RecordingPrinter p(config);
  // A TEXT with a 30 KB font name and a 30 KB variable name holds 60 KB.
  const std::string line = "TEXT 0,0,\"" + std::string(30000, 'F') + "\",0,1,1," + "V" +
                           std::string(30000, 'v') + "\r\n";
  for (int i = 0; i < 17; ++i)
    p.send(line);
  EXPECT_TRUE(p.log.empty()) << p.log.front();
  for (int i = 0; i < 3; ++i)
    p.send(line);
  EXPECT_TRUE(p.logged("line 18: label buffer full (1048576 bytes), object dropped"));
  // CLS gives the room back; a bitmap counts its bytes.
  p.log.clear();
  p.send("CLS\r\nBITMAP 0,0,1000,1000,0," + std::string(1000000, '\xff') + "\r\n");
  EXPECT_TRUE(p.log.empty()) << p.log.front();
  p.send("BITMAP 0,0,100,1000,0," + std::string(100000, '\xff') + "\r\n");
  EXPECT_TRUE(p.logged("label buffer full (1048576 bytes), BITMAP dropped"));
}

TEST(EmulatorLimits, StorageKeepsAtMostTheAllowedNumberOfFiles)
{
  TempDir dir;
  PrinterConfig config;
  config.storage_dir = dir.path;
  config.max_files = 10;
  RecordingPrinter p(config);
  for (int i = 0; i < 20; ++i)
    p.send("DOWNLOAD F,\"F" + std::to_string(i) + "\",0,\r\n");
  EXPECT_EQ(p.printer.files().size(), 10u);
  EXPECT_EQ(files_in(dir.path), 10u);
  EXPECT_TRUE(p.logged("storage holds 10 files, the most it keeps; \"F10\" not stored"));
  // A file that is already there may be replaced, and KILL makes room.
  p.send("DOWNLOAD F,\"F0\",3,abc\r\nKILL \"F1\"\r\nDOWNLOAD F,\"NEW\",1,z\r\n");
  EXPECT_EQ(p.printer.files().at("F0").size(), 3u);
  EXPECT_EQ(p.printer.files().count("NEW"), 1u);
  EXPECT_EQ(files_in(dir.path), 10u);
}

TEST(EmulatorLimits, LabelsArePrintedUpToACapPerConnection)
{
  TempDir dir;
  PrinterConfig config;
  config.output_dir = dir.path;
  config.max_labels_per_connection = 5;
  RecordingPrinter p(config);
  std::string feeds;
  for (int i = 0; i < 8; ++i)
    feeds += "FORMFEED\r\n";
  p.send("SIZE 10 mm,5 mm\r\n" + feeds);
  EXPECT_EQ(p.images.size(), 5u);
  EXPECT_EQ(files_in(dir.path), 5u);
  ASSERT_EQ(p.log.size(), 1u) << "one line, not one per refused label";
  EXPECT_EQ(p.log[0],
            "line 7: 5 labels printed on this connection, the most it may print; further labels "
            "are not printed");
  p.send("CLS\r\nPRINT 2\r\n");
  EXPECT_EQ(p.images.size(), 5u);
  // The next connection prints again, a PRINT of many only up to the cap.
  p.printer.end_of_stream();
  p.send("PRINT 3,3\r\n");
  EXPECT_EQ(p.images.size(), 10u);
  EXPECT_EQ(files_in(dir.path), 10u);
}

TEST(EmulatorLimits, AnswersAreCutAtTheCap)
{
  RecordingPrinter p;
  std::string out = "OUT @1";
  for (int i = 0; i < 19; ++i)
    out += ";@1";
  p.send("@1 = \"" + std::string(60000, 'x') + "\"\r\n" + out + "\r\n" + out + "\r\n");
  const std::string reply = p.replies();
  EXPECT_EQ(reply.size(), Printer::kMaxReplyBytes);
  EXPECT_EQ(reply.find_first_not_of('x'), std::string::npos);
  ASSERT_EQ(p.log.size(), 1u);
  EXPECT_EQ(p.log[0].rfind("line 2: answer cut to 1048576 bytes", 0), 0u) << p.log[0];
  // Once taken, answers flow again.
  p.send("OUT \"next\"\r\n");
  EXPECT_EQ(p.replies(), "next\r\n");
}

TEST(EmulatorLimits, NumbersAtTheEndsOfTheirRangeSaturate)
{
  RecordingPrinter p;
  p.send("SIZE 10 mm,10 mm\r\nCLS\r\n"
         // Far off the label, whatever is added to it.
         "REFERENCE 9223372036854775807,0\r\n"
         "BAR 1,0,10,10\r\n"
         "TEXT 1,0,\"1\",0,1,1,\"A\"\r\n"
         "BARCODE 1,0,\"128\",10,0,0,1,2,\"A\"\r\n"
         "BITMAP 9,0,1,1,0,\x00\r\n"
         // Back exactly to the origin: a 4 x 4 bar at (0, 0).
         "BAR -9223372036854775807,0,4,4\r\n"
         "REFERENCE -9223372036854775807,-9223372036854775807\r\n"
         "BAR -1,-1,9223372036854775807,9223372036854775807\r\n"
         "REFERENCE 0,0\r\n"
         // A frame wider than any number: its top and bottom cross the label.
         "BOX -9223372036854775807,20,9223372036854775807,30,2\r\n"
         "BAR 9223372036854775807,9223372036854775807,9223372036854775807,9223372036854775807\r\n"
         "@1 = \"5\"\r\nSET COUNTER @1 9223372036854775807\r\n"
         "PRINT 1\r\nOUT @1\r\n"s);
  ASSERT_EQ(p.images.size(), 1u);
  EXPECT_TRUE(p.log.empty()) << p.log.front();
  Image want(80, 80);
  fill(want, 0, 0, 4, 4, Paint::ink);
  fill(want, 0, 20, 80, 22, Paint::ink);
  fill(want, 0, 28, 80, 30, Paint::ink);
  EXPECT_EQ(p.images[0], want);
  EXPECT_EQ(p.replies(), "9223372036854775807\r\n");
}

} // namespace
} // namespace zarn::emu::test
