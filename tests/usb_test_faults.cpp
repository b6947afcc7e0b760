// SPDX-License-Identifier: MIT
// Faults over USB against the emulated printer: the device unplugged while
// a transfer is pending, repeated opens, and a device descriptor numbered
// above 1024.
#include "faults.hpp"
#include "usb_printer_test.hpp"
#include "wire.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>

using namespace zarn::test;
using namespace std::chrono_literals;
using zarn::usbsim::UsbPrinterSim;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::uint8_t> bytes(const std::string &s) { return {s.begin(), s.end()}; }

// Without the unplug each of these calls would wait for its transfer's own
// limit (5 s, 10 s) or forever; well under that shows the unplug ended it.
constexpr auto kPrompt = 3s;

class UsbFaults : public UsbPrinterTest {
 protected:
  void before_open() override
  {
    // One open and close first: umockdev and GLib make descriptors of their
    // own on first use, which are not the library's.
    ASSERT_EQ(openport(text("USB")), 1);
    ASSERT_EQ(closeport(), 1);
    std::this_thread::sleep_for(100ms);
    fds_before_ = open_descriptor_count();
  }
  // Unplugs the device after a pause, from another thread.
  std::future<void> unplug_later(std::chrono::milliseconds pause = 200ms)
  {
    return std::async(std::launch::async, [this, pause] {
      std::this_thread::sleep_for(pause);
      sim->unplug();
    });
  }
  // After an unplug: every later call fails quietly, closing still releases
  // everything, and a newly attached printer opens and works.
  void expect_dead_then_recovers()
  {
    EXPECT_EQ(openportStatus, 1) << "a failed transfer leaves the connection open";
    EXPECT_EQ(sendcommand(text("CLS")), 0);
    EXPECT_EQ(take_reply(Read(text(""))), "Receive Failed\r\n");
    EXPECT_EQ(printerstatus(), 82);
    EXPECT_EQ(closeport(), 1);
    // The emulator drops its side of a client on its own thread: fewer is fine.
    EXPECT_LE(settled_descriptor_count(fds_before_), fds_before_);

    const int second = sim->add_device();
    ASSERT_EQ(openport(text("USB")), 1);
    EXPECT_EQ(sendcommand(text("CLS")), 1);
    EXPECT_EQ(sim->out_bytes(second), bytes("CLS\r\n"));
  }

  int fds_before_ = 0;
};

TEST_F(UsbFaults, UnplugDuringABinarySendEndsItWithZero)
{
  // sendBinaryData waits without limit over USB: only the unplug ends it.
  std::string block = patterned(1u << 20, 21);
  sim->pause_out(true);
  auto unplug = unplug_later();
  const auto start = Clock::now();
  EXPECT_EQ(sendBinaryData(bytes_of(block), static_cast<int>(block.size())), 0);
  EXPECT_LT(Clock::now() - start, kPrompt);
  unplug.get();
  expect_dead_then_recovers();
}

TEST_F(UsbFaults, UnplugDuringACommandSendEndsItBeforeItsLimit)
{
  sim->pause_out(true);
  auto unplug = unplug_later();
  const auto start = Clock::now();
  EXPECT_EQ(sendcommand(text("PRINT 1,1")), 0);
  EXPECT_LT(Clock::now() - start, kPrompt);
  unplug.get();
  expect_dead_then_recovers();
}

TEST_F(UsbFaults, UnplugWhileWaitingForTheFirstReplyPiece)
{
  auto unplug = unplug_later();
  const auto start = Clock::now();
  EXPECT_EQ(printerstatus(), 82) << "a failed USB receive gives the failure text";
  EXPECT_LT(Clock::now() - start, kPrompt);
  unplug.get();
  expect_dead_then_recovers();
}

TEST_F(UsbFaults, UnplugWhileGatheringTheRestOfAReply)
{
  answer_after(*sim, kEndLineWire, {"partial output"});
  auto unplug = unplug_later();
  const auto start = Clock::now();
  EXPECT_EQ(take_reply(sendcommand_getstring(text("DIR"))), "Receive Failed\r\n");
  EXPECT_LT(Clock::now() - start, kPrompt);
  unplug.get();
  expect_dead_then_recovers();
}

// Descriptors only: the emulated printer lives in this process and keeps
// records of every open until it is destroyed (and a destroyed testbed
// keeps descriptors of its own), so the heap cannot be told apart from the
// library's here. Leaks show in the sanitizer run instead.
TEST(UsbCycles, AThousandOpenCloseCyclesKeepDescriptorsFlat)
{
  auto sim = std::make_unique<UsbPrinterSim>();
  ZARN_REQUIRE_FAKE(UsbPrinterSim::available(),
                    "not running under umockdev-wrapper: no emulated USB printer");
  sim->add_device();
  std::atomic<std::size_t> out{0};
  sim->set_out_handler([&out](const std::uint8_t *, std::size_t n) { out += n; });
  // Warm-up: umockdev and GLib make descriptors of their own on first use.
  ASSERT_EQ(openport(text("USB")), 1);
  ASSERT_EQ(closeport(), 1);
  std::this_thread::sleep_for(100ms);
  const int fds = open_descriptor_count();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(openport(text("USB")), 1) << "cycle " << i;
    ASSERT_EQ(sendcommand(text("CLS")), 1);
    ASSERT_EQ(closeport(), 1);
  }
  // A leak would add one a cycle; the emulator may close its side late.
  EXPECT_LE(settled_descriptor_count(fds), fds);
  EXPECT_EQ(out.load(), 5u * 1000);
  EXPECT_EQ(sim->open_count(), 1001);
  EXPECT_FALSE(sim->interface_claimed());
  EXPECT_TRUE(sim->driver_attached());
}

TEST(UsbHighDescriptor, EveryReceivePathWorks)
{
  HighDescriptors high;
  ZARN_REQUIRE_FAKE(high.ok(), high.why());
  auto sim = std::make_unique<UsbPrinterSim>();
  ZARN_REQUIRE_FAKE(UsbPrinterSim::available(),
                    "not running under umockdev-wrapper: no emulated USB printer");
  sim->add_device();
  ASSERT_EQ(openport(text("USB")), 1);
  // libusb keeps the device node open on a descriptor of its own.
  int device_fd = -1;
  for (int fd = 1025; fd < 1300 && device_fd < 0; ++fd)
    if (descriptor_target(fd).find("bus/usb") != std::string::npos)
      device_fd = fd;
  EXPECT_GT(device_fd, 1024) << "the device is not open above 1024";

  answer_after(*sim, kStatusWire, {"\x20"});
  EXPECT_EQ(printerstatus(), 32);
  answer_after(*sim, kNameWire, {"ZP-1"});
  EXPECT_EQ(take_reply(printername()), "ZP-1");
  answer_after(*sim, kEndLineWire, {"A", "B", "ENDLINE\r\nX"});
  EXPECT_EQ(take_reply(sendcommand_getstring(text("DIR"))), "AB");
  closeport();
  sim.reset();
}

} // namespace
