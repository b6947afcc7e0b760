// SPDX-License-Identifier: MIT
// The emulated USB printer, driven through the real libusb: if these pass,
// the library's USB tests talk to something that behaves like hardware.
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/handle.hpp"
#include "common/protocol.hpp"
#include "fake_printer.hpp" // ZARN_REQUIRE_FAKE
#include "usb_printer_sim.hpp"

using namespace std::chrono_literals;
using zarn::usbsim::DeviceSpec;
using zarn::usbsim::UsbPrinterSim;
constexpr auto kOut = zarn::usbsim::kEndpointOut;
constexpr auto kIn = zarn::usbsim::kEndpointIn;

namespace {

std::vector<uint8_t> bytes(const std::string &s) { return {s.begin(), s.end()}; }

using ContextPtr = zarn::Owned<libusb_context, libusb_exit>;
using HandlePtr = zarn::Owned<libusb_device_handle, libusb_close>;

ContextPtr make_context()
{
  libusb_context *ctx = nullptr;
  return ContextPtr(libusb_init(&ctx) == 0 ? ctx : nullptr);
}

// Opens the n-th listed device with the given vendor ID.
libusb_device_handle *open_vendor(libusb_context *ctx, uint16_t vendor, int nth = 0)
{
  libusb_device **list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  libusb_device_handle *h = nullptr;
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(list[i], &desc);
    if (desc.idVendor == vendor && nth-- == 0) {
      if (libusb_open(list[i], &h) != 0)
        h = nullptr;
      break;
    }
  }
  if (list)
    libusb_free_device_list(list, 1);
  return h;
}

int bulk(libusb_device_handle *h, uint8_t ep, std::vector<uint8_t> &buf, unsigned timeout_ms,
         int *transferred)
{
  return libusb_bulk_transfer(h, ep, buf.data(), static_cast<int>(buf.size()), transferred,
                              timeout_ms);
}

// The child process for RunChild: opens the printer, answers its greeting.
int child_main()
{
  const ContextPtr c = make_context();
  if (!c.get())
    return 10;
  HandlePtr h;
  h.reset(open_vendor(c.get(), zarn::usbsim::kVendorId));
  if (!h.get())
    return 11;
  libusb_detach_kernel_driver(h.get(), 0);
  if (libusb_claim_interface(h.get(), 0) != 0)
    return 12;
  std::vector<uint8_t> hello = bytes("hello\r\n"), reply(64);
  int n = 0;
  if (bulk(h.get(), zarn::usbsim::kEndpointOut, hello, 2000, &n) != 0 || n != 7)
    return 13;
  if (bulk(h.get(), zarn::usbsim::kEndpointIn, reply, 2000, &n) != 0)
    return 14;
  std::vector<uint8_t> answer = bytes("got ");
  answer.insert(answer.end(), reply.begin(), reply.begin() + n);
  if (bulk(h.get(), zarn::usbsim::kEndpointOut, answer, 2000, &n) != 0)
    return 15;
  libusb_release_interface(h.get(), 0);
  libusb_attach_kernel_driver(h.get(), 0);
  return 0;
}

[[maybe_unused]] const bool child_mode = [] {
  if (std::getenv("ZARN_USBSIM_CHILD"))
    _exit(child_main());
  return false;
}();

class UsbSim : public ::testing::Test {
 protected:
  void SetUp() override
  {
    sim = std::make_unique<UsbPrinterSim>();
    ZARN_REQUIRE_FAKE(
        UsbPrinterSim::available(),
        "not running under umockdev-wrapper: the emulated USB printer is unavailable");
  }
  void TearDown() override
  {
    handle.reset();
    ctx.reset();
    sim.reset();
  }
  // Adds a device, starts libusb, opens it and claims interface 0.
  void open_claimed(const DeviceSpec &device = {})
  {
    sim->add_device(device);
    ctx = make_context();
    ASSERT_NE(ctx.get(), nullptr);
    handle.reset(open_vendor(ctx.get(), device.vendor));
    ASSERT_NE(handle.get(), nullptr);
    libusb_detach_kernel_driver(handle.get(), 0);
    ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);
  }

  std::unique_ptr<UsbPrinterSim> sim;
  ContextPtr ctx;
  HandlePtr handle;
};

