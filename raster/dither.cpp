// SPDX-License-Identifier: MIT
#include "dither.hpp"

#include <algorithm>
#include <cstring>

namespace zarn::raster {

namespace {

constexpr int kPad = 2; // spare error cells either side of a row

// Bayer's 8 x 8 index matrix: each level turns on one more dot of 64.
constexpr std::uint8_t kBayer[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21},
};

inline void set_ink(std::uint8_t *packed, int x)
{
  packed[x >> 3] = static_cast<std::uint8_t>(packed[x >> 3] & ~(0x80u >> (x & 7)));
}

inline bool pure(int v) { return v == 0 || v == 255; }

// Inks dot x where value (grey with the error carried in) is below the
// middle, and gives the error that is left to spread.
inline int quantise(int value, std::uint8_t *packed, int x)
{
  if (value < 128) {
    set_ink(packed, x);
    return value;
  }
  return value - 255;
}

// Atkinson passes on only 6/8 of the error. On an even grey that settles
// where a grey of 223 or more never prints a dot and one of 32 or less is
// solid ink; in between its share of ink follows the grey closely. So the
// greys 1..254 are spread over 33..222 first, and the dither keeps its
// crisp look without washing out highlights or filling in shadows.
constexpr int kAtkinsonLow = 33, kAtkinsonHigh = 222;

inline int atkinson_level(int v)
{
  return kAtkinsonLow + ((v - 1) * (kAtkinsonHigh - kAtkinsonLow) + 126) / 253;
}

} // namespace

Ditherer::Ditherer(int width, zarn_raster_dither method, int threshold)
    : width_(width), method_(method), threshold_(threshold)
{
  if (method == ZARN_RASTER_DITHER_FLOYD_STEINBERG || method == ZARN_RASTER_DITHER_ATKINSON)
    for (auto &e : err_)
      e.assign(static_cast<std::size_t>(width) + 2 * kPad, 0);
}

void Ditherer::row(const std::uint8_t *grey, std::uint8_t *packed)
{
  std::memset(packed, 0xFF, (static_cast<std::size_t>(width_) + 7) / 8);
  switch (method_) {
  case ZARN_RASTER_DITHER_THRESHOLD: threshold_row(grey, packed); break;
  case ZARN_RASTER_DITHER_ORDERED: ordered_row(grey, packed); break;
  case ZARN_RASTER_DITHER_ATKINSON: atkinson_row(grey, packed); break;
  case ZARN_RASTER_DITHER_FLOYD_STEINBERG:
  default: floyd_steinberg_row(grey, packed); break;
  }
  ++y_;
}

void Ditherer::threshold_row(const std::uint8_t *grey, std::uint8_t *packed) const
{
  // Eight pixels a byte: build each byte whole instead of clearing bits.
  const int full = width_ / 8;
  for (int b = 0; b < full; ++b) {
    unsigned byte = 0;
    const std::uint8_t *g = grey + 8 * b;
    for (int k = 0; k < 8; ++k)
      byte = (byte << 1) | (g[k] >= threshold_ ? 1u : 0u);
    packed[b] = static_cast<std::uint8_t>(byte);
  }
  for (int x = 8 * full; x < width_; ++x)
    if (grey[x] < threshold_)
      set_ink(packed, x);
}

void Ditherer::ordered_row(const std::uint8_t *grey, std::uint8_t *packed) const
{
  // Level k becomes ink where grey < 4k + 2: 0 always prints, 255 never.
  const std::uint8_t *m = kBayer[y_ & 7];
  for (int x = 0; x < width_; ++x)
    if (grey[x] < 4 * m[x & 7] + 2)
      set_ink(packed, x);
}

void Ditherer::floyd_steinberg_row(const std::uint8_t *grey, std::uint8_t *packed)
{
  // Error in 1/16 grey steps; the row below is collected in next.
  int *cur = err_[0].data() + kPad;
  int *next = err_[1].data() + kPad;
  std::fill(err_[1].begin(), err_[1].end(), 0);
  const bool forward = (y_ & 1) == 0; // serpentine: alternate rows run backwards
  const int step = forward ? 1 : -1;
  const auto pixel = [&](int x) {
    const int v = grey[x];
    if (pure(v)) {
      if (v == 0)
        set_ink(packed, x);
      return;
    }
    const int e = quantise(v + ((cur[x] + 8) >> 4), packed, x);
    cur[x + step] += 7 * e;
    next[x - step] += 3 * e;
    next[x] += 5 * e;
    next[x + step] += e;
  };
  // Most of a label is paper and solid ink: eight pure pixels in a row
  // take no error and give none, so their byte is packed at once.
  const int full = width_ / 8;
  if (!forward)
    for (int x = width_ - 1; x >= 8 * full; --x)
      pixel(x); // backwards, the partial byte at the row's end comes first
  for (int n = 0; n < full; ++n) {
    const int b = forward ? n : full - 1 - n;
    std::uint64_t eight;
    std::memcpy(&eight, grey + 8 * b, 8);
    if (((eight ^ (eight >> 1)) & 0x7F7F7F7F7F7F7F7FULL) == 0) {
      // Each byte is 0x00 or 0xFF: ink where it is 0.
      unsigned byte = 0;
      for (int k = 0; k < 8; ++k)
        byte = (byte << 1) | (grey[8 * b + k] & 1u);
      packed[b] = static_cast<std::uint8_t>(byte);
      continue;
    }
    for (int k = 0; k < 8; ++k)
      pixel(forward ? 8 * b + k : 8 * b + 7 - k);
  }
  if (forward)
    for (int x = 8 * full; x < width_; ++x)
      pixel(x);
  std::swap(err_[0], err_[1]);
}

void Ditherer::atkinson_row(const std::uint8_t *grey, std::uint8_t *packed)
{
  // Error in 1/8 grey steps to six neighbours; two rows below are kept.
  int *cur = err_[0].data() + kPad;
  int *next = err_[1].data() + kPad;
  int *after = err_[2].data() + kPad;
  for (int x = 0; x < width_; ++x) {
    const int v = grey[x];
    if (pure(v)) {
      if (v == 0)
        set_ink(packed, x);
      continue;
    }
    const int e = quantise(atkinson_level(v) + ((cur[x] + 4) >> 3), packed, x);
    cur[x + 1] += e;
    cur[x + 2] += e;
    next[x - 1] += e;
    next[x] += e;
    next[x + 1] += e;
    after[x] += e;
  }
  // Rotate: the row below becomes current, the one after it next.
  std::swap(err_[0], err_[1]);
  std::swap(err_[1], err_[2]);
  std::fill(err_[2].begin(), err_[2].end(), 0);
}

} // namespace zarn::raster
