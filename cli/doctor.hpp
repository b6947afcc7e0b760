// SPDX-License-Identifier: MIT
// zarn doctor: gathers what the machine shows about the printer (Facts),
// then explains each trap it finds with the exact fix (diagnose). The two
// steps are apart so that the explanations can be checked on any facts.
// Nothing here changes the system.
#pragma once

#include "devices.hpp"

#include "zarn.hpp"

#include <string>
#include <vector>

namespace zarn::cli {

// The line of 70-zarn.rules, and the folders where udev reads rules (the
// install folder first), ending with a null pointer.
std::string udev_rule();
extern const char *const kUdevRuleDirs[];

struct TcpFacts {
  std::string lookup_error;           // the host name could not be looked up
  std::vector<std::string> addresses; // its IPv4 addresses
  std::string connect_error;          // "" when a connection was accepted
};

struct Facts {
  Address target; // what to check; usb unless an address was given
  User user;
  std::string usb_problem;          // libusb could not start
  std::vector<UsbDevice> usb;       // every USB device seen, in libusb's order
  std::vector<Process> ipp_usb;     // running ipp-usb processes
  std::vector<SerialDevice> serial; // the target's device, or the adapters found
  TcpFacts tcp;
  std::vector<std::string> rules; // installed 70-zarn.rules files
};

Facts gather(const Address &target);

struct Finding {
  enum class Level { ok, note, problem };
  Level level = Level::ok;
  std::string what;
  std::vector<std::string> details;
  std::vector<std::string> fix; // commands or steps, in order
};

std::vector<Finding> diagnose(const Facts &facts);
// The findings as text for a person, ending with a summary line.
std::string render(const std::vector<Finding> &findings);
bool any_problem(const std::vector<Finding> &findings);

} // namespace zarn::cli
