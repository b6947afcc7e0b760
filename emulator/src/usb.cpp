// The printer on USB: a child process sees it as a USB device with the
// printer maker's vendor ID (bulk OUT 0x01, bulk IN 0x82) through umockdev.
#include "link.hpp"

#include <cstdio>
#include <mutex>

#ifdef ZARN_EMULATOR_USB
#include "usb_printer_sim.h"
#endif

namespace zarn::emu {

#ifdef ZARN_EMULATOR_USB
int run_usb(Printer &printer, const Faults &faults, const std::vector<std::string> &command)
{
  try {
    usbsim::UsbPrinterSim sim;
    sim.add_device();
    Link link(printer, faults);
    std::mutex m;
    bool said_cut = false;
    int opens = 0;
    // umockdev calls both on its own thread; the lock keeps the printer safe
    // should that ever change.
    sim.set_out_handler([&](const std::uint8_t *data, std::size_t size) {
      std::lock_guard lock(m);
      // A host that opened the device anew starts a new stream: whatever the
      // last one left half sent is dropped, as when a TCP host hangs up.
      const int now_opens = sim.open_count();
      if (now_opens != opens) {
        if (opens != 0)
          link.end_of_stream();
        opens = now_opens;
      }
      if (!link.receive(data, size, Link::Clock::now()) && !said_cut) {
        std::fprintf(stderr, "zarn-emulator: silent after %llu bytes (--close-after)\n",
                     faults.close_after);
        said_cut = true;
      }
    });
    sim.set_in_provider([&]() -> std::optional<std::vector<std::uint8_t>> {
      std::lock_guard lock(m);
      auto piece = link.due(Link::Clock::now());
      if (!piece)
        return std::nullopt;
      return std::vector<std::uint8_t>(piece->begin(), piece->end());
    });
    std::printf("USB printer %04x:%04x at %s, running %s\n", usbsim::kVendorId, usbsim::kProductId,
                sim.devnode().c_str(), command.front().c_str());
    std::fflush(stdout);
    const int status = sim.run_child(command);
    if (status < 0) {
      std::fprintf(stderr, "zarn-emulator: cannot run %s\n", command.front().c_str());
      return 127;
    }
    return status;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "zarn-emulator: USB: %s\n", e.what());
    return 1;
  }
}
#else
int run_usb(Printer &, const Faults &, const std::vector<std::string> &)
{
  std::fprintf(stderr, "zarn-emulator: built without the USB transport (umockdev)\n");
  return 2;
}
#endif

} // namespace zarn::emu
