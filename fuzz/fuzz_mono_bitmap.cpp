// SPDX-License-Identifier: MIT
// The 1-bit conversion of a rendered text surface on arbitrary surfaces.
//
// Input: width, height, a format choice, then palette colours (r, g, b) and
// pixel bytes as far as they go. The fast conversion must agree with the
// per-pixel one, and both with a model that packs the dots bit by bit.
#include "commands/mono_bitmap.hpp"
#include "common/handle.hpp"

#include <SDL.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

bool model_dot(Uint8 r, Uint8 g, Uint8 b)
{
  double sum = 0.3 * static_cast<double>(static_cast<float>(r)) +
               0.59 * static_cast<double>(static_cast<float>(g));
  sum += 0.11 * static_cast<double>(static_cast<float>(b));
  return static_cast<int>(sum) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
  if (size < 3)
    return 0;
  const int w = data[0] % 70;
  const int h = data[1] % 40;
  const bool palette = data[2] % 2 == 0;
  data += 3;
  size -= 3;

  const zarn::Owned<SDL_Surface, SDL_FreeSurface> s(SDL_CreateRGBSurfaceWithFormat(
      0, w, h, 8, palette ? SDL_PIXELFORMAT_INDEX8 : SDL_PIXELFORMAT_RGB332));
  if (!s)
    return 0;
  std::size_t at = 0;
  if (palette) {
    const int colours = size > 0 ? 1 + data[at++] % 256 : 0;
    std::vector<SDL_Color> c(static_cast<std::size_t>(colours));
    for (SDL_Color &col : c) {
      col.r = at < size ? data[at++] : 0;
      col.g = at < size ? data[at++] : 0;
      col.b = at < size ? data[at++] : 0;
      col.a = 255;
    }
    if (colours > 0)
      SDL_SetPaletteColors(s->format->palette, c.data(), 0, colours);
  }
  auto *pixels = static_cast<Uint8 *>(s->pixels);
  for (int j = 0; j < h; ++j)
    for (int i = 0; i < s->pitch; ++i)
      pixels[j * s->pitch + i] = at < size ? data[at++] : static_cast<Uint8>(i * 37 + j);

  const auto fast = zarn::commands::to_mono_bitmap(*s);
  const auto slow = zarn::commands::to_mono_bitmap_per_pixel(*s);
  if (!fast || !slow || fast->bytes != slow->bytes || fast->width_bytes != slow->width_bytes ||
      fast->height != slow->height)
    std::abort();

  const int wb = (w + 7) / 8;
  if (fast->width_bytes != wb || fast->height != h ||
      fast->bytes.size() != static_cast<std::size_t>(wb) * static_cast<std::size_t>(h))
    std::abort();
  for (int j = 0; j < h; ++j)
    for (int i = 0; i < wb * 8; ++i) {
      bool dot = false;
      if (i < w) {
        Uint8 r, g, b;
        SDL_GetRGB(pixels[j * s->pitch + i], s->format, &r, &g, &b);
        dot = model_dot(r, g, b);
      }
      const bool bit = (fast->bytes[static_cast<std::size_t>(j * wb + i / 8)] >> (7 - i % 8)) & 1;
      if (bit == dot) // a set bit is blank; spare bits past w stay set
        std::abort();
    }
  return 0;
}
