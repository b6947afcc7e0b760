// SPDX-License-Identifier: MIT
// Internal state of the emulated USB printer, shared by the files that
// implement it: the testbed (testbed.cpp), descriptors and control requests
// (descriptors.cpp), the URB engine (urb_engine.cpp), the interface and
// driver state with the clients that opened the node (interface.cpp), and
// starting a child that sees the device (spawn.cpp).
#pragma once

#include "usb_printer_sim.hpp"

#include "common/handle.hpp"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>

namespace zarn::usbsim {

// What an xHCI port reports: with scatter-gather libusb sends each bulk
// transfer as one URB, so URB boundaries are the host's transfer boundaries.
inline constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
inline constexpr int kSpeedHigh = 3; // USB_SPEED_HIGH from linux/usb/ch9.h
// How long an empty reap waits for data before answering EAGAIN: the device
// node always polls writable, so libusb would otherwise spin on reaps.
inline constexpr auto kReapWait = std::chrono::milliseconds(1);

// usbfs driver name the kernel reports for an interface claimed through it.
inline constexpr const char *kUsbfsDriver = "usbfs";

enum class IfaceState { kernel_driver, free, claimed };

template <typename T>
using GPtr = zarn::Owned<T, g_object_unref>;
using GErrorPtr = zarn::Owned<GError, g_error_free>;
using GText = zarn::Owned<gchar, g_free>;

struct Urb {
  GPtr<UMockdevIoctlData> urb;      // the client's struct usbdevfs_urb
  GPtr<UMockdevIoctlData> buf;      // its buffer; null for zero-length transfers
  GPtr<UMockdevIoctlClient> client; // held so its state can be asked later
  unsigned long addr = 0;           // client address of the urb
  uint8_t type = 0;
  uint8_t endpoint = 0;
  size_t length = 0;
  int status = 0;
  size_t actual = 0;

  usbdevfs_urb *view() const { return reinterpret_cast<usbdevfs_urb *>(urb->data); }
  uint8_t *bytes() const { return buf ? buf->data : nullptr; }
};

// The device descriptor and one configuration, as sysfs and GET_DESCRIPTOR
// give them.
std::vector<uint8_t> build_descriptors(const DeviceSpec &desc);

struct Device {
  UsbPrinterSim::Impl *sim = nullptr;
  int index = 0;
  DeviceSpec desc;
  int bus = 1;
  int num = 0;
  std::string sysname, syspath, node;
  std::vector<uint8_t> descriptors;
  GPtr<UMockdevIoctlBase> handler;

  // Guarded by Impl::m.
  std::deque<Urb> pending; // submitted, not finished, submission order
  std::deque<Urb> done;    // finished, waiting to be reaped, completion order
  IfaceState iface = IfaceState::free;
  UMockdevIoctlClient *claimer = nullptr;
  std::vector<uint8_t> out;
  std::vector<size_t> transfers;
  std::deque<std::vector<uint8_t>> in_queue;
  std::function<void(const uint8_t *, size_t)> out_handler;
  std::function<std::optional<std::vector<uint8_t>>()> in_provider;
  bool paused = false;
  bool unplugged = false;
  int opens = 0;
  std::set<UMockdevIoctlClient *> clients; // open, identity only
};

struct UsbPrinterSim::Impl {
  GPtr<UMockdevTestbed> testbed;
  mutable std::mutex m;
  mutable std::condition_variable cv;
  std::mutex callback_m; // one callback at a time, in order
  std::vector<std::unique_ptr<Device>> devices;
  std::set<unsigned long> logged_requests;
  // Clients umockdev has dropped (their fd was closed). Filled from a weak
  // reference callback that may run while m is held, hence its own mutex.
  std::mutex vanished_m;
  std::vector<std::pair<Device *, UMockdevIoctlClient *>> vanished;

  Device &dev(int i) const
  {
    if (i < 0 || static_cast<size_t>(i) >= devices.size())
      throw std::out_of_range("usbsim: no device " + std::to_string(i));
    return *devices[static_cast<size_t>(i)];
  }

  // urb_engine.cpp: transfers.
  // Moves whatever can finish now from pending to done. OUT bytes for the
  // out handler are collected into `deliver` (called later, unlocked).
  void progress(Device &d, std::vector<std::vector<uint8_t>> &deliver);
  void deliver_out(Device &d, std::vector<std::vector<uint8_t>> &deliver);
  bool has_waiting_in(const Device &d) const;
  // SUBMITURB, REAPURB(NDELAY) and DISCARDURB; false for other requests.
  bool handle_urb_ioctl(Device &d, UMockdevIoctlClient *c, unsigned long request);
  void submit(Device &d, UMockdevIoctlClient *c, std::vector<std::vector<uint8_t>> &deliver);
  void reap(Device &d, UMockdevIoctlClient *c, bool nodelay);
  void discard(Device &d, UMockdevIoctlClient *c);
  // descriptors.cpp: standard control requests.
  void control(Device &d, Urb &u);
  // interface.cpp: every other request, and the clients that opened the node.
  bool handle_ioctl(Device &d, UMockdevIoctlClient *c);
  void client_connected(Device &d, UMockdevIoctlClient *c);
  void sync_clients();
  // Clients that outlive the testbed must not report to freed state.
  void forget_clients(Device &d);
  static void complete(UMockdevIoctlClient *c, long res, int err)
  {
    umockdev_ioctl_client_complete(c, res, err);
  }

  // Resolves the ioctl argument's pointed-to struct; null on failure.
  static GPtr<UMockdevIoctlData> resolve_arg(UMockdevIoctlClient *c, size_t size)
  {
    GError *error = nullptr;
    GPtr<UMockdevIoctlData> data(
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(c), 0, size, &error));
    if (const GErrorPtr failed{error})
      std::fprintf(stderr, "usbsim: cannot read ioctl argument: %s\n", failed->message);
    return data;
  }
};

} // namespace zarn::usbsim
