// SPDX-License-Identifier: MIT
#include "doctor.hpp"

#include "common/handle.hpp"
#include "common/protocol.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifndef ZARN_UDEV_RULES_INSTALL_DIR
#define ZARN_UDEV_RULES_INSTALL_DIR "/usr/lib/udev/rules.d"
#endif

namespace zarn::cli {

std::string udev_rule()
{
  return "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" +
         hex4(protocol::kVendorId) + "\", TAG+=\"uaccess\"";
}
const char *const kUdevRuleDirs[] = {ZARN_UDEV_RULES_INSTALL_DIR, "/etc/udev/rules.d",
                                     "/usr/lib/udev/rules.d", "/lib/udev/rules.d", nullptr};

namespace {

using Level = Finding::Level;

const std::string kVendor = "0x" + hex4(protocol::kVendorId);

std::string mode_text(unsigned mode)
{
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode);
  return text;
}

std::string pid_list(const std::vector<Process> &ps)
{
  std::string s;
  for (const Process &p : ps)
    s += (s.empty() ? "" : ", ") + p.name + " (PID " + std::to_string(p.pid) + ")";
  return s;
}

void tcp_facts(Facts &f)
{
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  const int rc = ::getaddrinfo(f.target.host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    f.tcp.lookup_error = ::gai_strerror(rc);
    return;
  }
  f.tcp.connect_error = "no IPv4 address";
  for (const addrinfo *ai = found; ai != nullptr; ai = ai->ai_next) {
    sockaddr_in sin = *reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
    f.tcp.addresses.emplace_back(text);
    sin.sin_port = htons(static_cast<std::uint16_t>(f.target.port));
    zarn::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int r;
    do
      r = ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&sin), sizeof sin);
    while (r != 0 && errno == EINTR);
    if (r == 0) {
      f.tcp.connect_error.clear();
      break;
    }
    f.tcp.connect_error = std::string(text) + ": " + std::strerror(errno);
  }
  ::freeaddrinfo(found);
}

