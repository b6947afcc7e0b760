// SPDX-License-Identifier: MIT
// The raster library's front door: any bytes as a file. Each input ends in
// one of two ways: a status with a one-line message, or a bitmap of exactly
// the label's size whose spare bits are paper.
#include "zarn-raster.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
  zarn_raster_document *doc = nullptr;
  if (zarn_raster_open_memory(data, size, "fuzz", &doc) != ZARN_RASTER_OK) {
    const char *message = zarn_raster_last_error();
    if (doc != nullptr || message[0] == '\0' || std::strchr(message, '\n'))
      std::abort();
    return 0;
  }
  if (zarn_raster_document_pages(doc) < 1)
    std::abort();
  zarn_raster_options o;
  zarn_raster_options_init(&o);
  // 30 x 20 mm at 8 dots/mm: 240 x 160 dots. Pictures above 4 Mi pixels
  // are refused, which keeps each run short.
  o.label_width_mm = 30;
  o.label_height_mm = 20;
  o.rotate = ZARN_RASTER_ROTATE_AUTO;
  o.max_pixels = 1u << 22;
  zarn_raster_bitmap *b = nullptr;
  const zarn_raster_status st = zarn_raster_render(doc, 1, &o, &b);
  if (st == ZARN_RASTER_OK) {
    if (zarn_raster_bitmap_width(b) != 240 || zarn_raster_bitmap_height(b) != 160 ||
        zarn_raster_bitmap_bytes_per_row(b) != 30)
      std::abort();
  } else {
    const char *message = zarn_raster_last_error();
    if (b != nullptr || message[0] == '\0' || std::strchr(message, '\n'))
      std::abort();
  }
  zarn_raster_bitmap_free(b);
  zarn_raster_document_close(doc);
  return 0;
}
