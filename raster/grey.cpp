// SPDX-License-Identifier: MIT
#include "grey.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace zarn::raster {

namespace {

// Rec. 709 (and sRGB) luminance weights in 1/65536, summing to 65536 so
// that a neutral colour keeps its exact value.
constexpr std::uint32_t kWeightR = 13933; // 0.2126
constexpr std::uint32_t kWeightG = 46871; // 0.7152
constexpr std::uint32_t kWeightB = 65536 - kWeightR - kWeightG;

double decode(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

double encode(double l)
{
  return l <= 0.0031308 ? l * 12.92 : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
}

struct Tables {
  std::array<float, 256> linear{};             // byte -> 0..1
  std::array<std::uint16_t, 256> linear16{};   // byte -> 0..65535
  std::array<std::uint8_t, 65536> encoded16{}; // 0..65535 -> byte
  Tables()
  {
    for (int v = 0; v < 256; ++v) {
      const double l = decode(v / 255.0);
      linear[v] = static_cast<float>(l);
      linear16[v] = static_cast<std::uint16_t>(std::lround(l * 65535));
    }
    for (int i = 0; i < 65536; ++i)
      encoded16[i] = static_cast<std::uint8_t>(std::lround(encode(i / 65535.0) * 255));
  }
};

const Tables &tables()
{
  static const Tables t;
  return t;
}

inline std::uint32_t luminance16(const Tables &t, std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
  return (kWeightR * t.linear16[r] + kWeightG * t.linear16[g] + kWeightB * t.linear16[b] + 32768) >>
         16;
}

// Over white paper: l * a + (1 - a), all in 0..65535 and alpha in 0..255.
inline std::uint32_t over_paper16(std::uint32_t l, std::uint8_t a)
{
  return (l * a + 65535u * (255u - a) + 127) / 255;
}

} // namespace

float srgb_to_linear(std::uint8_t v) { return tables().linear[v]; }

std::uint8_t linear_to_srgb(float l)
{
  if (!(l > 0))
    return 0;
  if (l >= 1)
    return 255;
  return tables().encoded16[static_cast<std::size_t>(l * 65535.0f + 0.5f)];
}

void row_to_grey(const std::uint8_t *src, Pixels format, int width, std::uint8_t *grey)
{
  const Tables &t = tables();
  switch (format) {
  case Pixels::grey: std::copy(src, src + width, grey); break;
  case Pixels::grey_alpha:
    for (int x = 0; x < width; ++x, src += 2)
      grey[x] = src[1] == 255 ? src[0] : t.encoded16[over_paper16(t.linear16[src[0]], src[1])];
    break;
  case Pixels::rgb:
    for (int x = 0; x < width; ++x, src += 3) {
      // Neutral pixels (most of a label) are their own grey.
      if (src[0] == src[1] && src[1] == src[2])
        grey[x] = src[0];
      else
        grey[x] = t.encoded16[luminance16(t, src[0], src[1], src[2])];
    }
    break;
  case Pixels::rgba:
    for (int x = 0; x < width; ++x, src += 4) {
      const std::uint8_t a = src[3];
      if (a == 255 && src[0] == src[1] && src[1] == src[2])
        grey[x] = src[0];
      else if (a == 255)
        grey[x] = t.encoded16[luminance16(t, src[0], src[1], src[2])];
      else
        grey[x] = t.encoded16[over_paper16(luminance16(t, src[0], src[1], src[2]), a)];
    }
    break;
  case Pixels::black1:
    for (int x = 0; x < width; ++x)
      grey[x] = (src[x >> 3] & (0x80 >> (x & 7))) ? 0 : 255;
    break;
  case Pixels::bgrx:
    for (int x = 0; x < width; ++x, src += 4) {
      if (src[0] == src[1] && src[1] == src[2])
        grey[x] = src[0];
      else
        grey[x] = t.encoded16[luminance16(t, src[2], src[1], src[0])];
    }
    break;
  }
}

void row_to_linear(const std::uint8_t *src, Pixels format, int width, float *linear)
{
  const Tables &t = tables();
  constexpr float kScale = 1.0f / 65535.0f;
  switch (format) {
  case Pixels::grey:
    for (int x = 0; x < width; ++x)
      linear[x] = t.linear[src[x]];
    break;
  case Pixels::grey_alpha:
    for (int x = 0; x < width; ++x, src += 2)
      linear[x] = static_cast<float>(over_paper16(t.linear16[src[0]], src[1])) * kScale;
    break;
  case Pixels::rgb:
    for (int x = 0; x < width; ++x, src += 3)
      linear[x] = static_cast<float>(luminance16(t, src[0], src[1], src[2])) * kScale;
    break;
  case Pixels::rgba:
    for (int x = 0; x < width; ++x, src += 4)
      linear[x] =
          static_cast<float>(over_paper16(luminance16(t, src[0], src[1], src[2]), src[3])) * kScale;
    break;
  case Pixels::black1:
    for (int x = 0; x < width; ++x)
      linear[x] = (src[x >> 3] & (0x80 >> (x & 7))) ? 0.0f : 1.0f;
    break;
  case Pixels::bgrx:
    for (int x = 0; x < width; ++x, src += 4)
      linear[x] = static_cast<float>(luminance16(t, src[2], src[1], src[0])) * kScale;
    break;
  }
}

} // namespace zarn::raster
