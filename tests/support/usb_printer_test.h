// Base fixture of the USB suites: an emulated printer attached and opened
// through the public openport("USB"). Only tests that link zarn_usbmock
// (usb_test_*.cpp, run under umockdev-wrapper) include it.
#pragma once

#include "fake_printer.h"
#include "usb_printer_sim.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace zarn::test {

class UsbPrinterTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    sim = std::make_unique<zarn::usbsim::UsbPrinterSim>();
    ZARN_REQUIRE_FAKE(zarn::usbsim::UsbPrinterSim::available(),
                      "not running under umockdev-wrapper: no emulated USB printer");
    sim->add_device();
    before_open();
    ASSERT_EQ(openport(const_cast<char *>("USB")), 1);
  }
  void TearDown() override
  {
    closeport(); // the library's libusb context must go before the testbed
    sim.reset();
  }
  // Runs after the device is attached and before the library opens it.
  virtual void before_open() {}

  // What arrived on bulk OUT so far, as text.
  std::string out_text() const
  {
    const std::vector<std::uint8_t> b = sim->out_bytes();
    return {b.begin(), b.end()};
  }

  std::unique_ptr<zarn::usbsim::UsbPrinterSim> sim;
};

} // namespace zarn::test