TEST_F(UsbSim, EnumeratesDevicesWithTheirDescriptors)
{
  sim->add_device();
  sim->add_device({.serial = "ZT0002"});
  sim->add_device({.vendor = 0x0bda, .product = 0x8153});
  const ContextPtr c = make_context();
  libusb_device **list = nullptr;
  ssize_t n = libusb_get_device_list(c.get(), &list);
  ASSERT_EQ(n, 3);
  std::vector<int> printers; // device numbers in list order
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor desc{};
    ASSERT_EQ(libusb_get_device_descriptor(list[i], &desc), 0);
    EXPECT_EQ(libusb_get_bus_number(list[i]), 1);
    EXPECT_EQ(libusb_get_device_speed(list[i]), LIBUSB_SPEED_HIGH);
    if (desc.idVendor != zarn::usbsim::kVendorId) {
      EXPECT_EQ(desc.idVendor, 0x0bda);
      EXPECT_EQ(libusb_get_device_address(list[i]), sim->devnum(2));
      continue;
    }
    printers.push_back(libusb_get_device_address(list[i]));
    EXPECT_EQ(desc.idProduct, zarn::usbsim::kProductId);
    EXPECT_EQ(desc.bNumConfigurations, 1);
    libusb_config_descriptor *config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(list[i], &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface_descriptor &alt = config->interface[0].altsetting[0];
    EXPECT_EQ(alt.bInterfaceNumber, 0);
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, kOut);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, kIn);
    for (int e = 0; e < 2; ++e) {
      EXPECT_EQ(alt.endpoint[e].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
      EXPECT_EQ(alt.endpoint[e].wMaxPacketSize, 512);
    }
    libusb_free_config_descriptor(config);
  }
  libusb_free_device_list(list, 1);
  std::sort(printers.begin(), printers.end());
  EXPECT_EQ(printers, (std::vector<int>{sim->devnum(0), sim->devnum(1)}));

  // String descriptors travel as control transfers on endpoint 0.
  HandlePtr h;
  h.reset(open_vendor(c.get(), zarn::usbsim::kVendorId));
  ASSERT_NE(h.get(), nullptr);
  libusb_device_descriptor desc{};
  libusb_get_device_descriptor(libusb_get_device(h.get()), &desc);
  unsigned char text[64] = {};
  ASSERT_GT(libusb_get_string_descriptor_ascii(h.get(), desc.iSerialNumber, text, sizeof text), 0);
  const int opened =
      libusb_get_device_address(libusb_get_device(h.get())) == sim->devnum(0) ? 0 : 1;
  EXPECT_STREQ(reinterpret_cast<char *>(text), opened == 0 ? "ZT0001" : "ZT0002");
  EXPECT_EQ(sim->open_count(opened), 1);
  EXPECT_EQ(sim->open_count(1 - opened), 0);
}

TEST_F(UsbSim, KernelDriverAndInterfaceFollowTheKernelsRules)
{
  sim->add_device();
  ctx = make_context();
  handle.reset(open_vendor(ctx.get(), zarn::usbsim::kVendorId));
  ASSERT_NE(handle.get(), nullptr);
  EXPECT_EQ(sim->open_count(), 1);
  EXPECT_TRUE(sim->is_open());
  EXPECT_TRUE(sim->driver_attached());
  EXPECT_EQ(libusb_kernel_driver_active(handle.get(), 0), 1);
  EXPECT_EQ(libusb_claim_interface(handle.get(), 0), LIBUSB_ERROR_BUSY);

  EXPECT_EQ(libusb_detach_kernel_driver(handle.get(), 0), 0);
  EXPECT_FALSE(sim->driver_attached());
  EXPECT_EQ(libusb_detach_kernel_driver(handle.get(), 0), LIBUSB_ERROR_NOT_FOUND);
  ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);
  EXPECT_TRUE(sim->interface_claimed());
  EXPECT_EQ(libusb_kernel_driver_active(handle.get(), 0), 0); // usbfs holds it now
  EXPECT_EQ(libusb_attach_kernel_driver(handle.get(), 0), LIBUSB_ERROR_BUSY);

  EXPECT_EQ(libusb_release_interface(handle.get(), 0), 0);
  EXPECT_FALSE(sim->interface_claimed());
  EXPECT_EQ(libusb_attach_kernel_driver(handle.get(), 0), 0);
  EXPECT_TRUE(sim->driver_attached());
  handle.reset();
  EXPECT_TRUE(sim->wait_closed(2s));
  EXPECT_FALSE(sim->is_open());
}

