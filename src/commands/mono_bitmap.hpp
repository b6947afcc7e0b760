// SPDX-License-Identifier: MIT
// Turning a rendered 8-bit text surface into the printer's 1-bit bitmap:
// rows of (w + 7) / 8 bytes, leftmost pixel in the most significant bit,
// a cleared bit prints a dot, spare bits at the end of a row stay set.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace zarn::commands {

struct MonoBitmap {
  int width_bytes = 0;
  int height = 0;
  std::vector<std::uint8_t> bytes; // width_bytes * height, rows top to bottom
};

// A colour prints as a dot when 0.3 R + 0.59 G + 0.11 B, each channel taken
// through single precision and summed in double (red and green first),
// truncates to 0. The exact order decides the border: (1,1,1) sums to
// 0.9999999999999999 and is a dot.
bool is_dot(std::uint8_t r, std::uint8_t g, std::uint8_t b);

// Looks every pixel up with SDL_GetRGB: the reference rule.
// Both conversions accept only surfaces of one byte per pixel (as
// TTF_RenderUTF8_Solid makes) and give nullopt for anything else.
std::optional<MonoBitmap> to_mono_bitmap_per_pixel(const SDL_Surface &surface);

// Same result, but decides each of the 256 possible pixel values once
// through SDL_GetRGB and then only indexes that table per pixel.
std::optional<MonoBitmap> to_mono_bitmap(const SDL_Surface &surface);

} // namespace zarn::commands
