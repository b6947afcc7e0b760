// SPDX-License-Identifier: MIT
/* The libzarn demo: asks the printer who it is, then prints a 100 mm x 60 mm
 * label with printer-font text, two barcodes and a line of TrueType text.
 *
 *   demo [--tcp ADDRESS PORT | --serial ttyNAME | --usb] [--font FILE.ttf]
 *
 * With no transport it prints to 127.0.0.1:9100. `make demo` runs it against
 * zarn-emulator, which writes the label as a PNG. */
#include "zarn.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The build passes the font fontconfig finds for "DejaVu Sans". */
#define DEFAULT_FONT ZARN_DEMO_FONT

static int usage(const char *self)
{
  fprintf(stderr, "usage: %s [--tcp ADDRESS PORT | --serial ttyNAME | --usb] [--font FILE.ttf]\n",
          self);
  return 2;
}

/* Reply texts may hold the printer's line break; shown without it. */
static void show(const char *what, const char *reply)
{
  size_t n = reply ? strlen(reply) : 0;
  while (n > 0 && (reply[n - 1] == '\r' || reply[n - 1] == '\n'))
    --n;
  printf("%-8s %.*s\n", what, (int)n, reply ? reply : "");
}

static const char *status_text(int status)
{
  if (status == 0)
    return "ready";
  if (status & 0x01)
    return "head open";
  if (status & 0x02)
    return "paper jam";
  if (status & 0x04)
    return "out of paper";
  if (status & 0x08)
    return "out of ribbon";
  if (status & 0x10)
    return "paused";
  if (status & 0x20)
    return "printing";
  return "error";
}

int main(int argc, char **argv)
{
  const char *kind = "tcp", *address = "127.0.0.1", *serial = NULL, *font = DEFAULT_FONT;
  int port = 9100;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--tcp") == 0 && i + 2 < argc) {
      kind = "tcp";
      address = argv[++i];
      port = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--serial") == 0 && i + 1 < argc) {
      kind = "serial";
      serial = argv[++i];
    } else if (strcmp(argv[i], "--usb") == 0) {
      kind = "usb";
    } else if (strcmp(argv[i], "--font") == 0 && i + 1 < argc) {
      font = argv[++i];
    } else {
      return usage(argv[0]);
    }
  }

  int open = 0;
  if (strcmp(kind, "usb") == 0)
    open = openport("USB");
  else if (strcmp(kind, "serial") == 0)
    open = openport((char *)serial);
  else
    open = openethernet((char *)address, port);
  if (!open) {
    fprintf(stderr, "demo: no printer on %s\n", kind);
    return 1;
  }

  /* Who is there? The answers also go on the label. */
  const int status = printerstatus();
  const char *name = printername();
  const char *number = printerserial();
  char status_line[64];
  snprintf(status_line, sizeof status_line, "%d (%s)", status, status_text(status));
  show("status", status_line);
  show("name", name);
  show("serial", number);
  if (status != 0 && status != 0x20) {
    fprintf(stderr, "demo: the printer is not ready, nothing printed\n");
    closeport();
    return 1;
  }

  char printer_line[160];
  snprintf(printer_line, sizeof printer_line, "Printer: %s", name ? name : "");
  printer_line[strcspn(printer_line, "\r\n")] = '\0';
  char serial_line[160];
  snprintf(serial_line, sizeof serial_line, "Serial:  %s", number ? number : "");
  serial_line[strcspn(serial_line, "\r\n")] = '\0';

  setup("100", "60", "4", "8", "0", "2", "0");
  clearbuffer();
  sendcommand("BOX 12,12,788,468,4");
  printerfont("32", "32", "4", "0", "1", "1", "libzarn demo label");
  printerfont("32", "76", "2", "0", "1", "1", "Printer fonts, barcodes and TrueType");
  barcode("32", "120", "128", "90", "2", "0", "2", "4", "ZARN-0001");
  barcode("420", "120", "EAN13", "90", "2", "0", "3", "3", "590123412345");
  if (!windowsfont(32, 260, 44, 0, (char *)font, "TrueType: Grüße aus Zürich"))
    fprintf(stderr, "demo: cannot render with the font %s\n", font);
  printerfont("32", "350", "3", "0", "1", "1", printer_line);
  printerfont("32", "390", "3", "0", "1", "1", serial_line);
  printerfont("768", "450", "1", "180", "1", "1", "upside down, font 1");
  printlabel("1", "1");
  closeport();
  printf("printed one label over %s\n", kind);
  return 0;
}
