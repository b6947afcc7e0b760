// SPDX-License-Identifier: MIT
// The USB connection through the public interface, against the emulated
// printer: which device openport picks, what it does to the kernel driver
// and interface, the connection state, and what sends put on bulk OUT.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_printer.hpp"
#include "host_calls.hpp"
#include "usb_printer_sim.hpp"
#include "zarn.h"

using namespace std::chrono_literals;
using zarn::usbsim::DeviceSpec;
using zarn::usbsim::UsbPrinterSim;

namespace {

using zarn::test::text;

class UsbPort : public ::testing::Test {
 protected:
  void SetUp() override
  {
    sim = std::make_unique<UsbPrinterSim>();
    ZARN_REQUIRE_FAKE(UsbPrinterSim::available(),
                      "not running under umockdev-wrapper: no emulated USB printer");
  }
  void TearDown() override
  {
    closeport(); // the library's libusb context must go before the testbed
    sim.reset();
  }

  // Index of the device that libusb lists first among the printer maker's.
  int first_listed_printer() const
  {
    libusb_context *c = nullptr;
    if (libusb_init(&c) != 0)
      return -1;
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(c, &list);
    int address = -1;
    for (ssize_t i = 0; i < n && address < 0; ++i) {
      libusb_device_descriptor desc{};
      libusb_get_device_descriptor(list[i], &desc);
      if (desc.idVendor == zarn::usbsim::kVendorId)
        address = libusb_get_device_address(list[i]);
    }
    if (list)
      libusb_free_device_list(list, 1);
    libusb_exit(c);
    for (int d = 0; d < sim->device_count(); ++d)
      if (sim->devnum(d) == address)
        return d;
    return -1;
  }

  std::string out_text(int dev = 0) const
  {
    const std::vector<uint8_t> b = sim->out_bytes(dev);
    return {b.begin(), b.end()};
  }

  void expect_closed_flags()
  {
    EXPECT_EQ(openportStatus, 0);
    EXPECT_EQ(openUsbPortResult, 0);
    EXPECT_EQ(openSerialPortResult, 0);
    EXPECT_EQ(openEthernetPortResult, 0);
  }

