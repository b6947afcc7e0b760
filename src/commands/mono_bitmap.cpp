// SPDX-License-Identifier: MIT
#include "commands/mono_bitmap.hpp"

#include <array>
#include <climits>
#include <cstddef>

namespace zarn::commands {

bool is_dot(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
  // Kept as separate steps so the sum is formed in exactly this order.
  const double red = 0.3 * static_cast<double>(static_cast<float>(r));
  const double green = 0.59 * static_cast<double>(static_cast<float>(g));
  const double blue = 0.11 * static_cast<double>(static_cast<float>(b));
  double sum = red + green;
  sum += blue;
  return static_cast<int>(sum) == 0;
}

namespace {

bool is_dot_pixel(std::uint8_t pixel, const SDL_PixelFormat *format)
{
  Uint8 r = 0, g = 0, b = 0;
  SDL_GetRGB(pixel, format, &r, &g, &b);
  return is_dot(r, g, b);
}

// Guards the byte-per-pixel reads and the int sizes of the BITMAP header.
bool convertible(const SDL_Surface &s)
{
  if (s.format == nullptr || s.format->BytesPerPixel != 1 || s.w < 0 || s.h < 0)
    return false;
  if (s.w > 0 && s.h > 0 && (s.pixels == nullptr || s.pitch < s.w))
    return false;
  const std::size_t width_bytes = (static_cast<std::size_t>(s.w) + 7) / 8;
  return s.h == 0 ||
         width_bytes <= static_cast<std::size_t>(INT_MAX) / static_cast<std::size_t>(s.h);
}

template <typename DotOf>
MonoBitmap convert(const SDL_Surface &s, DotOf dot_of)
{
  const std::size_t w = static_cast<std::size_t>(s.w);
  const std::size_t h = static_cast<std::size_t>(s.h);
  const std::size_t width_bytes = (w + 7) / 8;
  MonoBitmap out;
  out.width_bytes = static_cast<int>(width_bytes);
  out.height = s.h;
  out.bytes.assign(width_bytes * h, 0xFF);
  const auto *pixels = static_cast<const std::uint8_t *>(s.pixels);
  for (std::size_t j = 0; j < h; ++j) {
    const std::uint8_t *row = pixels + static_cast<std::size_t>(s.pitch) * j;
    std::uint8_t *dst = out.bytes.data() + width_bytes * j;
    for (std::size_t i = 0; i < w; ++i)
      if (dot_of(row[i]))
        dst[i / 8] &= static_cast<std::uint8_t>(~(0x80u >> (i % 8)));
  }
  return out;
}

} // namespace

std::optional<MonoBitmap> to_mono_bitmap_per_pixel(const SDL_Surface &surface)
{
  if (!convertible(surface))
    return std::nullopt;
  const SDL_PixelFormat *format = surface.format;
  return convert(surface, [format](std::uint8_t p) { return is_dot_pixel(p, format); });
}

std::optional<MonoBitmap> to_mono_bitmap(const SDL_Surface &surface)
{
  if (!convertible(surface))
    return std::nullopt;
  // SDL_GetRGB depends only on the pixel value and the format, so asking it
  // once for every value gives the per-pixel answer for every pixel.
  std::array<bool, 256> dot{};
  for (unsigned v = 0; v < dot.size(); ++v)
    dot[v] = is_dot_pixel(static_cast<std::uint8_t>(v), surface.format);
  return convert(surface, [&dot](std::uint8_t p) { return dot[p]; });
}

} // namespace zarn::commands
