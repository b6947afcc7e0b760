// SPDX-License-Identifier: MIT
// Grey rows to packed 1-bit rows, one row at a time, so a page can be
// converted as it streams in. Pure black (0) and pure white (255) pixels
// keep their value and neither take nor give error: text and barcodes that
// are already black and white stay exactly as they are beside dithered
// pictures.
#pragma once

#include "core.hpp"

#include <cstdint>
#include <vector>

namespace zarn::raster {

class Ditherer {
 public:
  Ditherer(int width, zarn_raster_dither method, int threshold);

  // Converts the next row (width grey bytes, 0 black .. 255 white) into
  // (width + 7) / 8 packed bytes: a set bit is paper, spare bits set.
  void row(const std::uint8_t *grey, std::uint8_t *packed);

 private:
  void threshold_row(const std::uint8_t *grey, std::uint8_t *packed) const;
  void ordered_row(const std::uint8_t *grey, std::uint8_t *packed) const;
  void floyd_steinberg_row(const std::uint8_t *grey, std::uint8_t *packed);
  void atkinson_row(const std::uint8_t *grey, std::uint8_t *packed);

  int width_;
  zarn_raster_dither method_;
  int threshold_;
  int y_ = 0;
  // Error carried to the rows below, in 1/16 (Floyd-Steinberg) or 1/8
  // (Atkinson) grey steps, with two spare cells either side.
  std::vector<int> err_[3];
};

} // namespace zarn::raster
