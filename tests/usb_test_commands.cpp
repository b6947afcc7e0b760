// SPDX-License-Identifier: MIT
// Label lines and the DOWNLOAD block over USB, seen by the emulated printer
// on bulk OUT 0x01: the same bytes as over TCP, one transfer per send.
#include "usb_printer_test.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using zarn::usbsim::UsbPrinterSim;
namespace fs = std::filesystem;

using zarn::test::since;
using zarn::test::text;

namespace {

using UsbCommands = zarn::test::UsbPrinterTest;

TEST_F(UsbCommands, EachLineIsOneTransfer)
{
  EXPECT_EQ(setup(text("100"), text("60"), text("4"), text("8"), text("0"), text("3"), text("0")),
            1);
  EXPECT_EQ(
      printerfont(text("10"), text("20"), text("3"), text("0"), text("1"), text("1"), text("@VAR")),
      1);
  EXPECT_EQ(printlabel(text("1"), text("1")), 1);
  EXPECT_EQ(nobackfeed(), 1);
  const std::string expected = "SIZE 100 mm,60 mm\r\nSPEED 4\r\nDENSITY 8\r\nGAP 3 mm,0 mm\r\n"
                               "TEXT 10,20,\"3\",0,1,1,@VAR\r\nPRINT 1,1\r\n"
                               "SET STRIPER OFF\r\nSET TEAR OFF\r\n";
  ASSERT_TRUE(sim->wait_out_transfers(8, 5s));
  EXPECT_EQ(out_text(), expected);
  EXPECT_EQ(sim->out_transfers(), (std::vector<size_t>{19, 9, 11, 15, 27, 11, 17, 14}));
}

TEST_F(UsbCommands, DownloadIsHeaderDataAndLineBreak)
{
  const std::string dir = fs::temp_directory_path();
  const std::string file = dir + "/zarn-usb-" + std::to_string(getpid());
  const std::string bytes("\0\xFF\r\n\x1B!?", 7);
  std::ofstream(file, std::ios::binary) << bytes;
  std::ofstream(file + ".empty", std::ios::binary).flush();

  EXPECT_EQ(downloadpcx(text(file), text("A.BIN")), 1);
  EXPECT_EQ(downloadpcx(text(file + ".empty"), text("E")), 1);
  fs::remove(file);
  fs::remove(file + ".empty");

  // The empty file's data send is a zero-length transfer of its own.
  ASSERT_TRUE(sim->wait_out_transfers(6, 5s));
  EXPECT_EQ(out_text(),
            "DOWNLOAD F,\"A.BIN\",7," + bytes + "\r\n\r\n" + "DOWNLOAD F,\"E\",0,\r\n\r\n");
  EXPECT_EQ(sim->out_transfers(), (std::vector<size_t>{21, 7, 4, 17, 0, 4}));
}

} // namespace
