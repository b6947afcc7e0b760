// SPDX-License-Identifier: MIT
// The 1-bit conversion of rendered text, on synthetic and real surfaces.
#include "commands/mono_bitmap.hpp"
#include "common/handle.hpp"
#include "fake_printer.hpp"

#include <gtest/gtest.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using zarn::commands::is_dot;
using zarn::commands::MonoBitmap;
using zarn::commands::to_mono_bitmap;
using zarn::commands::to_mono_bitmap_per_pixel;

namespace {

const char *const kFont = ZARN_TEST_FONT;

using SurfacePtr = zarn::Owned<SDL_Surface, SDL_FreeSurface>;
using FontPtr = zarn::Owned<TTF_Font, TTF_CloseFont>;

// An 8-bit palettised surface whose index 0 is white and 1 is black, drawn
// from rows of '#' (black) and '.' (white).
SurfacePtr draw(const std::vector<std::string> &rows)
{
  const int w = rows.empty() ? 0 : static_cast<int>(rows[0].size());
  SurfacePtr s(SDL_CreateRGBSurfaceWithFormat(0, w, static_cast<int>(rows.size()), 8,
                                              SDL_PIXELFORMAT_INDEX8));
  const SDL_Color colours[2] = {{255, 255, 255, 255}, {0, 0, 0, 255}};
  SDL_SetPaletteColors(s->format->palette, colours, 0, 2);
  for (std::size_t j = 0; j < rows.size(); ++j)
    for (int i = 0; i < w; ++i)
      static_cast<Uint8 *>(s->pixels)[j * s->pitch + i] = rows[j][i] == '#' ? 1 : 0;
  return s;
}

// Packs rows the slow, obvious way: a '#' is a 0 bit, everything else
// (including the padding up to a whole byte) is a 1 bit.
std::vector<std::uint8_t> pack(const std::vector<std::string> &rows)
{
  std::vector<std::uint8_t> out;
  for (const std::string &row : rows) {
    std::string bits = row;
    while (bits.size() % 8 != 0)
      bits += '.';
    for (std::size_t k = 0; k < bits.size(); k += 8) {
      unsigned byte = 0;
      for (std::size_t b = 0; b < 8; ++b)
        byte = (byte << 1) | (bits[k + b] == '#' ? 0u : 1u);
      out.push_back(static_cast<std::uint8_t>(byte));
    }
  }
  return out;
}

// Converts both ways, insists they agree, and returns the result.
MonoBitmap convert_checked(const SDL_Surface &s)
{
  const auto reference = to_mono_bitmap_per_pixel(s);
  const auto fast = to_mono_bitmap(s);
  EXPECT_TRUE(reference && fast);
  if (!reference || !fast)
    return {};
  EXPECT_EQ(fast->width_bytes, reference->width_bytes);
  EXPECT_EQ(fast->height, reference->height);
  EXPECT_EQ(fast->bytes, reference->bytes);
  return *fast;
}

TEST(MonoBitmap, BitOrderAndSpareBitsOnAHandPackedRow)
{
  // 13 pixels: bits 0100 1111 | 1011 0 + three spare 1 bits.
  const MonoBitmap bm = convert_checked(*draw({"#.##.....#..#", "............."}));
  EXPECT_EQ(bm.width_bytes, 2);
  EXPECT_EQ(bm.height, 2);
  EXPECT_EQ(bm.bytes, (std::vector<std::uint8_t>{0x4F, 0xB7, 0xFF, 0xFF}));
}

TEST(MonoBitmap, WidthsAroundByteBoundaries)
{
  for (int w : {1, 7, 8, 9, 13, 16, 17}) {
    SCOPED_TRACE("width " + std::to_string(w));
    std::vector<std::string> rows;
    for (int j = 0; j < 5; ++j) {
      std::string row;
      for (int i = 0; i < w; ++i)
        row += (i * 7 + j * 3) % 5 < 2 ? '#' : '.';
      rows.push_back(row);
    }
    rows.push_back(std::string(static_cast<std::size_t>(w), '#')); // all dots: spare bits still 1
    const MonoBitmap bm = convert_checked(*draw(rows));
    EXPECT_EQ(bm.width_bytes, (w + 7) / 8);
    EXPECT_EQ(bm.height, 6);
    EXPECT_EQ(bm.bytes, pack(rows));
  }
}

TEST(MonoBitmap, ReadsRowsByPitchAndIgnoresThePadding)
{
  const int w = 9, h = 3, pitch = w + 5;
  // Padding bytes hold the black index: reading them would add dots.
  std::vector<Uint8> pixels(static_cast<std::size_t>(pitch * h), 1);
  const std::vector<std::string> rows = {"#........", ".#.......", "........#"};
  for (int j = 0; j < h; ++j)
    for (int i = 0; i < w; ++i)
      pixels[static_cast<std::size_t>(j * pitch + i)] = rows[j][i] == '#' ? 1 : 0;
  SurfacePtr s(
      SDL_CreateRGBSurfaceWithFormatFrom(pixels.data(), w, h, 8, pitch, SDL_PIXELFORMAT_INDEX8));
  ASSERT_TRUE(s);
  ASSERT_EQ(s->pitch, pitch);
  const SDL_Color colours[2] = {{255, 255, 255, 255}, {0, 0, 0, 255}};
  SDL_SetPaletteColors(s->format->palette, colours, 0, 2);
  EXPECT_EQ(convert_checked(*s).bytes, pack(rows));
}

TEST(MonoBitmap, TheWeightedSumDecidesTheBorder)
{
  // (1,1,1) lands on 0.9999999999999999 only when red and green are added first.
  EXPECT_TRUE(is_dot(1, 1, 1));
  EXPECT_TRUE(is_dot(3, 0, 0));
  EXPECT_TRUE(is_dot(0, 0, 9));
  EXPECT_TRUE(is_dot(0, 1, 0));
  EXPECT_TRUE(is_dot(0, 0, 0));
  EXPECT_FALSE(is_dot(4, 0, 0));
  EXPECT_FALSE(is_dot(1, 1, 2));
  EXPECT_FALSE(is_dot(0, 2, 0));
  EXPECT_FALSE(is_dot(255, 255, 255));

  // The same colours as palette entries of a one-row surface; alpha plays no part.
  SurfacePtr s(SDL_CreateRGBSurfaceWithFormat(0, 5, 1, 8, SDL_PIXELFORMAT_INDEX8));
  const SDL_Color colours[5] = {
      {1, 1, 1, 0}, {3, 0, 0, 255}, {0, 0, 9, 0}, {4, 0, 0, 0}, {1, 1, 2, 255}};
  SDL_SetPaletteColors(s->format->palette, colours, 0, 5);
  for (int i = 0; i < 5; ++i)
    static_cast<Uint8 *>(s->pixels)[i] = static_cast<Uint8>(i);
  EXPECT_EQ(convert_checked(*s).bytes, pack({"###.."}));
}

TEST(MonoBitmap, PerPaletteEntryMatchesPerPixelOnRandomSurfaces)
{
  std::mt19937 rng(5);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int w = 1 + static_cast<int>(rng() % 40), h = 1 + static_cast<int>(rng() % 12);
    // Odd rounds use a short palette: indices past its end read as black.
    SurfacePtr s(SDL_CreateRGBSurfaceWithFormat(0, w, h, 8, SDL_PIXELFORMAT_INDEX8));
    SDL_Palette *short_palette = nullptr;
    if (round % 2 == 1) {
      short_palette = SDL_AllocPalette(3);
      SDL_SetSurfacePalette(s.get(), short_palette);
    }
    SDL_Palette *palette = s->format->palette;
    std::vector<SDL_Color> colours(static_cast<std::size_t>(palette->ncolors));
    for (SDL_Color &c : colours) // small channels so both sides of the border occur
      c = {static_cast<Uint8>(rng() % 6), static_cast<Uint8>(rng() % 3),
           static_cast<Uint8>(rng() % 12), static_cast<Uint8>(rng())};
    SDL_SetPaletteColors(palette, colours.data(), 0, palette->ncolors);
    for (int j = 0; j < h; ++j)
      for (int i = 0; i < w; ++i)
        static_cast<Uint8 *>(s->pixels)[j * s->pitch + i] = static_cast<Uint8>(rng());
    convert_checked(*s);
    SDL_FreePalette(short_palette); // the surface keeps its own reference
  }

