// SPDX-License-Identifier: MIT
// Base fixture of the USB suites: an emulated printer attached and opened
// through the public openport("USB"). Only tests that link zarn_usbmock
// (usb_test_*.cpp, run under umockdev-wrapper) include it.
#pragma once

#include "fake_printer.hpp"
#include "usb_printer_sim.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zarn::test {

// Answers like a printer: once request has arrived on bulk OUT (counted from
// this call on), each text completes one bulk IN transfer, in order ("" is a
// zero-length transfer). Replaces any answers given before.
inline void answer_after(zarn::usbsim::UsbPrinterSim &sim, std::string request,
                         std::vector<std::string> transfers)
{
  struct Pending {
    std::mutex m;
    std::string request;
    std::size_t from = 0;
    std::deque<std::string> left;
  };
  auto pending = std::make_shared<Pending>();
  pending->request = std::move(request);
  pending->from = sim.out_bytes().size();
  pending->left.assign(transfers.begin(), transfers.end());
  sim.set_in_provider([pending, &sim]() -> std::optional<std::vector<std::uint8_t>> {
    std::lock_guard lock(pending->m);
    if (pending->left.empty())
      return std::nullopt;
    const std::vector<std::uint8_t> out = sim.out_bytes();
    const std::string since(
        out.begin() + static_cast<std::ptrdiff_t>(std::min(pending->from, out.size())), out.end());
    if (since.find(pending->request) == std::string::npos)
      return std::nullopt;
    std::string next = std::move(pending->left.front());
    pending->left.pop_front();
    return std::vector<std::uint8_t>(next.begin(), next.end());
  });
}

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
