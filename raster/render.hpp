// SPDX-License-Identifier: MIT
// From a picture (or a PDF page) to the packed label: where it goes on the
// label, placing its rows on the grey canvas, and the dithering pass.
#pragma once

#include "core.hpp"
#include "decode.hpp"

#include <cstdint>
#include <memory>
#include <span>

namespace zarn::raster {

using BitmapPtr = std::unique_ptr<zarn_raster_bitmap>;

// Where a picture of src_w x src_h units lands on the label. natural_scale
// is dots per unit at the picture's own size (1 for pixels, dpi / 72 for
// PDF points).
struct Layout {
  int label_w = 0, label_h = 0;   // the canvas, in dots
  int rotation = 0;               // clockwise, applied after scaling
  double scale = 1;               // dots per source unit
  int scaled_w = 0, scaled_h = 0; // the picture scaled, before rotation
  int x0 = 0, y0 = 0;             // top left of the turned picture (negative when cut)
};

Layout plan_layout(const Settings &s, double src_w, double src_h, double natural_scale);

// The label of the layout, checked against the pixel limit.
Canvas make_canvas(const Settings &s, const Layout &layout);

// Puts row j (scaled_w grey bytes) of the scaled picture onto the canvas,
// turned as the layout says and cut to the canvas.
void place_row(Canvas &canvas, const Layout &layout, int j, const std::uint8_t *grey);

// Dithers and packs the whole canvas.
BitmapPtr pack_canvas(const Canvas &canvas, const Settings &s);

// Decodes, fits, dithers and packs one picture.
BitmapPtr render_picture(const PictureInfo &info, std::span<const std::uint8_t> data,
                         const Settings &s);

// The same for pixels in memory (rows stride bytes apart).
BitmapPtr render_buffer(const std::uint8_t *pixels, int width, int height, std::size_t stride,
                        Pixels format, const Settings &s);

// Refuses a declared picture size over the limit, before anything is allocated.
void check_picture_size(long long width, long long height, const Settings &s);

} // namespace zarn::raster
