// The same label lines and DOWNLOAD block over the serial line (a pty):
// the commands do not depend on the port kind, and the line passes binary
// bytes unchanged.
#include "fake_printer.h"
#include "zarn.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace zarn::test;
namespace fs = std::filesystem;

namespace {

class SerialCommands : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ZARN_REQUIRE_FAKE(printer.problem().empty(), printer.problem());
    ASSERT_EQ(openport(text(printer.port_name())), 1);
  }
  void TearDown() override { closeport(); }

  void expect_wire(const std::string &expected)
  {
    ASSERT_EQ(sendcommand(text("~END~")), 1);
    const std::string all = expected + "~END~\r\n";
    ASSERT_TRUE(printer.wait_for_bytes(all.size(), 20s));
    EXPECT_TRUE(printer.received() == all) << printer.received().size() << " bytes";
    printer.clear_received();
  }

  FakeSerialPrinter printer;
};

TEST_F(SerialCommands, LabelLines)
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

TEST_F(SerialCommands, DownloadOfBinaryAndEmptyFiles)
{
  // Every byte value, control characters a cooked line would eat included.
  std::string bytes;
  for (int round = 0; round < 64; ++round)
    for (int b = 0; b < 256; ++b)
      bytes += static_cast<char>(b);
  const fs::path dir = fs::temp_directory_path();
  const std::string file = (dir / ("zarn-serial-" + std::to_string(getpid()))).string();
  const std::string empty = file + ".empty";
  std::ofstream(file, std::ios::binary) << bytes;
  std::ofstream(empty, std::ios::binary).flush();

  EXPECT_EQ(downloadpcx(text(file), text("ALL.BIN")), 1);
  EXPECT_EQ(downloadpcx(text(empty), text("E")), 1);
  fs::remove(file);
  fs::remove(empty);
  expect_wire("DOWNLOAD F,\"ALL.BIN\",16384," + bytes + "\r\n\r\nDOWNLOAD F,\"E\",0,\r\n\r\n");
}

} // namespace
