// SPDX-License-Identifier: MIT
// Over USB (the real libusb against the umockdev printer): the decoded
// status tells the byte 0x52 from a failed transfer and from silence, and the
// doctor's fact gathering finds the printer the way openport("USB") does.
#include "doctor.hpp"
#include "fake_printer.hpp"
#include "usb_printer_sim.hpp"
#include "zarn.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>

namespace zarn::cli::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
// libzarn's USB transfer limit: silence on USB is told by the time it took.
constexpr auto kWait = 9500ms;

class UsbCli : public ::testing::Test {
 protected:
  void SetUp() override
  {
    sim = std::make_unique<usbsim::UsbPrinterSim>();
    ZARN_REQUIRE_FAKE(usbsim::UsbPrinterSim::available(),
                      "not running under umockdev-wrapper: no emulated USB printer");
  }
  void TearDown() override
  {
    sim.reset(); // after every Printer of the test has closed its libusb context
  }
  // The printer answers each status request with `status`, unless mute.
  void answer_status()
  {
    sim->set_out_handler([this](const std::uint8_t *data, std::size_t size) {
      const std::string got(reinterpret_cast<const char *>(data), size);
      if (!mute && got.find(protocol::kStatusRequest) != std::string::npos)
        sim->queue_in({status.load()});
    });
  }

  std::unique_ptr<usbsim::UsbPrinterSim> sim;
  std::atomic<std::uint8_t> status{0};
  std::atomic<bool> mute{false};
};

TEST_F(UsbCli, StatusTellsTheByte0x52FromAFailedTransferAndFromSilence)
{
  sim->add_device();
  answer_status();
  {
    Printer p = Printer::usb({2s, 20ms});
    EXPECT_TRUE(p.status().ready());
    status = 0x52;
    EXPECT_EQ(p.status(), Status::from_byte(0x52));
    status = 0x84;
    EXPECT_EQ(p.status().text(), "paper out, temperature out of range");

    mute = true; // the transfer times out: printerstatus() gives 82 after the wait
    auto t0 = Clock::now();
    EXPECT_EQ(p.status().reply, Status::Reply::no_reply);
    EXPECT_GE(Clock::now() - t0, kWait);

    sim->unplug(); // every transfer fails at once: also 82, but a failure
    t0 = Clock::now();
    EXPECT_EQ(p.status().reply, Status::Reply::receive_failed);
    EXPECT_LT(Clock::now() - t0, kWait);
    EXPECT_EQ(p.wait_until_printed(1s), WaitOutcome::no_reply);
  }
}

TEST_F(UsbCli, DoctorFindsThePrinterAsOpenportDoes)
{
  usbsim::DeviceSpec other;
  other.vendor = 0x046d;
  other.product = 0xc52b;
  other.product_name = "Receiver";
  sim->add_device(other);
  sim->add_device(); // usblp holds interface 0
  usbsim::DeviceSpec second;
  second.driver_bound = false;
  second.serial = "ZT0002";
  sim->add_device(second);

  const Facts facts = gather(Address{});
  ASSERT_EQ(facts.usb.size(), 3u);
  const auto printer = std::find_if(facts.usb.begin(), facts.usb.end(), [](const UsbDevice &d) {
    return d.vendor == protocol::kVendorId;
  });
  ASSERT_NE(printer, facts.usb.end());
  // openport("USB") opens the same device (gathering opened them all to try).
  const int before[] = {sim->open_count(1), sim->open_count(2)};
  {
    Printer p = Printer::usb();
  }
  const int opened = sim->open_count(1) > before[0] ? 1 : 2;
  EXPECT_EQ(sim->open_count(3 - opened), before[2 - opened]) << "both were opened";
  EXPECT_EQ(printer->node.path, sim->devnode(opened));
  EXPECT_EQ(printer->serial, opened == 1 ? "ZT0001" : "ZT0002");
  EXPECT_EQ(printer->product_name, "Zarn Label Printer");
  EXPECT_TRUE(printer->node.can_open);
  EXPECT_EQ(printer->interface0_driver, opened == 1 ? "usblp" : "");

  const std::string text = render(diagnose(facts));
  char found[64];
  std::snprintf(found, sizeof found, "ok: found the USB printer on bus 001 address %03d",
                sim->devnum(opened));
  EXPECT_NE(text.find(found), std::string::npos) << text;
  EXPECT_NE(text.find("1 more device(s) with vendor ID 0x1203"), std::string::npos) << text;
  EXPECT_NE(text.find("no problems found"), std::string::npos) << text;
}

TEST_F(UsbCli, DoctorListsWhatItSawWhenNoDeviceHasTheVendorId)
{
  usbsim::DeviceSpec other;
  other.vendor = 0x046d;
  other.product = 0xc52b;
  other.manufacturer = "Logitech";
  other.product_name = "Receiver";
  sim->add_device(other);
  const std::string text = render(diagnose(gather(Address{})));
  EXPECT_NE(text.find("problem: no USB device with vendor ID 0x1203"), std::string::npos) << text;
  EXPECT_NE(text.find("Bus 001 Device 002: ID 046d:c52b Logitech Receiver"), std::string::npos)
      << text;
  try {
    Printer::usb();
    ADD_FAILURE() << "opened a printer that is not there";
  } catch (const ConnectError &e) {
    EXPECT_NE(std::string(e.what()).find("cannot open the USB printer"), std::string::npos);
  }
}

} // namespace
} // namespace zarn::cli::test
