// SPDX-License-Identifier: MIT
/* Prints one small label on a network printer:
 *   tcp_label ADDRESS [PORT]      (PORT defaults to 9100) */
#include "zarn.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
  if (argc < 2) {
    fprintf(stderr, "usage: %s ADDRESS [PORT]\n", argv[0]);
    return 2;
  }
  if (!openethernet(argv[1], argc > 2 ? atoi(argv[2]) : 9100)) {
    fprintf(stderr, "cannot connect to %s\n", argv[1]);
    return 1;
  }
  setup("60", "40", "4", "8", "0", "3", "0");
  clearbuffer();
  printerfont("40", "40", "3", "0", "1", "1", "Hello from libzarn");
  barcode("40", "100", "128", "80", "1", "0", "2", "2", "ZARN-0001");
  sendcommand("BOX 20,20,460,300,3");
  printlabel("1", "1");
  closeport();
  return 0;
}
