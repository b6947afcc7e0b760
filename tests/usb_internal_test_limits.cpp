// SPDX-License-Identifier: MIT
// The USB time limits, shortened so that waiting them out takes a fraction
// of a second: a silent printer fails the reply after the transfer limit, a
// busy one fails a command after the command limit, while raw data waits
// as long as the printer needs.
#include "port/limits.hpp"
#include "usb_printer_test.hpp"
#include "wire.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace zarn::test;
using namespace std::chrono_literals;
using zarn::port::limits;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kReceive = 400ms;
constexpr auto kCommand = 300ms;

class UsbLimits : public UsbPrinterTest {
 protected:
  void SetUp() override
  {
    limits().usb_receive_ms = static_cast<int>(kReceive.count());
    limits().usb_command_send_ms = static_cast<int>(kCommand.count());
    UsbPrinterTest::SetUp();
  }
  void TearDown() override
  {
    UsbPrinterTest::TearDown();
    limits() = saved_;
  }
  zarn::port::Limits saved_ = limits();
};

TEST_F(UsbLimits, SilentPrinterFailsTheStatusAfterTheTransferLimit)
{
  const auto start = Clock::now();
  EXPECT_EQ(printerstatus(), 'R');
  EXPECT_GE(since(start), kReceive);
  EXPECT_LT(since(start), kReceive + 3s);
}

TEST_F(UsbLimits, BusyPrinterFailsACommandAfterItsLimitButNotBinaryData)
{
  sim->pause_out(true);
  const auto start = Clock::now();
  EXPECT_EQ(sendcommand(text("CLS")), 0);
  EXPECT_GE(since(start), kCommand - 20ms);
  EXPECT_LT(since(start), kCommand + 3s);
  EXPECT_EQ(openportStatus, 1) << "a failed send leaves the connection open";
  EXPECT_TRUE(sim->out_transfers().empty());

  // Raw data waits as long as the printer needs, here well past that limit.
  std::thread resume([&] {
    std::this_thread::sleep_for(3 * kCommand);
    sim->pause_out(false);
  });
  unsigned char block[3] = {1, 2, 3};
  EXPECT_EQ(sendBinaryData(block, 3), 1);
  resume.join();
  EXPECT_EQ(sim->out_bytes(), (std::vector<uint8_t>{1, 2, 3}));
}

} // namespace
