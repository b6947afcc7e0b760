// SPDX-License-Identifier: MIT
/* A C99 host: the public header must compile as C and its symbols link. */
#include "zarn.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;
#define CHECK(cond)                                                                                \
  do {                                                                                             \
    if (!(cond)) {                                                                                 \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                     \
      ++failures;                                                                                  \
    }                                                                                              \
  } while (0)

int main(void)
{
  static const struct sockaddr_in zero;
  unsigned char byte = 0;

  /* The connection state as a host sees it at load. */
  CHECK(openportStatus == 0 && openUsbPortResult == 0 && openSerialPortResult == 0);
  CHECK(openEthernetPortResult == 0 && openDriverPortResult == 0);
  CHECK(tty_device == -1 && net_socket == -1);
  CHECK(dev_handle == NULL && devs == NULL && ctx == NULL);
  CHECK(memcmp(&servaddr, &zero, sizeof zero) == 0);
  CHECK(name_arr[0] == 115200 && name_arr[7] == 300);

  /* Nothing open: every call reports 0 (or its documented value). */
  CHECK(closeport() == 0);
  CHECK(openport("nonsense") == 0);
  CHECK(openethernet("not-an-address", 9100) == 0);
  CHECK(sendcommand("CLS") == 0);
  CHECK(sendBinaryData(&byte, 1) == 0);
  CHECK(clearbuffer() == 0);
  CHECK(printlabel("1", "1") == 0);
  CHECK(windowsfont(0, 0, 12, 0, "/nonexistent.ttf", "x") == 0);
  CHECK(downloadpcx("/etc/hostname", "X") == 0);
  CHECK(printerstatus() == 0);
  CHECK(printername() == NULL);
  CHECK(strcmp(sendcommand_getstring("~!T"), "") == 0);
  CHECK(strcmp(about(), "Linux Shared Library Version V1.00\r\n") == 0);

  if (failures == 0)
    printf("C host: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