TEST_F(UsbSim, UnboundDeviceAndClaimDroppedOnClose)
{
  sim->add_device({.driver_bound = false});
  ctx = make_context();
  handle.reset(open_vendor(ctx.get(), zarn::usbsim::kVendorId));
  ASSERT_NE(handle.get(), nullptr);
  EXPECT_EQ(libusb_kernel_driver_active(handle.get(), 0), 0);
  EXPECT_EQ(libusb_detach_kernel_driver(handle.get(), 0), LIBUSB_ERROR_NOT_FOUND);
  ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);
  ASSERT_EQ(libusb_release_interface(handle.get(), 0), 0);
  // No driver binds again, and libusb reports that.
  EXPECT_EQ(libusb_attach_kernel_driver(handle.get(), 0), LIBUSB_ERROR_NOT_FOUND);
  EXPECT_FALSE(sim->driver_attached());

  // Closing with the interface still claimed gives it up, as usbfs does.
  ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);
  handle.reset();
  ASSERT_TRUE(sim->wait_closed(2s));
  EXPECT_FALSE(sim->interface_claimed());
}

TEST_F(UsbSim, BulkOutRecordsEveryTransferInOrder)
{
  ASSERT_NO_FATAL_FAILURE(open_claimed());
  std::vector<uint8_t> line = bytes("SIZE 40 mm,30 mm\r\n"), empty, big(1 << 20);
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
  int n = -1;
  ASSERT_EQ(bulk(handle.get(), kOut, line, 5000, &n), 0);
  EXPECT_EQ(n, static_cast<int>(line.size()));
  ASSERT_EQ(libusb_bulk_transfer(handle.get(), kOut, nullptr, 0, &n, 0), 0);
  EXPECT_EQ(n, 0);
  ASSERT_EQ(bulk(handle.get(), kOut, big, 0, &n), 0);
  EXPECT_EQ(n, 1 << 20);

  EXPECT_EQ(sim->out_transfers(), (std::vector<size_t>{line.size(), 0, big.size()}));
  std::vector<uint8_t> expected = line;
  expected.insert(expected.end(), big.begin(), big.end());
  EXPECT_TRUE(sim->out_bytes() == expected) << "OUT bytes differ from what was sent";

  sim->clear_out();
  EXPECT_TRUE(sim->out_bytes().empty());
  EXPECT_TRUE(sim->out_transfers().empty());
}

TEST_F(UsbSim, BulkInDeliversOneChunkPerTransfer)
{
  ASSERT_NO_FATAL_FAILURE(open_claimed());
  sim->queue_in(bytes("ABC"));
  sim->queue_in(bytes("ENDLINE\r\n"));
  std::vector<uint8_t> buf(65535);
  int n = -1;
  ASSERT_EQ(bulk(handle.get(), kIn, buf, 1000, &n), 0);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + n), "ABC");
  ASSERT_EQ(bulk(handle.get(), kIn, buf, 1000, &n), 0);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + n), "ENDLINE\r\n");

  // A chunk longer than the host's buffer spills into the next transfer.
  sim->queue_in(bytes("0123456789"));
  std::vector<uint8_t> small(4);
  ASSERT_EQ(bulk(handle.get(), kIn, small, 1000, &n), 0);
  EXPECT_EQ(std::string(small.begin(), small.begin() + n), "0123");
  ASSERT_EQ(bulk(handle.get(), kIn, buf, 1000, &n), 0);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + n), "456789");
  EXPECT_EQ(sim->in_queued(), 0u);
}

TEST_F(UsbSim, BulkInTimesOutAndTheReplyWaitsForTheNextTransfer)
{
  ASSERT_NO_FATAL_FAILURE(open_claimed());
  std::vector<uint8_t> buf(65535);
  int n = -1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(bulk(handle.get(), kIn, buf, 200, &n), LIBUSB_ERROR_TIMEOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 190ms);
  EXPECT_LT(waited, 3s);
  EXPECT_EQ(n, 0);
  // The cancelled transfer must not swallow a reply queued afterwards.
  sim->queue_in(bytes("late"));
  ASSERT_EQ(bulk(handle.get(), kIn, buf, 1000, &n), 0);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + n), "late");
}

