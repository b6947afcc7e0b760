// SPDX-License-Identifier: MIT
// One-bit images: the label canvas and everything drawn on it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zarn::emu {

// One byte a pixel (1 = a printed dot, 0 = blank): simple to draw on and to
// test; labels are small enough for that.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> px;

  Image() = default;
  Image(int w, int h)
      : width(w), height(h), px(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0)
  {
  }

  bool empty() const { return width == 0 || height == 0; }
  std::uint8_t at(int x, int y) const { return px[static_cast<std::size_t>(y) * width + x]; }
  std::uint8_t &at(int x, int y) { return px[static_cast<std::size_t>(y) * width + x]; }
  bool inside(long long x, long long y) const
  {
    return x >= 0 && y >= 0 && x < width && y < height;
  }
  long long dots() const;
  bool operator==(const Image &) const = default;
};

enum class Paint {
  overwrite, // the source's dots and blanks both replace the canvas
  ink,       // only the source's dots are printed (OR)
  invert,    // the source's dots invert the canvas (XOR)
  erase,     // the source's dots erase the canvas
};

// Draws src on canvas with the reference point (x, y). The object turns
// clockwise about that point by rotation (0, 90, 180, 270): at 0 it extends
// right and down from it, at 90 left and down, at 180 left and up, at 270
// right and up. anchor shifts the reference point along the object's own
// baseline direction (for centred or right-aligned objects).
void draw(Image &canvas, const Image &src, long long x, long long y, int rotation, Paint paint,
          int anchor = 0);

// Fills the rectangle from (x0, y0) up to but not including (x1, y1),
// clipped to the canvas.
void fill(Image &canvas, long long x0, long long y0, long long x1, long long y1, Paint paint);

// Enlarges each pixel to an xm by ym block, as printer fonts are enlarged.
Image scale(const Image &src, int xm, int ym);

// Turns the whole image by 180 degrees and/or mirrors it left to right.
Image turn_180(const Image &src);
Image mirror(const Image &src);

// A grey one-bit PNG: black dots on white, the resolution (dots per mm) in
// the pHYs chunk. Throws std::runtime_error when the file cannot be written.
void write_png(const std::filesystem::path &path, const Image &image, int dots_per_mm = 8);
// Reads any 8-bit-or-less grey or colour PNG back; a pixel darker than mid
// grey is a dot. Throws std::runtime_error when the file is not a PNG.
Image read_png(const std::filesystem::path &path);

} // namespace zarn::emu
