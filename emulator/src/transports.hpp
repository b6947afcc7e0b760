// SPDX-License-Identifier: MIT
// The transports that connect hosts to the printer. Each serves until a
// stop signal (or, over USB, until its host program ends) and returns the
// program's exit status.
#pragma once

#include "session.hpp"

#include "common/protocol.hpp"

#include <string>
#include <vector>

namespace zarn::emu {

class ControlServer;

struct TcpOptions {
  std::string address = "127.0.0.1";
  int port = protocol::kTcpPort;
};

// What every transport serves.
struct Emulator {
  Printer &printer;
  Faults faults;
  HostLimits limits;
  ControlServer *control = nullptr; // the control port, when asked for
};

int run_tcp(Emulator &emulator, const TcpOptions &options);
int run_serial(Emulator &emulator, const std::string &name);
// COMMAND finds the control port's ADDR:PORT in ZARN_EMULATOR_CONTROL.
int run_usb(Emulator &emulator, const std::vector<std::string> &command);

} // namespace zarn::emu
