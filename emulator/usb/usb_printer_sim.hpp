// SPDX-License-Identifier: MIT
// An emulated USB label printer for tests and the printer emulator.
//
// UsbPrinterSim builds a umockdev testbed holding one or more USB devices
// that the real libusb (same process under umockdev-wrapper, or a child
// started by run_child) enumerates, opens and talks to like hardware:
//   - sysfs: busnum, devnum, speed, bConfigurationValue, idVendor, idProduct
//     and a binary descriptors attribute (device descriptor plus one
//     configuration: interface 0, printer class, bulk OUT 0x01 and bulk IN
//     0x82 with 512-byte packets); device node /dev/bus/usb/BBB/DDD.
//   - usbdevfs ioctls answered like the kernel does: capabilities, kernel
//     driver query/detach/attach, claim/release, asynchronous URBs (submit,
//     reap, discard), standard GET_DESCRIPTOR control requests.
//
// Kernel-like rules the emulation enforces, so a wrong call order shows up:
//   - claiming interface 0 while a kernel driver holds it fails with EBUSY;
//   - attaching the kernel driver while the interface is claimed fails with
//     EBUSY (release first); attaching with no driver available returns 0;
//   - a bulk transfer on an unclaimed, driver-free interface claims it
//     implicitly (as usbfs does); closing the device node releases claims.
//
// Threading: umockdev calls the ioctl handler on its own worker thread. All
// state is guarded by one mutex; the accessors below may be called from any
// thread. Callbacks (out handler, in provider) run on the worker thread,
// outside the lock, one at a time, and may call queue_in().
//
// Lifetime: construct before the libusb_init of any context that should see
// the devices, and add them before that context enumerates (no hotplug
// events are sent for added devices). Destroy after every libusb context
// that saw the devices has been exited.
//
// Unknown usbdevfs requests fail with ENOTTY and are logged once on stderr.
#pragma once

#include "common/protocol.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zarn::usbsim {

// Vendor ID the library looks for, and the product ID of the emulated model.
inline constexpr uint16_t kVendorId = zarn::protocol::kVendorId;
inline constexpr uint16_t kProductLabelPrinter = 0x0001;
inline constexpr uint16_t kProductId = kProductLabelPrinter;
inline constexpr uint8_t kEndpointOut = zarn::protocol::kUsbEndpointOut;
inline constexpr uint8_t kEndpointIn = zarn::protocol::kUsbEndpointIn;
inline constexpr unsigned kInterface = zarn::protocol::kUsbInterface;
inline constexpr uint16_t kMaxPacketSize = 512;

struct DeviceSpec {
  uint16_t vendor = kVendorId;
  uint16_t product = kProductId;
  // true: a kernel driver (driver_name) holds interface 0 until detached.
  // false: no driver is bound, and none binds again on attach.
  bool driver_bound = true;
  std::string driver_name = "usblp";
  std::string serial = "ZT0001";
  std::string manufacturer = "Zarn";
  std::string product_name = "Zarn Label Printer";
};

class UsbPrinterSim {
 public:
  // Creates the testbed and sets UMOCKDEV_DIR for this process and its
  // children. Throws std::runtime_error when the testbed cannot be created.
  UsbPrinterSim();
  ~UsbPrinterSim();
  UsbPrinterSim(const UsbPrinterSim &) = delete;
  UsbPrinterSim &operator=(const UsbPrinterSim &) = delete;

  // True when this process runs under the umockdev preload, so that its own
  // libusb sees the testbed. Only meaningful once a testbed exists. (A parent
  // without the preload can still serve a child through run_child.)
  static bool available();

  // Adds a device and returns its index (0, 1, ...). Devices are named
  // 1-1, 1-2, ... on bus 1 with device numbers 2, 3, ...
  int add_device(const DeviceSpec &device = {});
  int device_count() const;
  int busnum(int dev = 0) const;
  int devnum(int dev = 0) const;
  std::string devnode(int dev = 0) const;
  std::string syspath(int dev = 0) const;

  // ---- bulk OUT 0x01 (host to printer) ----------------------------------
  // Every byte received, in order (not recorded while an out handler is set).
  std::vector<uint8_t> out_bytes(int dev = 0) const;
  // Length of each completed OUT transfer (URB), zero-length ones included.
  std::vector<size_t> out_transfers(int dev = 0) const;
  void clear_out(int dev = 0);
  // Wait until at least n bytes / n OUT transfers have been received.
  bool wait_out_bytes(size_t n, std::chrono::milliseconds timeout, int dev = 0) const;
  bool wait_out_transfers(size_t n, std::chrono::milliseconds timeout, int dev = 0) const;
  // Hands each OUT transfer's bytes to fn instead of recording them.
  // An empty function goes back to recording.
  void set_out_handler(std::function<void(const uint8_t *, size_t)> fn, int dev = 0);
  // While paused, OUT transfers stay pending (a busy printer): they time out
  // or are cancelled by the host, or complete in order once resumed.
  void pause_out(bool paused, int dev = 0);

  // ---- bulk IN 0x82 (printer to host) -----------------------------------
  // Each chunk completes one IN transfer. A chunk longer than the transfer's
  // buffer fills it and the rest stays queued for the next transfer. An empty
  // chunk completes a transfer with 0 bytes.
  void queue_in(std::vector<uint8_t> chunk, int dev = 0);
  // Asked for a chunk whenever an IN transfer waits and the queue is empty;
  // nullopt means "nothing to send yet".
  void set_in_provider(std::function<std::optional<std::vector<uint8_t>>()> fn, int dev = 0);
  // Chunks queued but not yet delivered.
  size_t in_queued(int dev = 0) const;
  // Drops every queued chunk (a printer that gave up on its host).
  void clear_in(int dev = 0);

  // ---- device state -------------------------------------------------------
  bool interface_claimed(int dev = 0) const;
  bool driver_attached(int dev = 0) const;
  int open_count(int dev = 0) const; // opens of the device node so far
  bool is_open(int dev = 0) const;   // some client still has it open
  // Pending and later transfers fail (the host sees "no device"), further
  // ioctls fail with ENODEV and the device leaves sysfs, so new enumerations
  // no longer list it.
  void unplug(int dev = 0);
  // Waits until the device was opened at least once and no client has it
  // open any more (closes are reported asynchronously by umockdev).
  bool wait_closed(std::chrono::milliseconds timeout, int dev = 0) const;

  // Runs argv as a child process that sees the emulated devices (preload in
  // LD_PRELOAD, testbed location inherited) and serves its ioctls until it
  // exits. Returns its exit status, 128 + signal number when killed, or -1
  // when it could not be started.
  int run_child(const std::vector<std::string> &argv);
  // The same child, started and left running: its process ID, or -1. The
  // caller waits for it (and may end it early).
  pid_t spawn_child(const std::vector<std::string> &argv);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

} // namespace zarn::usbsim
