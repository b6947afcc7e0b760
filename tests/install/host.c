// SPDX-License-Identifier: MIT
/* The smallest host of an installed libzarn: it compiles against the
 * installed header, links the installed library and calls it. */
#include <zarn.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
  if (strcmp(about(), "Linux Shared Library Version V1.00\r\n") != 0 || openportStatus != 0 ||
      closeport() != 0) {
    fprintf(stderr, "installed libzarn does not answer as it should\n");
    return 1;
  }
  printf("installed libzarn works\n");
  return 0;
}