  std::unique_ptr<UsbPrinterSim> sim;
};

TEST_F(UsbPort, OpensTheFirstListedPrinterAndHandsItBackOnClose)
{
  sim->add_device({.vendor = 0x0bda, .product = 0x8153});
  sim->add_device({.serial = "ZT0001"});
  sim->add_device({.serial = "ZT0002"});
  const int first = first_listed_printer();
  ASSERT_GE(first, 1) << "libusb lists no printer";
  const int other = first == 1 ? 2 : 1;

  ASSERT_EQ(openport(text("USB")), 1);
  EXPECT_EQ(openportStatus, 1);
  EXPECT_EQ(openUsbPortResult, 1);
  EXPECT_EQ(openSerialPortResult, 0);
  EXPECT_EQ(openEthernetPortResult, 0);
  EXPECT_EQ(openDriverPortResult, 0);
  ASSERT_NE(dev_handle, nullptr);
  EXPECT_NE(ctx, nullptr);
  EXPECT_EQ(libusb_get_device_address(libusb_get_device(dev_handle)), sim->devnum(first));
  EXPECT_FALSE(sim->driver_attached(first));
  EXPECT_TRUE(sim->interface_claimed(first));
  EXPECT_EQ(sim->open_count(other), 0) << "only the first match is opened";
  EXPECT_EQ(sim->open_count(0), 0);
  EXPECT_TRUE(sim->driver_attached(other));

  // Sends go to the opened printer only.
  ASSERT_EQ(sendcommand(text("CLS")), 1);
  EXPECT_EQ(out_text(first), "CLS\r\n");
  EXPECT_TRUE(sim->out_bytes(other).empty());

  libusb_device_handle *const handle = dev_handle;
  EXPECT_EQ(closeport(), 1);
  expect_closed_flags();
  EXPECT_EQ(dev_handle, handle) << "the handle keeps its last value";
  ASSERT_TRUE(sim->wait_closed(2s, first));
  EXPECT_FALSE(sim->interface_claimed(first));
  EXPECT_TRUE(sim->driver_attached(first));
  EXPECT_EQ(closeport(), 0);
  EXPECT_EQ(sendcommand(text("CLS")), 0);
  EXPECT_EQ(out_text(first), "CLS\r\n");

  // Reopening takes the same printer again.
  ASSERT_EQ(openport(text("USB")), 1);
  EXPECT_EQ(sim->open_count(first), 2);
  EXPECT_TRUE(sim->interface_claimed(first));
}

TEST_F(UsbPort, NoPrinterOfTheMakerMeansNoConnection)
{
  EXPECT_EQ(openport(text("USB")), 0) << "no device at all";
  expect_closed_flags();

  sim->add_device({.vendor = 0x0bda, .product = 0x8153});
  EXPECT_EQ(openport(text("USB")), 0) << "only another maker's device";
  expect_closed_flags();
  EXPECT_EQ(sim->open_count(0), 0);

  sim->add_device();
  EXPECT_EQ(openport(text("usb")), 0) << "the name is case-sensitive";
  expect_closed_flags();
  EXPECT_EQ(sim->open_count(1), 0);
  EXPECT_EQ(sendBinaryData(reinterpret_cast<unsigned char *>(text("x")), 1), 0);
}

TEST_F(UsbPort, PrinterWithoutKernelDriverOpensTheSame)
{
  sim->add_device({.driver_bound = false});
  ASSERT_EQ(openport(text("USB")), 1);
  EXPECT_TRUE(sim->interface_claimed());
  ASSERT_EQ(sendcommand(text("FORMFEED")), 1);
  EXPECT_EQ(closeport(), 1);
  ASSERT_TRUE(sim->wait_closed(2s));
  EXPECT_FALSE(sim->interface_claimed());
  EXPECT_FALSE(sim->driver_attached());
  EXPECT_EQ(out_text(), "FORMFEED\r\n");
}

TEST_F(UsbPort, CommandsAreFramedOneTransferEach)
{
  sim->add_device();
  ASSERT_EQ(openport(text("USB")), 1);
  EXPECT_EQ(sendcommand(text("")), 1);
  EXPECT_EQ(sendcommand(text("PRINT 1,1\r\n")), 1);
  EXPECT_EQ(sendcommand(text("TEXT 10,10,\"3\",0,1,1,\"\xC3\xA9\"")), 1);
  EXPECT_EQ(out_text(), "\r\nPRINT 1,1\r\n\r\nTEXT 10,10,\"3\",0,1,1,\"\xC3\xA9\"\r\n");
  EXPECT_EQ(sim->out_transfers(), (std::vector<size_t>{2, 13, 27}));
}

TEST_F(UsbPort, BinaryDataGoesOutWholeIncludingNothing)
{
  sim->add_device();
  ASSERT_EQ(openport(text("USB")), 1);
  unsigned char none = 0;
  EXPECT_EQ(sendBinaryData(&none, 0), 1);
  EXPECT_EQ(sim->out_transfers(), (std::vector<size_t>{0})) << "one zero-length transfer";

  std::vector<unsigned char> big(4u << 20);
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<unsigned char>((i * 131) ^ (i >> 16));
  EXPECT_EQ(sendBinaryData(big.data(), static_cast<int>(big.size())), 1);
  EXPECT_EQ(sim->out_transfers(), (std::vector<size_t>{0, big.size()}));
  EXPECT_TRUE(sim->out_bytes() == std::vector<uint8_t>(big.begin(), big.end()))
      << "the 4 MiB block arrived changed";
}

TEST_F(UsbPort, UnpluggedPrinterFailsSendsAndCannotBeReopened)
{
  sim->add_device();
  ASSERT_EQ(openport(text("USB")), 1);
  ASSERT_EQ(sendcommand(text("CLS")), 1);
  sim->unplug();
  EXPECT_EQ(sendcommand(text("PRINT 1")), 0);
  unsigned char block[2] = {0x1b, '!'};
  EXPECT_EQ(sendBinaryData(block, 2), 0);
  EXPECT_EQ(openportStatus, 1);
  EXPECT_EQ(out_text(), "CLS\r\n");

  EXPECT_EQ(closeport(), 1);
  expect_closed_flags();
  EXPECT_TRUE(sim->wait_closed(2s));
  EXPECT_EQ(openport(text("USB")), 0);
  expect_closed_flags();
}

} // namespace
