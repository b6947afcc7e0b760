// SPDX-License-Identifier: MIT
// The emulator's command line.
#pragma once

#include "printer.hpp"
#include "transports.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace zarn::emu {

struct Options {
  enum class Transport { none, tcp, serial, usb };
  Transport transport = Transport::none;
  TcpOptions tcp;
  bool control = false; // --control given
  TcpOptions control_at;
  std::string serial_name;
  std::vector<std::string> command; // run under --usb
  PrinterConfig config;
  Faults faults;
  HostLimits limits;
  std::filesystem::path out = "labels";
  std::filesystem::path storage; // empty: OUT/files
  bool quiet = false;
};

// Parses argv. --help prints the usage and exits with 0; a mistake is one
// line on standard error and exit status 2.
Options parse_options(int argc, char **argv);

} // namespace zarn::emu
