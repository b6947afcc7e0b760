// SPDX-License-Identifier: MIT
/* Prints a picture, or every page of a PDF, with libzarn-raster (fitted to
 * the label and dithered) and libzarn-client (the connection):
 *   raster_print FILE ADDRESS [WIDTH_MM HEIGHT_MM [DPI]]
 * ADDRESS as the zarn command takes it: usb, serial:ttyUSB0, tcp://HOST. */
#include "zarn-client.h"
#include "zarn-raster.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
  zarn_raster_options options;
  zarn_raster_document *doc = NULL;
  zarn_client_printer *printer = NULL;
  int page, status = 0;

  if (argc != 3 && argc != 5 && argc != 6) {
    fprintf(stderr, "usage: %s FILE ADDRESS [WIDTH_MM HEIGHT_MM [DPI]]\n", argv[0]);
    return 2;
  }
  zarn_raster_options_init(&options);
  if (argc >= 5) {
    options.label_width_mm = atof(argv[3]);
    options.label_height_mm = atof(argv[4]);
    options.rotate = ZARN_RASTER_ROTATE_AUTO;
  }
  if (argc == 6)
    options.dpi = atoi(argv[5]);
  if (zarn_raster_open_file(argv[1], &doc) != ZARN_RASTER_OK) {
    fprintf(stderr, "%s\n", zarn_raster_last_error());
    return 1;
  }
  if (zarn_client_open(argv[2], &printer) != ZARN_CLIENT_OK) {
    fprintf(stderr, "%s\n", zarn_client_last_error());
    zarn_raster_document_close(doc);
    return 1;
  }
  for (page = 1; page <= zarn_raster_document_pages(doc) && status == 0; ++page) {
    zarn_raster_bitmap *bitmap = NULL;
    if (zarn_raster_render(doc, page, &options, &bitmap) != ZARN_RASTER_OK) {
      fprintf(stderr, "%s\n", zarn_raster_last_error());
      status = 1;
    } else if (zarn_client_print_bitmap(printer, bitmap, 1, NULL, NULL) != ZARN_CLIENT_OK) {
      fprintf(stderr, "%s\n", zarn_client_last_error());
      status = 1;
    }
    zarn_raster_bitmap_free(bitmap);
  }
  zarn_client_close(printer);
  zarn_raster_document_close(doc);
  return status;
}
