// SPDX-License-Identifier: MIT
/* Prints a picture, or every page of a PDF, on a network printer with
 * libzarn-raster, fitted to the label and dithered:
 *   raster_print FILE ADDRESS PORT [WIDTH_MM HEIGHT_MM [DPI]] */
#include "zarn-raster.h"
#include "zarn.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
  zarn_raster_options options;
  zarn_raster_document *doc = NULL;
  int page, status = 0;

  if (argc != 4 && argc != 6 && argc != 7) {
    fprintf(stderr, "usage: %s FILE ADDRESS PORT [WIDTH_MM HEIGHT_MM [DPI]]\n", argv[0]);
    return 2;
  }
  zarn_raster_options_init(&options);
  if (argc >= 6) {
    options.label_width_mm = atof(argv[4]);
    options.label_height_mm = atof(argv[5]);
    options.rotate = ZARN_RASTER_ROTATE_AUTO;
  }
  if (argc == 7)
    options.dpi = atoi(argv[6]);
  if (zarn_raster_open_file(argv[1], &doc) != ZARN_RASTER_OK) {
    fprintf(stderr, "%s\n", zarn_raster_last_error());
    return 1;
  }
  if (!openethernet(argv[2], atoi(argv[3]))) {
    fprintf(stderr, "cannot connect to %s port %s\n", argv[2], argv[3]);
    zarn_raster_document_close(doc);
    return 1;
  }
  for (page = 1; page <= zarn_raster_document_pages(doc) && status == 0; ++page) {
    zarn_raster_bitmap *bitmap = NULL;
    if (zarn_raster_render(doc, page, &options, &bitmap) != ZARN_RASTER_OK ||
        zarn_raster_send(bitmap, 1) != ZARN_RASTER_OK) {
      fprintf(stderr, "%s\n", zarn_raster_last_error());
      status = 1;
    }
    zarn_raster_bitmap_free(bitmap);
  }
  closeport();
  zarn_raster_document_close(doc);
  return status;
}
