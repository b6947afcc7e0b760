// SPDX-License-Identifier: MIT
/* A C host of the installed host layer, built with pkg-config zarn-client:
 * an address text goes in and comes back out in its one written form. */
#include <zarn-client.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
  zarn_client_address a;
  char *text = NULL;
  if (zarn_client_address_parse("tcp://127.0.0.1", &a) != ZARN_CLIENT_OK ||
      (text = zarn_client_address_format(&a)) == NULL ||
      strcmp(text, "tcp://127.0.0.1:9100") != 0) {
    fprintf(stderr, "installed libzarn-client does not answer as it should: %s\n",
            zarn_client_last_error());
    zarn_client_free(text);
    return 1;
  }
  zarn_client_free(text);
  printf("installed libzarn-client works\n");
  return 0;
}
