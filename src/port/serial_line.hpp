// SPDX-License-Identifier: MIT
// The serial line settings on a given descriptor. openport applies them to
// the line it is opening, before the connection counts as open; the
// exported set_Speed and set_Parity apply them only to an open line.
#pragma once

namespace zarn::port {

void apply_speed(int fd, int speed);
int apply_parity(int fd, int databits, int stopbits, int parity);

} // namespace zarn::port
