// SPDX-License-Identifier: MIT
/* A C99 host: the raster header compiles as strict C and its calls link. */
#include "zarn-raster.h"

#include <stdio.h>
#include <string.h>

int main(void)
{
  static const unsigned char pixels[2 * 9] = {0,   255, 0,   255, 0,   255, 0,   255, 0,
                                              255, 0,   255, 0,   255, 0,   255, 0,   255};
  zarn_raster_options options;
  zarn_raster_bitmap *bitmap = NULL;
  int failures = 0;

  zarn_raster_options_init(&options);
  options.dither = ZARN_RASTER_DITHER_THRESHOLD;
  if (zarn_raster_render_pixels(pixels, 9, 2, 9, ZARN_RASTER_GREY8, &options, &bitmap) !=
      ZARN_RASTER_OK) {
    fprintf(stderr, "render failed: %s\n", zarn_raster_last_error());
    return 1;
  }
  /* 9 dots: two bytes a row; ink clears bits, the 7 spare bits stay set. */
  if (zarn_raster_bitmap_bytes_per_row(bitmap) != 2 || zarn_raster_bitmap_height(bitmap) != 2)
    ++failures;
  if (memcmp(zarn_raster_bitmap_data(bitmap), "\x55\x7f\xaa\xff", 4) != 0)
    ++failures;
  zarn_raster_bitmap_free(bitmap);
  if (zarn_raster_encode(NULL, 1, NULL, NULL) != ZARN_RASTER_ERR_ARGUMENT ||
      zarn_raster_last_error()[0] == '\0')
    ++failures;
  if (failures)
    fprintf(stderr, "%d checks failed\n", failures);
  return failures != 0;
}
