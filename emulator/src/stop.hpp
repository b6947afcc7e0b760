// SPDX-License-Identifier: MIT
// Stop signals and the one wait every transport loop makes. SIGINT, SIGTERM
// and SIGHUP write to a pipe that every wait polls, so a signal ends the
// emulator wherever it waits.
#pragma once

#include <poll.h>

#include <span>

namespace zarn::emu {

class ControlServer;

int stop_fd();
void install_stop_handlers();

enum class Wake {
  ready,  // revents are filled in (all zero after a timeout or an interruption)
  stop,   // a stop signal came
  failed, // poll failed; errno says why
};
// Waits until one of fds is ready, a stop signal comes or timeout_ms
// passes (-1: no limit). The control port, if there is one, is served
// meanwhile.
Wake wait_events(std::span<pollfd> fds, int timeout_ms, ControlServer *control);

} // namespace zarn::emu