void usb_findings(const Facts &f, std::vector<Finding> &out)
{
  if (!f.usb_problem.empty())
    out.push_back({Level::note, f.usb_problem, {"the list below comes from sysfs"}, {}});
  const auto printer = std::find_if(f.usb.begin(), f.usb.end(), [](const UsbDevice &d) {
    return d.vendor == protocol::kVendorId;
  });
  if (printer == f.usb.end()) {
    Finding no{Level::problem, "no USB device with vendor ID " + kVendor, {}, {}};
    if (f.usb.empty())
      no.details.push_back("no USB devices are visible at all (is /dev/bus/usb there? inside a "
                           "container it must be passed in)");
    else
      no.details.push_back("seen instead:");
    for (const UsbDevice &d : f.usb)
      no.details.push_back("  " + lsusb_line(d));
    no.fix = {"connect the printer with a data cable and switch it on; lsusb then lists ID " +
                  hex4(protocol::kVendorId) + ":xxxx",
              "a printer listed with another vendor ID is not one libzarn drives over USB"};
    out.push_back(std::move(no));
    return;
  }
  const UsbDevice &d = *printer;
  char where[96];
  std::snprintf(where, sizeof where, "the USB printer on bus %03d address %03d", d.bus, d.address);
  std::string names = d.node.path;
  if (!d.product_name.empty())
    names += ", " + d.product_name;
  if (!d.serial.empty())
    names += ", serial " + d.serial;
  const std::string printer_text = std::string(where) + " (" + names + ")";
  const auto more = std::count_if(
      printer + 1, f.usb.end(), [](const UsbDevice &o) { return o.vendor == protocol::kVendorId; });
  if (more > 0)
    out.push_back({Level::note,
                   std::to_string(more) + " more device(s) with vendor ID " + kVendor +
                       "; openport(\"USB\") takes the first: " + printer_text,
                   {},
                   {}});
  bool trouble = false;
  const std::size_t first = out.size();

  if (!d.node.exists) {
    trouble = true;
    out.push_back({Level::problem,
                   std::string(where) + ": its device node " + d.node.path + " is missing",
                   {"udev or devtmpfs did not create it (inside a container, pass /dev/bus/usb "
                    "in)"},
                   {"unplug the printer and plug it in again"}});
  } else if (!d.node.can_open && (d.node.open_errno == EACCES || d.node.open_errno == EPERM)) {
    trouble = true;
    Finding w{Level::problem,
              std::string(where) + ": " + d.node.path + " is not writable by you",
              {},
              {}};
    const std::string owner = d.node.uid == 0 ? "root" : std::to_string(d.node.uid);
    w.details.push_back("owner " + owner + ", group " + d.node.group + ", mode " +
                        mode_text(d.node.mode) + "; you are " + f.user.name + " (uid " +
                        std::to_string(f.user.uid) + ")");
    const std::string reload = "sudo udevadm control --reload-rules && sudo udevadm trigger "
                               "--subsystem-match=usb --attr-match=idVendor=" +
                               hex4(protocol::kVendorId);
    if (f.rules.empty()) {
      w.fix.push_back("echo '" + udev_rule() + "' | sudo tee /etc/udev/rules.d/70-zarn.rules");
    } else {
      w.details.push_back("the rule " + f.rules.front() +
                          " is installed but has not been applied to this device yet");
    }
    w.fix.push_back(reload);
    w.fix.push_back("the rule gives access to the person logged in at the machine; for a "
                    "headless machine use a group instead (README: \"USB permissions and "
                    "'resource busy'\")");
    out.push_back(std::move(w));
  } else if (!d.node.can_open) {
    trouble = true;
    out.push_back({Level::problem,
                   std::string(where) + ": cannot open " + d.node.path + ": " +
                       std::strerror(d.node.open_errno),
                   {},
                   {"unplug the printer and plug it in again"}});
  }

  std::vector<Process> ipp_holders, other_holders;
  for (const Process &p : d.holders)
    (p.name == "ipp-usb" ? ipp_holders : other_holders).push_back(p);
  const std::string stop_ipp = "sudo systemctl stop ipp-usb.service";
  const std::string mask_ipp = "to keep it off this machine: sudo systemctl mask ipp-usb.service";
  if (!ipp_holders.empty()) {
    trouble = true;
    out.push_back({Level::problem,
                   std::string(where) + ": the ipp-usb service holds it: " + pid_list(ipp_holders),
                   {"opening it through libzarn fails: claiming interface 0 gives 'resource busy'"},
                   {stop_ipp, mask_ipp}});
  } else if (!f.ipp_usb.empty()) {
    out.push_back({Level::note,
                   "the ipp-usb service is running: " + pid_list(f.ipp_usb),
                   {"it takes over USB printers that speak IPP over USB; if opening the printer "
                    "gives 'resource busy', it holds it"},
                   {stop_ipp, mask_ipp}});
  }
  if (!other_holders.empty()) {
    trouble = true;
    out.push_back({Level::problem,
                   std::string(where) + ": in use by " + pid_list(other_holders),
                   {"while another program holds the printer, claiming interface 0 gives "
                    "'resource busy' or its jobs mix with yours"},
                   {"end that program, or wait until it has finished printing"}});
  }

  if (d.interface0_driver == "usblp") {
    const std::string lp = d.lp_node.empty() ? "/dev/usb/lp*" : d.lp_node;
    out.push_back(
        {Level::note,
         std::string(where) + ": the kernel's usblp driver holds interface 0 (" + lp + ")",
         {"libzarn detaches it while it holds the interface and gives it back on close; "
          "a program printing through " +
          lp + " (such as CUPS) is cut off meanwhile"},
         {"if this printer is used only through libzarn: echo 'blacklist usblp' | sudo "
          "tee /etc/modprobe.d/zarn-no-usblp.conf && sudo modprobe -r usblp"}});
  } else if (!d.interface0_driver.empty() && d.interface0_driver != "usbfs") {
    out.push_back(
        {Level::note,
         std::string(where) + ": the kernel driver " + d.interface0_driver + " holds interface 0",
         {"libzarn detaches it while it holds the interface"},
         {}});
  } else if (d.interface0_driver == "usbfs" && other_holders.empty() && ipp_holders.empty()) {
    trouble = true;
    out.push_back({Level::problem,
                   std::string(where) + ": another program has claimed interface 0",
                   {"opening it through libzarn gives 'resource busy' until that program lets go"},
                   {"find it with: sudo fuser -v " + d.node.path}});
  }
  // The printer itself first, then what stands in its way.
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(first),
             {Level::ok, "found " + printer_text + (trouble ? "" : ": you may open it"), {}, {}});
}