  // A packed 8-bit colour format without a palette goes through SDL_GetRGB too.
  SurfacePtr rgb332(SDL_CreateRGBSurfaceWithFormat(0, 256, 2, 8, SDL_PIXELFORMAT_RGB332));
  for (int i = 0; i < 256; ++i)
    static_cast<Uint8 *>(rgb332->pixels)[i] = static_cast<Uint8>(i);
  convert_checked(*rgb332);
}

TEST(MonoBitmap, PerPaletteEntryMatchesPerPixelOnRenderedText)
{
  ZARN_REQUIRE_FAKE(access(kFont, R_OK) == 0,
                    "no TrueType font found by fc-match (fonts-dejavu-core): '" +
                        std::string(kFont) + "'");
  ASSERT_EQ(TTF_Init(), 0);
  for (int size : {8, 24, 48}) {
    const FontPtr font(TTF_OpenFont(kFont, size));
    ASSERT_NE(font, nullptr);
    for (const char *text : {"A", "Hello, world", "Grüße ÆØÅ 0123456789 %&@"}) {
      SCOPED_TRACE(std::string(text) + " at " + std::to_string(size));
      SurfacePtr s(TTF_RenderUTF8_Solid(font.get(), text, SDL_Color{0, 0, 0, 0}));
      ASSERT_TRUE(s);
      const MonoBitmap bm = convert_checked(*s);
      EXPECT_EQ(bm.width_bytes, (s->w + 7) / 8);
      EXPECT_EQ(bm.height, s->h);
      // Black text on a blank background: some dots, and not all.
      std::size_t dots = 0;
      for (std::uint8_t byte : bm.bytes)
        dots += static_cast<std::size_t>(8 - __builtin_popcount(byte));
      EXPECT_GT(dots, 0u);
      EXPECT_LT(dots, static_cast<std::size_t>(s->w) * static_cast<std::size_t>(s->h) / 2);
    }
  }
  TTF_Quit();
}

TEST(MonoBitmap, RefusesSurfacesWiderThanOneBytePerPixel)
{
  SurfacePtr s(SDL_CreateRGBSurfaceWithFormat(0, 4, 4, 32, SDL_PIXELFORMAT_RGBA32));
  EXPECT_FALSE(to_mono_bitmap(*s));
  EXPECT_FALSE(to_mono_bitmap_per_pixel(*s));
}

} // namespace
