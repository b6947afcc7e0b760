// Serial line settings of tty_device.
#include "zarn.h"

#include <termios.h>

extern "C" {
int speed_arr[8] = {B115200, B38400, B19200, B9600, B4800, B2400, B1200, B300};
int name_arr[8] = {115200, 38400, 19200, 9600, 4800, 2400, 1200, 300};
}

void set_Speed(int speed)
{
  termios opt{};
  if (tcgetattr(tty_device, &opt) != 0)
    return;
  // Every matching entry is applied in turn: a host may have edited the tables.
  for (int i = 0; i < 8; ++i) {
    if (name_arr[i] != speed)
      continue;
    tcflush(tty_device, TCIOFLUSH);
    cfsetispeed(&opt, static_cast<speed_t>(speed_arr[i]));
    cfsetospeed(&opt, static_cast<speed_t>(speed_arr[i]));
    if (tcsetattr(tty_device, TCSANOW, &opt) != 0)
      return;
    tcflush(tty_device, TCIOFLUSH);
  }
}

int set_Parity(int databits, int stopbits, int parity)
{
  termios opt{};
  if (tcgetattr(tty_device, &opt) != 0)
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

  tcflush(tty_device, TCIFLUSH);
  opt.c_cc[VTIME] = 150; // tenths of a second: reads give up after 15 s
  opt.c_cc[VMIN] = 0;
  return tcsetattr(tty_device, TCSANOW, &opt) == 0 ? 1 : 0;
}