void serial_findings(const Facts &f, std::vector<Finding> &out)
{
  const bool target = f.target.kind == Address::Kind::serial;
  const Level level = target ? Level::problem : Level::note;
  if (f.serial.empty() && target)
    out.push_back({Level::problem, "no serial device /dev/" + f.target.device, {}, {}});
  for (const SerialDevice &s : f.serial) {
    const std::string &path = s.node.path;
    const std::string shown = s.target.empty() ? path : path + " (" + s.target + ")";
    if (!s.node.exists) {
      out.push_back({level,
                     "no serial device " + path,
                     {},
                     {"plug in the printer's serial adapter; it appears as /dev/ttyUSB0 or "
                      "/dev/ttyACM0 (zarn list shows what is there)"}});
      continue;
    }
    if (!s.is_terminal) {
      out.push_back({level,
                     shown + " is not a terminal (" + s.kind + ")",
                     {"openport opens it, but it has no serial line to set or to talk over"},
                     {"give the printer's serial device, for example serial:ttyUSB0 (zarn list "
                      "shows the adapters)"}});
      continue;
    }
    if (s.is_console) {
      out.push_back({level,
                     shown + " is a console (a screen and keyboard), not a serial line",
                     {"what is sent there shows on a screen; the library refuses it"},
                     {"give the printer's serial device, for example serial:ttyUSB0 (zarn list "
                      "shows the adapters)"}});
      continue;
    }
    if (s.node.can_open) {
      out.push_back({Level::ok, "the serial device " + shown + ": you may open it", {}, {}});
      continue;
    }
    if (s.node.open_errno != EACCES && s.node.open_errno != EPERM) {
      out.push_back({level,
                     "cannot open " + shown + ": " + std::strerror(s.node.open_errno),
                     {},
                     {"unplug the adapter and plug it in again"}});
      continue;
    }
    const bool in_group =
        std::find(f.user.groups.begin(), f.user.groups.end(), s.node.gid) != f.user.groups.end();
    if (!in_group) {
      out.push_back(
          {level,
           "you (" + f.user.name + ") are not in the group " + s.node.group + " of " + shown,
           {"its mode is " + mode_text(s.node.mode) + ": only its owner and the group " +
            s.node.group + " may use it"},
           {"sudo usermod -aG " + s.node.group + " " + f.user.name,
            "then log out and in again (or start a shell with: newgrp " + s.node.group + ")"}});
    } else {
      out.push_back({level,
                     shown + " is not writable by its group " + s.node.group + " (mode " +
                         mode_text(s.node.mode) + ")",
                     {},
                     {"sudo chmod g+rw " + path + " (until the adapter is plugged in again)"}});
    }
  }
}

void tcp_findings(const Facts &f, std::vector<Finding> &out)
{
  const std::string where = f.target.text();
  if (!f.tcp.lookup_error.empty()) {
    out.push_back({Level::problem,
                   "cannot find the host '" + f.target.host + "': " + f.tcp.lookup_error,
                   {},
                   {"check the name, or give the printer's IPv4 address: tcp://ADDRESS:" +
                    std::to_string(f.target.port)}});
  } else if (!f.tcp.connect_error.empty()) {
    out.push_back({Level::problem,
                   "nothing accepts connections at " + where + " (" + f.tcp.connect_error + ")",
                   {},
                   {"check that the printer is on and on the network, and that its raw port is " +
                    std::to_string(f.target.port) + " (most printers use 9100)"}});
  } else {
    std::string addrs;
    for (const std::string &a : f.tcp.addresses)
      addrs += (addrs.empty() ? "" : ", ") + a;
    out.push_back({Level::ok, where + " (" + addrs + ") accepts connections", {}, {}});
  }
}

} // namespace

Facts gather(const Address &target)
{
  Facts f;
  f.target = target;
  f.user = current_user();
  switch (target.kind) {
  case Address::Kind::usb:
    f.usb = usb_devices(f.usb_problem);
    f.ipp_usb = processes_named("ipp-usb");
    f.serial = serial_adapters();
    break;
  case Address::Kind::serial: f.serial.push_back(serial_device("/dev/" + target.device)); break;
  case Address::Kind::tcp: tcp_facts(f); break;
  }
  std::error_code ec;
  for (const char *const *dir = kUdevRuleDirs; *dir != nullptr; ++dir) {
    const std::string rule = std::string(*dir) + "/70-zarn.rules";
    if (std::filesystem::exists(rule, ec) &&
        std::find(f.rules.begin(), f.rules.end(), rule) == f.rules.end())
      f.rules.push_back(rule);
  }
  return f;
}

std::vector<Finding> diagnose(const Facts &facts)
{
  std::vector<Finding> out;
  switch (facts.target.kind) {
  case Address::Kind::usb:
    usb_findings(facts, out);
    serial_findings(facts, out);
    break;
  case Address::Kind::serial: serial_findings(facts, out); break;
  case Address::Kind::tcp: tcp_findings(facts, out); break;
  }
  return out;
}

bool any_problem(const std::vector<Finding> &findings)
{
  return std::any_of(findings.begin(), findings.end(),
                     [](const Finding &f) { return f.level == Level::problem; });
}

std::string render(const std::vector<Finding> &findings)
{
  std::string out;
  int problems = 0;
  for (const Finding &f : findings) {
    const char *tag = f.level == Level::ok ? "ok" : f.level == Level::note ? "note" : "problem";
    problems += f.level == Level::problem;
    out += std::string(tag) + ": " + f.what + "\n";
    for (const std::string &d : f.details)
      out += "  " + d + "\n";
    for (std::size_t i = 0; i < f.fix.size(); ++i)
      out += (i == 0 ? "  fix: " : "       ") + f.fix[i] + "\n";
  }
  out += problems == 0
             ? "no problems found\n"
             : std::to_string(problems) + (problems == 1 ? " problem" : " problems") + " found\n";
  return out;
}

} // namespace zarn::cli
