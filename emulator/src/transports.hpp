// The transports that connect hosts to the printer. Each serves until a
// stop signal (or, over USB, until its host program ends) and returns the
// program's exit status.
#pragma once

#include "session.hpp"

#include "common/protocol.hpp"

#include <string>
#include <vector>

namespace zarn::emu {

struct TcpOptions {
  std::string address = "127.0.0.1";
  int port = protocol::kTcpPort;
};

int run_tcp(Printer &printer, const Faults &faults, const HostLimits &limits,
            const TcpOptions &options);
int run_serial(Printer &printer, const Faults &faults, const HostLimits &limits,
               const std::string &name);
int run_usb(Printer &printer, const Faults &faults, const HostLimits &limits,
            const std::vector<std::string> &command);

} // namespace zarn::emu
