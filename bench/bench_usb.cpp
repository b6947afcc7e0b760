// SPDX-License-Identifier: MIT
// A status query over USB against the emulated printer (umockdev; run under
// umockdev-wrapper by scripts/bench.sh): printerstatus against the same
// request and reply as two bare libusb bulk transfers. The difference is
// what the library adds, most of it the short listen for unread replies
// that every query makes before its request.
#include "common/handle.hpp"
#include "common/protocol.hpp"
#include "usb_printer_sim.hpp"
#include "zarn.h"

#include <benchmark/benchmark.h>
#include <libusb.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using zarn::usbsim::UsbPrinterSim;

const std::string kStatusWire = std::string(zarn::protocol::kStatusRequest) + "\r\n";

// An emulated printer that answers every status request with 0x20.
class StatusPrinter {
 public:
  StatusPrinter()
  {
    sim_.add_device();
    sim_.set_out_handler([this](const std::uint8_t *data, std::size_t size) {
      if (std::string(reinterpret_cast<const char *>(data), size) == kStatusWire)
        ++asked_;
    });
    sim_.set_in_provider([this]() -> std::optional<std::vector<std::uint8_t>> {
      if (answered_ == asked_.load())
        return std::nullopt;
      ++answered_;
      return std::vector<std::uint8_t>{0x20};
    });
  }
  static bool available() { return UsbPrinterSim::available(); }

 private:
  UsbPrinterSim sim_;
  std::atomic<long> asked_{0};
  long answered_ = 0; // only the provider, on the emulator's thread, counts it
};

void status_zarn(benchmark::State &state)
{
  StatusPrinter printer;
  if (!StatusPrinter::available() || openport(const_cast<char *>("USB")) != 1) {
    state.SkipWithError("no emulated USB printer (run under umockdev-wrapper)");
    return;
  }
  for (auto _ : state)
    if (printerstatus() != 0x20) {
      state.SkipWithError("wrong status");
      break;
    }
  closeport();
}

// The printer opened with bare libusb calls, as a host without the library
// would (closing the device releases the interface); empty when there is
// none.
struct RawPrinter {
  zarn::Owned<libusb_context, libusb_exit> usb;
  zarn::Owned<libusb_device_handle, libusb_close> handle;

  RawPrinter()
  {
    libusb_context *made = nullptr;
    if (!StatusPrinter::available() || libusb_init(&made) != 0)
      return;
    usb.reset(made);
    handle.reset(
        libusb_open_device_with_vid_pid(made, zarn::protocol::kVendorId, zarn::usbsim::kProductId));
    if (!handle)
      return;
    libusb_detach_kernel_driver(handle.get(), zarn::protocol::kUsbInterface);
    libusb_claim_interface(handle.get(), zarn::protocol::kUsbInterface);
  }
  // False, with the benchmark told why, when there is no printer.
  bool usable(benchmark::State &state) const
  {
    if (!handle)
      state.SkipWithError("no emulated USB printer (run under umockdev-wrapper)");
    return static_cast<bool>(handle);
  }
};

void status_raw(benchmark::State &state)
{
  StatusPrinter printer;
  RawPrinter raw;
  if (!raw.usable(state))
    return;
  std::string request = kStatusWire;
  unsigned char reply[64];
  for (auto _ : state) {
    int moved = 0;
    if (libusb_bulk_transfer(raw.handle.get(), zarn::protocol::kUsbEndpointOut,
                             reinterpret_cast<unsigned char *>(request.data()),
                             static_cast<int>(request.size()), &moved, 5000) != 0 ||
        libusb_bulk_transfer(raw.handle.get(), zarn::protocol::kUsbEndpointIn, reply, sizeof reply,
                             &moved, 10000) != 0 ||
        moved != 1 || reply[0] != 0x20) {
      state.SkipWithError("no status");
      break;
    }
  }
}

// One bulk IN transfer that finds nothing and gives up after 1 ms: the
// listen each query makes, as the emulation prices it.
void listen_1ms(benchmark::State &state)
{
  StatusPrinter printer;
  RawPrinter raw;
  if (!raw.usable(state))
    return;
  unsigned char sink[512];
  for (auto _ : state) {
    int moved = 0;
    if (libusb_bulk_transfer(raw.handle.get(), zarn::protocol::kUsbEndpointIn, sink, sizeof sink,
                             &moved, 1) != LIBUSB_ERROR_TIMEOUT) {
      state.SkipWithError("the listen did not time out");
      break;
    }
  }
}

BENCHMARK(status_zarn)
    ->Name("usb_printerstatus/zarn")
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(status_raw)->Name("usb_printerstatus/raw")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(listen_1ms)->Name("usb_empty_listen_1ms")->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
