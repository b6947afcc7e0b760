// SPDX-License-Identifier: MIT
// What the machine shows about printers: USB devices (through libusb, in
// the order openport("USB") meets them, with sysfs for their strings),
// serial devices under /dev, processes that hold device nodes, and the
// user's identity. Only reads; opening a node to test access is the most
// it does.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zarn::cli {

struct Process {
  int pid = 0;
  std::string name;
};

struct User {
  uid_t uid = 0;
  std::string name;
  std::vector<gid_t> groups; // primary group first
};

// Owner, group and mode of a device node.
struct Node {
  std::string path;
  bool exists = false;
  unsigned mode = 0; // permission bits
  uid_t uid = 0;
  gid_t gid = 0;
  std::string group;     // name of gid
  bool can_open = false; // opening it for reading and writing worked
  int open_errno = 0;    // why not (EACCES, EBUSY, ENOENT, ...)
};

struct UsbDevice {
  int bus = 0;
  int address = 0;
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::string manufacturer, product_name, serial; // from sysfs, may be empty
  Node node;                                      // /dev/bus/usb/BBB/DDD
  std::string interface0_driver;                  // kernel driver on interface 0, "" if none
  std::string lp_node;                            // /dev/usb/lpN when usblp made one
  std::vector<Process> holders;                   // processes with node or lp_node open
};

struct SerialDevice {
  Node node;
  std::string target; // what a link resolves to, "" when not a link
  bool is_terminal = false;
  bool is_console = false; // a virtual console, /dev/console or /dev/tty
  std::string kind;        // "terminal", "regular file", "folder", ...
};

// Every USB device, in libusb's order; problem says why libusb could not
// start (the list then comes from sysfs).
std::vector<UsbDevice> usb_devices(std::string &problem);
// Serial devices that look like printer adapters: /dev/ttyUSB*, /dev/ttyACM*
// and the links in /dev/serial/by-id.
std::vector<SerialDevice> serial_adapters();
SerialDevice serial_device(const std::string &path);
User current_user();
// Processes named name (from /proc/PID/comm).
std::vector<Process> processes_named(const std::string &name);
// Processes with one of paths open (only those whose descriptors we may read).
std::vector<Process> holders_of(const std::vector<std::string> &paths);

// "Bus 001 Device 007: ID 1203:0001 Zarn Label Printer", as lsusb shows it.
std::string lsusb_line(const UsbDevice &d);
// "1203" style.
std::string hex4(std::uint16_t v);
// Whether the user may write the node by its owner, group and mode.
bool writable_by(const Node &node, const User &user);

} // namespace zarn::cli
