// SPDX-License-Identifier: MIT
// The emulated printer's behaviour towards a host: replies, printing,
// counters, stored files, status and bad input.
#include "test_emulator_util.hpp"

#include <fstream>
#include <random>

namespace zarn::emu::test {
namespace {

TEST(EmulatorPrinter, AnswersTheQueriesTheLibraryMakes)
{
  PrinterConfig config;
  config.model_name = "TEST-MODEL";
  config.serial_number = "SN-42";
  RecordingPrinter p(config);
  p.send(kStatusQuery);
  EXPECT_EQ(p.replies(), std::string(1, '\0'));
  p.send(kNameQuery);
  EXPECT_EQ(p.replies(), "TEST-MODEL");
  p.send(kSerialQuery);
  EXPECT_EQ(p.replies(), "SN-42\r\n");
  // sendcommand_getstring: the command's output, then the end-line reply.
  p.send("OUT \"first\";_MODEL$\r\n" + kEndLineQuery);
  EXPECT_EQ(p.replies(), std::string("firstTEST-MODEL\r\n") + protocol::kEndLineReply);
  p.send("CLS\r\n" + kEndLineQuery);
  EXPECT_EQ(p.replies(), protocol::kEndLineReply);
  EXPECT_TRUE(p.log.empty());
}

TEST(EmulatorPrinter, StatusByteCanBeSetAndBlocksPrinting)
{
  std::uint8_t s = 0;
  EXPECT_TRUE(parse_status("0x84", s));
  EXPECT_EQ(s, 0x84);
  EXPECT_TRUE(parse_status("paper-out+head-open", s));
  EXPECT_EQ(s, kPaperOut | kHeadOpen);
  EXPECT_TRUE(parse_status("128", s));
  EXPECT_EQ(s, 0x80);
  EXPECT_FALSE(parse_status("256", s));
  EXPECT_FALSE(parse_status("paper-gone", s));

  RecordingPrinter p;
  p.send("EMULATOR STATUS paper-out\r\n" + kStatusQuery + "CLS\r\nPRINT 1\r\n");
  EXPECT_EQ(p.replies(), "\x04");
  EXPECT_TRUE(p.images.empty());
  EXPECT_TRUE(p.logged("line 5: not printed: the printer reports status 0x04"));
  // Bits that do not stop the printer: it prints.
  p.send("EMULATOR STATUS 0x20\r\nPRINT 1\r\n" + kStatusQuery);
  EXPECT_EQ(p.replies(), "\x20");
  EXPECT_EQ(p.images.size(), 1u);
}

TEST(EmulatorPrinter, PrintSetsAndCopiesWithACounter)
{
  RecordingPrinter p;
  p.send("SIZE 40 mm,10 mm\r\nCLS\r\n@1 = \"0009\"\r\nSET COUNTER @1 1\r\nTEXT "
         "5,5,\"2\",0,1,1,@1\r\n");
  // Copies of one set are the same label; sets count up.
  p.send("PRINT 1,3\r\n");
  ASSERT_EQ(p.images.size(), 3u);
  EXPECT_EQ(p.images[0], p.images[1]);
  EXPECT_EQ(p.images[1], p.images[2]);
  p.send("PRINT 2\r\n");
  ASSERT_EQ(p.images.size(), 5u);
  EXPECT_NE(p.images[3], p.images[0]);
  EXPECT_NE(p.images[4], p.images[3]);
  // "0009" + 1 + 1 + 1 = "0012": the same as printing the text directly.
  RecordingPrinter q;
  q.send("SIZE 40 mm,10 mm\r\nCLS\r\nTEXT 5,5,\"2\",0,1,1,\"0011\"\r\nTEXT "
         "5,5,\"2\",0,1,1,\"0011\"\r\nPRINT 1\r\n");
  ASSERT_EQ(q.images.size(), 1u);
  EXPECT_EQ(p.images[4], q.images[0]);
  EXPECT_TRUE(p.log.empty()) << p.log.front();
}

TEST(EmulatorPrinter, UnsetVariablePrintsItsName)
{
  RecordingPrinter p, q;
  p.send("CLS\r\nTEXT 5,5,\"3\",0,1,1,@7\r\nPRINT 1\r\n");
  q.send("CLS\r\nTEXT 5,5,\"3\",0,1,1,\"@7\"\r\nPRINT 1\r\n");
  ASSERT_EQ(p.images.size(), 1u);
  ASSERT_EQ(q.images.size(), 1u);
  EXPECT_EQ(p.images[0], q.images[0]);
  EXPECT_TRUE(p.logged("line 2: variable @7 is not set"));
}

TEST(EmulatorPrinter, ClsEmptiesTheLabelAndFormfeedIsBlank)
{
  RecordingPrinter p;
  p.send("SIZE 20 mm,10 mm\r\nCLS\r\nBAR 0,0,50,50\r\nPRINT 1\r\nFORMFEED\r\nCLS\r\nPRINT 1\r\n");
  ASSERT_EQ(p.images.size(), 3u);
  EXPECT_EQ(p.images[0].dots(), 2500);
  EXPECT_EQ(p.images[1], Image(160, 80));
  EXPECT_EQ(p.images[2], Image(160, 80));
}

TEST(EmulatorPrinter, PrintCountIsCapped)
{
  PrinterConfig config;
  config.max_images_per_print = 5;
  RecordingPrinter p(config);
  p.send("CLS\r\nPRINT 1000000,1000\r\n");
  EXPECT_EQ(p.images.size(), 5u);
  EXPECT_TRUE(p.logged("line 2: PRINT asks for 1000000000 labels"));
}

TEST(EmulatorPrinter, DownloadsAreStoredUnderTheirNames)
{
  TempDir dir;
  PrinterConfig config;
  config.storage_dir = dir.path;
  RecordingPrinter p(config);
  std::string data;
  for (int i = 0; i < 256; ++i)
    data.push_back(static_cast<char>(i));
  p.send("DOWNLOAD F,\"LOGO.PCX\",256," + data + "\r\n\r\n");
  p.send("DOWNLOAD F,\"../up/a\"\",3,abc\r\n\r\n");
  p.send("DOWNLOAD F,\"EMPTY\",0,\r\n\r\n");
  ASSERT_EQ(p.printer.files().size(), 3u);
  auto read = [](const std::filesystem::path &f) {
    std::ifstream in(f, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(read(dir.path / "LOGO.PCX"), data);
  // A name cannot leave the storage folder.
  EXPECT_EQ(Printer::storage_file_name("../up/a\""), "%2E.%2Fup%2Fa\"");
  EXPECT_EQ(read(dir.path / "%2E.%2Fup%2Fa\""), "abc");
  EXPECT_TRUE(std::filesystem::exists(dir.path / "EMPTY"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 3);

  p.send("KILL \"LOGO.PCX\"\r\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path / "LOGO.PCX"));
  EXPECT_EQ(p.printer.files().count("LOGO.PCX"), 0u);
  p.send("KILL F,\"*\"\r\n");
  EXPECT_TRUE(p.printer.files().empty());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 0);
}

TEST(EmulatorPrinter, BadLinesAreLoggedWithTheirNumberAndSkipped)
{
  RecordingPrinter p;
  p.send("SIZE 20 mm,10 mm\r\n"
         "FROB 1,2\r\n"
         "TEXT 1,2,\"3\",45,1,1,\"rotation 45\"\r\n"
         "TEXT 1,2,\"3\",0,0,1,\"multiplier 0\"\r\n"
         "SIZE ten,five\r\n"
         "BITMAP 0,0,1,1,7,\xff"
         "\r\nCLS\r\nBAR 1,1,2,2\r\nPRINT 1\r\n\x1b!?");
  ASSERT_EQ(p.images.size(), 1u);
  EXPECT_EQ(p.images[0].dots(), 4);
  EXPECT_EQ(p.replies(), std::string(1, '\0'));
  ASSERT_EQ(p.log.size(), 5u);
  EXPECT_EQ(p.log[0], "line 2: unknown command: FROB 1,2");
  EXPECT_EQ(p.log[1].rfind("line 3: malformed command: TEXT", 0), 0u);
  EXPECT_EQ(p.log[2].rfind("line 4: malformed command: TEXT", 0), 0u);
  EXPECT_EQ(p.log[3].rfind("line 5: malformed command: SIZE", 0), 0u);
  EXPECT_EQ(p.log[4].rfind("line 6: BITMAP mode 7 unknown", 0), 0u);
}

TEST(EmulatorPrinter, RandomInputNeverStopsTheRenderer)
{
  // Command words with random arguments, and raw junk: whatever happens,
  // the printer still prints a good label afterwards.
  const char *words[] = {"SIZE",      "GAP",       "BLINE", "TEXT", "BARCODE",
                         "BITMAP",    "PRINT",     "BAR",   "BOX",  "REVERSE",
                         "ERASE",     "OUT",       "SET",   "KILL", "DOWNLOAD",
                         "DIRECTION", "REFERENCE", "CLS",   "@1 ="};
  const std::string alphabet = "0123456789-,\"@ .mdot";
  std::mt19937 rng(99);
  PrinterConfig config;
  config.max_images_per_print = 2;
  RecordingPrinter p(config);
  for (int i = 0; i < 3000; ++i) {
    std::string line = words[rng() % std::size(words)];
    line += ' ';
    for (int n = static_cast<int>(rng() % 40); n > 0; --n)
      line += alphabet[rng() % alphabet.size()];
    if (rng() % 10 == 0)
      line += static_cast<char>(rng());
    p.send(line + "\r\n");
    if (rng() % 50 == 0)
      p.printer.end_of_stream();
  }
  p.printer.end_of_stream();
  p.images.clear();
  p.send("DIRECTION 0\r\nREFERENCE 0,0\r\nSIZE 10 mm,10 mm\r\nCLS\r\nBAR 0,0,3,3\r\nPRINT 1\r\n");
  ASSERT_EQ(p.images.size(), 1u);
  EXPECT_EQ(p.images[0].width, 80);
  EXPECT_EQ(p.images[0].dots(), 9);
}

} // namespace
} // namespace zarn::emu::test
