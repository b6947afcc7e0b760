// SPDX-License-Identifier: MIT
// A picture of pure black and white keeps sharp edges when it is resized:
// every dot is inked when at least half its area is black, with no grey
// for the dither to fray.
#include "raster_fixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace zarn::raster::test {
namespace {

// Bars of 1 to 5 pixels, and spaces of 1 to 4, down the whole picture.
std::vector<bool> bar_pattern(int width)
{
  std::vector<bool> bars(static_cast<std::size_t>(width), false);
  int x = 4, n = 0;
  while (x < width - 4) {
    const int bar = 1 + n % 5, space = 1 + (n * 3) % 4;
    for (int i = x; i < std::min(x + bar, width - 4); ++i)
      bars[static_cast<std::size_t>(i)] = true;
    x += bar + space;
    ++n;
  }
  return bars;
}

// Share of black in the source columns [lo, hi).
double black_share(const std::vector<bool> &bars, double lo, double hi)
{
  double black = 0;
  for (int i = static_cast<int>(std::floor(lo)); i < static_cast<int>(std::ceil(hi)); ++i)
    if (bars[static_cast<std::size_t>(i)])
      black += std::min<double>(i + 1, hi) - std::max<double>(i, lo);
  return black / (hi - lo);
}

Bitmap render(const Grey &g, const zarn_raster_options &o)
{
  zarn_raster_bitmap *b = nullptr;
  EXPECT_EQ(zarn_raster_render_pixels(g.px.data(), g.width, g.height, static_cast<size_t>(g.width),
                                      ZARN_RASTER_GREY8, &o, &b),
            ZARN_RASTER_OK)
      << zarn_raster_last_error();
  return Bitmap(b);
}

TEST(RasterBilevel, BarsResizedStayBlackAndWhiteDotForDot)
{
  // Enlarged by 1.36 and reduced to two thirds, onto a 17 x 10 mm label
  // (136 x 80 dots); every dither gives the same dots.
  for (const int width : {100, 204}) {
    for (const zarn_raster_dither dither :
         {ZARN_RASTER_DITHER_ORDERED, ZARN_RASTER_DITHER_FLOYD_STEINBERG}) {
      SCOPED_TRACE("width " + std::to_string(width) + ", dither " + std::to_string(dither));
      const std::vector<bool> bars = bar_pattern(width);
      Grey g(width, 40 * width / 100);
      for (int x = 0; x < width; ++x)
        if (bars[static_cast<std::size_t>(x)])
          g.fill(x, 0, 1, g.height, 0);
      const Dots d = unpack(render(g, options(17, 10, 203, dither)).get());
      ASSERT_EQ(d.width, 136);
      const int scaled_h = static_cast<int>(std::lround(g.height * 136.0 / width));
      const int top = (80 - scaled_h) / 2;
      const double rx = static_cast<double>(width) / 136;
      int wrong = 0, checked = 0;
      for (int x = 0; x < 136; ++x) {
        const double share = black_share(bars, x * rx, (x + 1) * rx);
        if (std::abs(share - 0.5) < 1e-3)
          continue; // half and half: either way is right
        for (int y = top; y < top + scaled_h; ++y) {
          ++checked;
          wrong += d.at(x, y) != (share > 0.5);
        }
      }
      EXPECT_GT(checked, 136 * (scaled_h - 1));
      EXPECT_EQ(wrong, 0) << "dots that are not the bars' majority, of " << checked;
    }
  }
}

TEST(RasterBilevel, GreyBesideTheBarsIsStillDithered)
{
  // The right half grey 128: its dots are no pure black and white, so the
  // dither keeps their tone while the bars on the left stay sharp.
  Grey g(100, 40);
  const std::vector<bool> bars = bar_pattern(50);
  for (int x = 0; x < 50; ++x)
    if (bars[static_cast<std::size_t>(x)])
      g.fill(x, 0, 1, 40, 0);
  g.fill(50, 0, 50, 40, 128);
  const Dots d = unpack(render(g, options(17, 10, 203, ZARN_RASTER_DITHER_ORDERED)).get());
  ASSERT_EQ(d.width, 136);
  const double grey = d.coverage(74, 20, 56, 40);
  EXPECT_GT(grey, 0.3);
  EXPECT_LT(grey, 0.7);
  // Every column of the bars is all ink or all paper.
  for (int x = 0; x < 66; ++x) {
    const double c = d.coverage(x, 20, 1, 40);
    EXPECT_TRUE(c == 0 || c == 1) << "column " << x << " is " << c << " ink";
  }
}

} // namespace
} // namespace zarn::raster::test
