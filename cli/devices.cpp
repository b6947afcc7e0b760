// SPDX-License-Identifier: MIT
#include "devices.hpp"

#include "common/console.hpp"
#include "common/handle.hpp"

#include <libusb.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/usbdevice_fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace zarn::cli {
namespace {

const fs::path kUsbSysfs = "/sys/bus/usb/devices";

std::string read_line(const fs::path &file)
{
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

int read_int(const fs::path &file, int base = 10)
{
  const std::string s = read_line(file);
  return s.empty() ? -1 : static_cast<int>(std::strtol(s.c_str(), nullptr, base));
}

std::string group_name(gid_t gid)
{
  if (const group *g = ::getgrgid(gid))
    return g->gr_name;
  return std::to_string(gid);
}

Node node_at(const std::string &path)
{
  Node n;
  n.path = path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    n.open_errno = errno;
    return n;
  }
  n.exists = true;
  n.mode = st.st_mode & 07777;
  n.uid = st.st_uid;
  n.gid = st.st_gid;
  n.group = group_name(st.st_gid);
  // O_NONBLOCK: a serial line must not wait for its carrier here.
  zarn::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  n.can_open = fd != nullptr;
  if (!n.can_open)
    n.open_errno = errno;
  return n;
}

// The sysfs folder of the device on bus/address, "" when none.
fs::path sysfs_device(int bus, int address)
{
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(kUsbSysfs, ec)) {
    const std::string name = e.path().filename().string();
    if (name.find(':') != std::string::npos)
      continue;
    if (read_int(e.path() / "busnum") == bus && read_int(e.path() / "devnum") == address)
      return e.path();
  }
  return {};
}

// Driver of interface 0 and the usblp node, from sysfs; the device node's
// own answer when sysfs has no interface folders.
void interface0(UsbDevice &d, const fs::path &sys)
{
  std::error_code ec;
  if (!sys.empty()) {
    const std::string prefix = sys.filename().string() + ":";
    for (const auto &e : fs::directory_iterator(sys, ec)) {
      const std::string name = e.path().filename().string();
      if (!name.starts_with(prefix) || !name.ends_with(".0"))
        continue;
      const fs::path driver = fs::read_symlink(e.path() / "driver", ec);
      if (!ec)
        d.interface0_driver = driver.filename().string();
      for (const auto &lp : fs::directory_iterator(e.path() / "usbmisc", ec))
        d.lp_node = "/dev/usb/" + lp.path().filename().string();
      return;
    }
  }
  if (!d.node.can_open)
    return;
  zarn::UniqueFd fd(::open(d.node.path.c_str(), O_RDWR | O_CLOEXEC));
  usbdevfs_getdriver get{};
  get.interface = 0;
  if (fd != nullptr && ::ioctl(fd.get(), USBDEVFS_GETDRIVER, &get) == 0)
    d.interface0_driver = get.driver;
}

void describe(UsbDevice &d)
{
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", d.bus, d.address);
  d.node = node_at(node);
  const fs::path sys = sysfs_device(d.bus, d.address);
  if (!sys.empty()) {
    d.manufacturer = read_line(sys / "manufacturer");
    d.product_name = read_line(sys / "product");
    d.serial = read_line(sys / "serial");
  }
  interface0(d, sys);
  std::vector<std::string> paths{d.node.path};
  if (!d.lp_node.empty())
    paths.push_back(d.lp_node);
  d.holders = holders_of(paths);
}

std::vector<UsbDevice> from_sysfs()
{
  std::vector<UsbDevice> out;
  std::error_code ec;
  std::vector<fs::path> dirs;
  for (const auto &e : fs::directory_iterator(kUsbSysfs, ec))
    if (e.path().filename().string().find(':') == std::string::npos)
      dirs.push_back(e.path());
  std::sort(dirs.begin(), dirs.end());
  for (const fs::path &dir : dirs) {
    UsbDevice d;
    d.bus = read_int(dir / "busnum");
    d.address = read_int(dir / "devnum");
    d.vendor = static_cast<std::uint16_t>(read_int(dir / "idVendor", 16));
    d.product = static_cast<std::uint16_t>(read_int(dir / "idProduct", 16));
    if (d.bus < 0 || d.address < 0)
      continue;
    describe(d);
    out.push_back(std::move(d));
  }
  return out;
}

} // namespace

std::vector<UsbDevice> usb_devices(std::string &problem)
{
  using Context = zarn::Owned<libusb_context, libusb_exit>;
  libusb_context *raw = nullptr;
  const int rc = libusb_init(&raw);
  if (rc != 0) {
    problem = std::string("libusb cannot start: ") + libusb_strerror(rc);
    return from_sysfs();
  }
  Context context(raw);
  libusb_device **list = nullptr;
  const ssize_t count = libusb_get_device_list(context.get(), &list);
  std::vector<UsbDevice> out;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(list[i], &desc) != 0)
      continue;
    UsbDevice d;
    d.bus = libusb_get_bus_number(list[i]);
    d.address = libusb_get_device_address(list[i]);
    d.vendor = desc.idVendor;
    d.product = desc.idProduct;
    out.push_back(std::move(d));
  }
  if (list != nullptr)
    libusb_free_device_list(list, 1);
  if (count < 0)
    problem =
        std::string("libusb cannot list devices: ") + libusb_strerror(static_cast<int>(count));
  for (UsbDevice &d : out)
    describe(d);
  return out;
}

