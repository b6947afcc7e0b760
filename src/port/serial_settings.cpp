// SPDX-License-Identifier: MIT
// Serial line settings: the speed table, and the settings applied to a line.
#include "zarn.h"
#include "port/flags.hpp"
#include "port/serial_line.hpp"

#include <termios.h>

extern "C" {
int speed_arr[8] = {B115200, B38400, B19200, B9600, B4800, B2400, B1200, B300};
int name_arr[8] = {115200, 38400, 19200, 9600, 4800, 2400, 1200, 300};
}

namespace zarn::port {

void apply_speed(int fd, int speed)
{
  termios opt{};
  if (tcgetattr(fd, &opt) != 0)
    return;
  // Every matching entry is applied in turn: a host may have edited the tables.
  for (int i = 0; i < 8; ++i) {
    if (name_arr[i] != speed)
      continue;
    tcflush(fd, TCIOFLUSH);
    cfsetispeed(&opt, static_cast<speed_t>(speed_arr[i]));
    cfsetospeed(&opt, static_cast<speed_t>(speed_arr[i]));
    if (tcsetattr(fd, TCSANOW, &opt) != 0)
      return;
    tcflush(fd, TCIOFLUSH);
  }
}

int apply_parity(int fd, int databits, int stopbits, int parity)
{
  termios opt{};
  if (tcgetattr(fd, &opt) != 0)
    return 0;

  opt.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  switch (databits) {
  case 7: opt.c_cflag |= CS7; break;
  case 8: opt.c_cflag |= CS8; break;
  default: return 0;
  }

  switch (parity) {
  case 'n':
  case 'N':
    opt.c_cflag &= ~static_cast<tcflag_t>(PARENB);
    opt.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    break;
  case 'o':
  case 'O':
    opt.c_cflag |= PARENB | PARODD;
    opt.c_iflag |= INPCK;
    break;
  case 'e':
  case 'E':
    opt.c_cflag |= PARENB;
    opt.c_cflag &= ~static_cast<tcflag_t>(PARODD);
    opt.c_iflag |= INPCK;
    break;
  case 's':
  case 'S':
    // "Space" parity: no parity bit; the stop-bit step below still decides CSTOPB.
    opt.c_cflag &= ~static_cast<tcflag_t>(PARENB);
    opt.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    break;
  default: return 0;
  }

  switch (stopbits) {
  case 1: opt.c_cflag &= ~static_cast<tcflag_t>(CSTOPB); break;
  case 2: opt.c_cflag |= CSTOPB; break;
  default: return 0;
  }

  opt.c_cflag |= CLOCAL | CREAD;
  opt.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
  opt.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  opt.c_oflag &= ~static_cast<tcflag_t>(ONLCR | OCRNL);
  opt.c_iflag &= ~static_cast<tcflag_t>(INLCR | ICRNL);
  opt.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  if (parity != 'n' && parity != 'N')
    opt.c_iflag |= INPCK;

  tcflush(fd, TCIFLUSH);
  opt.c_cc[VTIME] = 150; // tenths of a second: reads give up after 15 s
  opt.c_cc[VMIN] = 0;
  return tcsetattr(fd, TCSANOW, &opt) == 0 ? 1 : 0;
}

} // namespace zarn::port

// tty_device keeps its number after a close, when it may already name some
// other descriptor of the host's: only a line the library holds is touched.
void set_Speed(int speed)
{
  if (zarn::port::serial_line_is_open())
    zarn::port::apply_speed(tty_device, speed);
}

int set_Parity(int databits, int stopbits, int parity)
{
  return zarn::port::serial_line_is_open()
             ? zarn::port::apply_parity(tty_device, databits, stopbits, parity)
             : 0;
}