TEST_F(UsbSim, PrinterLogicAnswersThroughHandlerAndProvider)
{
  // The emulator's shape: a parser fed from OUT, replies produced on demand.
  ASSERT_NO_FATAL_FAILURE(open_claimed());
  std::mutex m;
  std::string seen;
  int asked = 0;
  sim->set_out_handler([&](const uint8_t *p, size_t len) {
    std::lock_guard lk(m);
    seen.append(reinterpret_cast<const char *>(p), len);
  });
  sim->set_in_provider([&]() -> std::optional<std::vector<uint8_t>> {
    std::lock_guard lk(m);
    ++asked;
    if (seen.find(zarn::protocol::kNameRequest) == std::string::npos)
      return std::nullopt;
    seen.clear();
    return bytes("ZT410\r\n");
  });
  std::vector<uint8_t> query = bytes(zarn::protocol::kNameRequest), buf(65535);
  int n = -1;
  ASSERT_EQ(bulk(handle.get(), kOut, query, 1000, &n), 0);
  ASSERT_EQ(bulk(handle.get(), kIn, buf, 1000, &n), 0);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + n), "ZT410\r\n");
  EXPECT_TRUE(sim->out_bytes().empty()) << "bytes went to the handler, not the record";
  // Nothing asked, nothing answered: the provider keeps saying "not yet".
  EXPECT_EQ(bulk(handle.get(), kIn, buf, 100, &n), LIBUSB_ERROR_TIMEOUT);
  std::lock_guard lk(m);
  EXPECT_GE(asked, 2);
}

TEST_F(UsbSim, PausedPrinterHoldsOutTransfersUntilResumed)
{
  ASSERT_NO_FATAL_FAILURE(open_claimed());
  sim->pause_out(true);
  std::vector<uint8_t> first = bytes("CLS\r\n"), second = bytes("PRINT 1,1\r\n");
  int n = -1;
  EXPECT_EQ(bulk(handle.get(), kOut, first, 200, &n), LIBUSB_ERROR_TIMEOUT);
  EXPECT_TRUE(sim->out_transfers().empty());

  // Sent while paused, completed once the printer resumes.
  std::thread resume([&] {
    std::this_thread::sleep_for(100ms);
    sim->pause_out(false);
  });
  EXPECT_EQ(bulk(handle.get(), kOut, second, 5000, &n), 0);
  resume.join();
  EXPECT_EQ(n, static_cast<int>(second.size()));
  EXPECT_EQ(sim->out_bytes(), second);
}

TEST_F(UsbSim, UnplugFailsPendingAndLaterTransfers)
{
  ASSERT_NO_FATAL_FAILURE(open_claimed());
  int result = 0;
  std::thread reader([&] {
    std::vector<uint8_t> buf(65535);
    int n = 0;
    result = bulk(handle.get(), kIn, buf, 5000, &n);
  });
  std::this_thread::sleep_for(100ms);
  auto start = std::chrono::steady_clock::now();
  sim->unplug();
  reader.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "the transfer waited for its time-out";
  EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);

  std::vector<uint8_t> line = bytes("CLS\r\n");
  int n = -1;
  EXPECT_EQ(bulk(handle.get(), kOut, line, 1000, &n), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_TRUE(sim->out_bytes().empty());

  // A fresh enumeration no longer lists it.
  const ContextPtr fresh = make_context();
  libusb_device **list = nullptr;
  EXPECT_EQ(libusb_get_device_list(fresh.get(), &list), 0);
  libusb_free_device_list(list, 1);

  libusb_release_interface(handle.get(), 0);
  handle.reset();
  EXPECT_TRUE(sim->wait_closed(2s));
}

// The emulator's set-up: the parent needs no preload of its own, the child
// gets it from run_child.
TEST(UsbSimChild, ChildProcessSeesTheDevice)
{
  auto sim = std::make_unique<UsbPrinterSim>();
  sim->add_device();
  sim->queue_in(bytes("welcome"));
  setenv("ZARN_USBSIM_CHILD", "1", 1);
  int rc = sim->run_child({"/proc/self/exe"});
  unsetenv("ZARN_USBSIM_CHILD");
  EXPECT_EQ(rc, 0) << "child failed at step " << rc;
  EXPECT_EQ(sim->out_bytes(), bytes("hello\r\ngot welcome"));
  EXPECT_EQ(sim->out_transfers(), (std::vector<size_t>{7, 11}));
  EXPECT_TRUE(sim->wait_closed(2s));
  EXPECT_TRUE(sim->driver_attached());
}

} // namespace