SerialDevice serial_device(const std::string &path)
{
  SerialDevice s;
  s.node = node_at(path);
  std::error_code ec;
  if (fs::is_symlink(path, ec))
    s.target = fs::canonical(path, ec).string();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    s.kind = "missing";
    return s;
  }
  if (S_ISCHR(st.st_mode)) {
    // A terminal is a character device of the tty subsystem, or a pty
    // slave (majors 136-143), which sysfs does not list.
    const unsigned maj = major(st.st_rdev), min = minor(st.st_rdev);
    const fs::path subsystem = fs::read_symlink(
        "/sys/dev/char/" + std::to_string(maj) + ":" + std::to_string(min) + "/subsystem", ec);
    s.is_terminal = (!ec && subsystem.filename() == "tty") || (maj >= 136 && maj <= 143);
    s.is_console = zarn::is_console(st.st_rdev);
    s.kind = s.is_terminal ? "terminal" : "character device that is not a terminal";
  } else if (S_ISREG(st.st_mode)) {
    s.kind = "regular file";
  } else if (S_ISDIR(st.st_mode)) {
    s.kind = "folder";
  } else if (S_ISBLK(st.st_mode)) {
    s.kind = "block device";
  } else {
    s.kind = "special file";
  }
  return s;
}

std::vector<SerialDevice> serial_adapters()
{
  std::vector<std::string> paths;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator("/dev", ec)) {
    const std::string name = e.path().filename().string();
    if (name.starts_with("ttyUSB") || name.starts_with("ttyACM"))
      paths.push_back(e.path().string());
  }
  for (const auto &e : fs::directory_iterator("/dev/serial/by-id", ec))
    paths.push_back(e.path().string());
  std::sort(paths.begin(), paths.end());
  std::vector<SerialDevice> out;
  for (const std::string &p : paths)
    out.push_back(serial_device(p));
  return out;
}

User current_user()
{
  User u;
  u.uid = ::getuid();
  if (const passwd *pw = ::getpwuid(u.uid))
    u.name = pw->pw_name;
  else
    u.name = std::to_string(u.uid);
  u.groups.push_back(::getgid());
  const int n = ::getgroups(0, nullptr);
  std::vector<gid_t> more(n > 0 ? static_cast<std::size_t>(n) : 0);
  if (n > 0 && ::getgroups(n, more.data()) == n)
    for (gid_t g : more)
      if (std::find(u.groups.begin(), u.groups.end(), g) == u.groups.end())
        u.groups.push_back(g);
  return u;
}

std::vector<Process> processes_named(const std::string &name)
{
  std::vector<Process> out;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator("/proc", ec)) {
    const std::string pid = e.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos)
      continue;
    if (read_line(e.path() / "comm") == name)
      out.push_back({std::stoi(pid), name});
  }
  std::sort(out.begin(), out.end(),
            [](const Process &a, const Process &b) { return a.pid < b.pid; });
  return out;
}

std::vector<Process> holders_of(const std::vector<std::string> &paths)
{
  std::vector<Process> out;
  std::error_code ec;
  const int self = ::getpid();
  for (const auto &e : fs::directory_iterator("/proc", ec)) {
    const std::string pid = e.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos || std::stoi(pid) == self)
      continue;
    std::error_code fd_ec;
    for (const auto &fd : fs::directory_iterator(e.path() / "fd", fd_ec)) {
      std::error_code link_ec;
      const std::string target = fs::read_symlink(fd.path(), link_ec).string();
      if (!link_ec && std::find(paths.begin(), paths.end(), target) != paths.end()) {
        out.push_back({std::stoi(pid), read_line(e.path() / "comm")});
        break;
      }
    }
  }
  std::sort(out.begin(), out.end(),
            [](const Process &a, const Process &b) { return a.pid < b.pid; });
  return out;
}

std::string hex4(std::uint16_t v)
{
  char text[8];
  std::snprintf(text, sizeof text, "%04x", v);
  return text;
}

std::string lsusb_line(const UsbDevice &d)
{
  char head[64];
  std::snprintf(head, sizeof head, "Bus %03d Device %03d: ID %s:%s", d.bus, d.address,
                hex4(d.vendor).c_str(), hex4(d.product).c_str());
  std::string line = head;
  for (const std::string *s : {&d.manufacturer, &d.product_name})
    if (!s->empty())
      line += " " + *s;
  return line;
}

bool writable_by(const Node &node, const User &user)
{
  if (user.uid == 0)
    return true;
  if (node.uid == user.uid)
    return (node.mode & S_IWUSR) != 0;
  if (std::find(user.groups.begin(), user.groups.end(), node.gid) != user.groups.end())
    return (node.mode & S_IWGRP) != 0;
  return (node.mode & S_IWOTH) != 0;
}

} // namespace zarn::cli
