/* SPDX-License-Identifier: MIT
 * A C99 host of libzarn-client: opens the printer at argv[1] by address,
 * prints a label, waits for it and reads the status; a second open is
 * refused, and a connection opened through zarn.h (argv[2], argv[3]: its
 * IPv4 address and port) is refused and left alone.
 * Exit 0 when all of that held, else 1 with the reason. */
#include "zarn-client.h"
#include "zarn.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failed(const char *what)
{
  fprintf(stderr, "c_host_client: %s: %s\n", what, zarn_client_last_error());
  return 1;
}

int main(int argc, char **argv)
{
  zarn_client_printer *p = NULL, *q = NULL;
  zarn_client_printer_status st;
  zarn_client_outcome outcome;
  char *words;
  if (argc != 4)
    return 2;
  if (zarn_client_open(argv[1], &p) != ZARN_CLIENT_OK)
    return failed("open");
  if (zarn_client_send(p, "SIZE 20 mm,10 mm") != ZARN_CLIENT_OK ||
      zarn_client_send(p, "CLS") != ZARN_CLIENT_OK ||
      zarn_client_send(p, "BAR 10,10,100,20") != ZARN_CLIENT_OK ||
      zarn_client_send(p, "PRINT 1,1") != ZARN_CLIENT_OK)
    return failed("send");
  if (zarn_client_wait(p, 10000, 0, NULL, &outcome) != ZARN_CLIENT_OK)
    return failed("wait");
  if (outcome != ZARN_CLIENT_OUTCOME_PRINTED) {
    fprintf(stderr, "c_host_client: wait: %s\n", zarn_client_outcome_text(outcome));
    return 1;
  }
  if (zarn_client_status_get(p, &st) != ZARN_CLIENT_OK)
    return failed("status");
  words = zarn_client_status_words(&st);
  printf("status: %s\n", words);
  if (st.reply != ZARN_CLIENT_REPLY_ANSWERED || strcmp(words, "ready") != 0)
    return 1;
  zarn_client_free(words);
  if (zarn_client_open(argv[1], &q) != ZARN_CLIENT_ERR_BUSY || q != NULL)
    return failed("a second open was not refused");
  zarn_client_close(p);

  /* A zarn.h connection: refused, and still open afterwards. */
  if (openethernet(argv[2], atoi(argv[3])) != 1) {
    fprintf(stderr, "c_host_client: openethernet failed\n");
    return 1;
  }
  if (zarn_client_open(argv[1], &p) != ZARN_CLIENT_ERR_BUSY || openportStatus != 1)
    return failed("a zarn.h connection was not left alone");
  if (closeport() != 1)
    return 1;
  if (zarn_client_open(argv[1], &p) != ZARN_CLIENT_OK)
    return failed("reopen");
  zarn_client_close(p);
  printf("ok\n");
  return 0;
}
