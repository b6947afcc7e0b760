// Opening and closing the one printer connection.
#include "zarn.h"
#include "port/guard.h"
#include "port/limits.h"
#include "port/serial_line.h"

#include <libusb.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace zarn::port;

// libusb context owned by this module until a USB connection takes it over;
// any other outcome of openport destroys it at once.
struct PendingContext {
  bool armed = true;
  ~PendingContext()
  {
    if (armed && ctx != nullptr) {
      libusb_exit(ctx);
      ctx = nullptr;
    }
  }
};

int open_usb()
{
  const ssize_t count = libusb_get_device_list(ctx, &devs);
  if (count <= 0) {
    if (devs != nullptr)
      libusb_free_device_list(devs, 1);
    return 0;
  }
  libusb_device *match = nullptr;
  for (ssize_t i = 0; i < count && match == nullptr; ++i) {
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(devs[i], &desc);
    if (desc.idVendor == kVendorId)
      match = devs[i];
  }
  if (match == nullptr) {
    libusb_free_device_list(devs, 1);
    return 0;
  }
  const int rc = libusb_open(match, &dev_handle);
  libusb_free_device_list(devs, 1);
  if (rc != 0)
    return 0;
  // Both may fail harmlessly: no kernel driver bound, or already claimed.
  libusb_detach_kernel_driver(dev_handle, kUsbInterface);
  libusb_claim_interface(dev_handle, kUsbInterface);
  openportStatus = 1;
  openUsbPortResult = 1;
  return 1;
}

int open_serial(const char *portName)
{
  const std::string path = std::string("/dev/") + portName;
  // O_CLOEXEC only keeps the printer line out of the host's child processes.
  tty_device = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty_device == -1)
    return 0;
  // Anything but a terminal (a file reached through a /dev link) would be
  // written over by the first command.
  if (!isatty(tty_device)) {
    close(tty_device);
    tty_device = -1;
    return 0;
  }
  apply_speed(tty_device, 115200);
  apply_parity(tty_device, 8, 1, 'N');
  openportStatus = 1;
  openSerialPortResult = 1;
  return 1;
}

// connect() interrupted by a signal goes on in the background; wait for it.
bool connect_socket(int fd, const sockaddr_in &addr)
{
  if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
    return true;
  if (errno != EINTR)
    return false;
  for (;;) {
    pollfd p{fd, POLLOUT, 0};
    const int rc = poll(&p, 1, -1);
    if (rc < 0 && errno == EINTR)
      continue;
    if (rc < 0)
      return false;
    int err = 0;
    socklen_t len = sizeof err;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
  }
}

} // namespace

extern "C" int openport(char *portName)
{
  return zarn::port::guarded(0, [&] {
    closeport();
    ctx = nullptr;
    // A context that failed to start cannot be used for anything.
    if (libusb_init(&ctx) != 0)
      ctx = nullptr;
    PendingContext pending;
    if (std::strcmp(portName, "USB") == 0) {
      if (ctx == nullptr || open_usb() == 0)
        return 0;
      pending.armed = false;
      return 1;
    }
    if (std::strncmp(portName, "tty", 3) == 0)
      return open_serial(portName);
    return 0;
  });
}

extern "C" int openethernet(char *address, int port)
{
  return zarn::port::guarded(0, [&] {
    closeport();
    net_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (net_socket < 0)
      return 0;
    std::memset(&servaddr, 0, sizeof servaddr);
    servaddr.sin_family = AF_INET;
    servaddr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address, &servaddr.sin_addr) <= 0 ||
        !connect_socket(net_socket, servaddr)) {
      // The socket is never flagged open, so nothing else would close it.
      close(net_socket);
      return 0;
    }
    // Every command is its own small write; with Nagle's algorithm each one
    // after the first would wait for the printer's delayed acknowledgement.
    const int on = 1;
    setsockopt(net_socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    openportStatus = 1;
    openEthernetPortResult = 1;
    return 1;
  });
}

extern "C" int closeport(void)
{
  if (openportStatus != 1)
    return 0;
  if (openUsbPortResult == 1) {
    if (dev_handle == nullptr)
      return 0;
    // Flags first: the connection counts as closed whatever the calls do.
    openportStatus = 0;
    openUsbPortResult = 0;
    libusb_release_interface(dev_handle, kUsbInterface);
    libusb_attach_kernel_driver(dev_handle, kUsbInterface);
    libusb_close(dev_handle);
    libusb_exit(ctx);
    return 1;
  }
  if (openSerialPortResult == 1) {
    if (tty_device < 0)
      return 0;
    openportStatus = 0;
    openSerialPortResult = 0;
    close(tty_device);
    return 1;
  }
  if (openEthernetPortResult == 1) {
    if (net_socket < 0)
      return 0;
    openportStatus = 0;
    openEthernetPortResult = 0;
    close(net_socket);
    return 1;
  }
  return 0;
}
