// SPDX-License-Identifier: MIT
// Tone, fitting, rotation, the packed byte layout and the line stream.
#include "raster_fixtures.hpp"
#include "fake_printer.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace zarn::raster::test {
namespace {

using zarn::test::FakeTcpPrinter;

Bitmap render_grey(const Grey &g, const zarn_raster_options &o)
{
  zarn_raster_bitmap *b = nullptr;
  const zarn_raster_status st = zarn_raster_render_pixels(
      g.px.data(), g.width, g.height, static_cast<size_t>(g.width), ZARN_RASTER_GREY8, &o, &b);
  EXPECT_EQ(st, ZARN_RASTER_OK) << zarn_raster_last_error();
  return Bitmap(b);
}

TEST(RasterTone, GreyRampKeepsItsDensityPerPatchUnderEveryDither)
{
  // 17 patches of 64 x 64 from black to white; the ink share of a patch of
  // grey v should be 1 - v/255.
  constexpr int kPatch = 64, kSteps = 17;
  Grey ramp(kPatch * kSteps, kPatch);
  for (int i = 0; i < kSteps; ++i)
    ramp.fill(i * kPatch, 0, kPatch, kPatch, static_cast<std::uint8_t>(std::min(255, i * 16)));
  for (const auto dither : {ZARN_RASTER_DITHER_FLOYD_STEINBERG, ZARN_RASTER_DITHER_ATKINSON,
                            ZARN_RASTER_DITHER_ORDERED}) {
    SCOPED_TRACE(dither);
    const Bitmap b = render_grey(ramp, options(0, 0, 203, dither));
    const Dots d = unpack(b.get());
    for (int i = 0; i < kSteps; ++i) {
      const int v = std::min(255, i * 16);
      // Leave out the patch edges, where the neighbour's error spills in.
      const double ink = d.coverage(i * kPatch + 4, 4, kPatch - 8, kPatch - 8);
      EXPECT_NEAR(ink, 1 - v / 255.0, 0.05) << "grey " << v;
    }
  }
}

TEST(RasterTone, PureBlackAndWhiteStayExactBesideDitheredGrey)
{
  // A one-dot black line between two mid-grey fields: error diffusion must
  // neither break the line nor spill into the white paper around it.
  Grey g(64, 32, 128);
  g.fill(0, 14, 64, 4, 255);
  g.fill(0, 15, 64, 1, 0);
  const Dots d =
      unpack(render_grey(g, options(0, 0, 203, ZARN_RASTER_DITHER_FLOYD_STEINBERG)).get());
  for (int x = 0; x < 64; ++x) {
    EXPECT_FALSE(d.at(x, 14)) << x;
    EXPECT_TRUE(d.at(x, 15)) << x;
    EXPECT_FALSE(d.at(x, 16)) << x;
    EXPECT_FALSE(d.at(x, 17)) << x;
  }
}

TEST(RasterTone, ColoursAreWeighedInLinearLight)
{
  // Pure red has a luminance of 0.2126, which is sRGB grey 127.5: half
  // ink. A weighting of the encoded values (0.299 R) would give 70 %.
  const int w = 128, h = 128;
  std::vector<std::uint8_t> red;
  for (int i = 0; i < w * h; ++i)
    red.insert(red.end(), {255, 0, 0});
  zarn_raster_options o = options(0, 0, 203, ZARN_RASTER_DITHER_FLOYD_STEINBERG);
  zarn_raster_bitmap *b = nullptr;
  ASSERT_EQ(zarn_raster_render_pixels(red.data(), w, h, w * 3, ZARN_RASTER_RGB24, &o, &b),
            ZARN_RASTER_OK);
  const Bitmap owned(b);
  EXPECT_NEAR(unpack(b).coverage(8, 8, w - 16, h - 16), 0.5, 0.03);
  // Alpha shows the paper: a fully transparent black picture prints nothing.
  std::vector<std::uint8_t> clear(static_cast<std::size_t>(w) * h * 4, 0);
  ASSERT_EQ(zarn_raster_render_pixels(clear.data(), w, h, w * 4, ZARN_RASTER_RGBA32, &o, &b),
            ZARN_RASTER_OK);
  const Bitmap transparent(b);
  EXPECT_EQ(unpack(b).coverage(0, 0, w, h), 0.0);
}

// A 60 x 20 picture: black with one white dot-sized notch at its top left
// corner, so that where the corner went shows the rotation.
Grey marked_landscape()
{
  Grey g(60, 20, 0);
  g.fill(0, 0, 5, 5, 255);
  return g;
}

struct Box {
  int x0, y0, x1, y1;
  bool operator==(const Box &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Box &b)
{
  return os << "[" << b.x0 << "," << b.y0 << " - " << b.x1 << "," << b.y1 << ")";
}
Box ink_box(const Dots &d)
{
  Box b{d.width, d.height, 0, 0};
  for (int y = 0; y < d.height; ++y)
    for (int x = 0; x < d.width; ++x)
      if (d.at(x, y)) {
        b.x0 = std::min(b.x0, x);
        b.y0 = std::min(b.y0, y);
        b.x1 = std::max(b.x1, x + 1);
        b.y1 = std::max(b.y1, y + 1);
      }
  return b;
}

TEST(RasterFit, ScaledCentredTurnedAndKeptInsideTheMargins)
{
  const Grey g = marked_landscape();
  // 20 x 40 mm at 8 dots/mm: 160 x 320 dots, portrait.
  zarn_raster_options o = options(20, 40);
  {
    // Not turned: 60 x 20 scaled by 160/60 to 160 x 53, centred vertically.
    const Dots d = unpack(render_grey(g, o).get());
    ASSERT_EQ(d.width, 160);
    ASSERT_EQ(d.height, 320);
    EXPECT_EQ(ink_box(d), (Box{0, 133, 160, 186}));
    EXPECT_FALSE(d.at(2, 135)); // the notch at the top left
  }
  {
    // auto: a landscape picture on a portrait label turns 90 degrees
    // clockwise to 107 x 320; its top left corner goes to the top right.
    o.rotate = ZARN_RASTER_ROTATE_AUTO;
    const Dots d = unpack(render_grey(g, o).get());
    EXPECT_EQ(ink_box(d), (Box{26, 0, 133, 320}));
    EXPECT_FALSE(d.at(130, 3));
    EXPECT_TRUE(d.at(28, 3));
  }
  {
    o.rotate = ZARN_RASTER_ROTATE_270; // top left corner to the bottom left
    const Dots d = unpack(render_grey(g, o).get());
    EXPECT_EQ(ink_box(d), (Box{26, 0, 133, 320}));
    EXPECT_FALSE(d.at(28, 316));
    EXPECT_TRUE(d.at(130, 316));
  }
  {
    o.rotate = ZARN_RASTER_ROTATE_180; // to the bottom right
    const Dots d = unpack(render_grey(g, o).get());
    EXPECT_FALSE(d.at(157, 183));
    EXPECT_TRUE(d.at(2, 183));
  }
  {
    // Margins of 2 mm left, 4 mm right and 5 mm top leave a box of 112 x
    // 280 dots from (16, 40): the picture is 112 x 37, centred in it.
    o = options(20, 40);
    o.margin_left_mm = 2;
    o.margin_right_mm = 4;
    o.margin_top_mm = 5;
    const Dots d = unpack(render_grey(g, o).get());
    EXPECT_EQ(ink_box(d), (Box{16, 40 + 121, 128, 40 + 121 + 37}));
  }
  {
    // shrink never enlarges; none prints one pixel a dot, centred.
    o = options(20, 40);
    o.fit = ZARN_RASTER_FIT_SHRINK;
    EXPECT_EQ(ink_box(unpack(render_grey(g, o).get())), (Box{50, 150, 110, 170}));
    o.fit = ZARN_RASTER_FIT_NONE;
    EXPECT_EQ(ink_box(unpack(render_grey(g, o).get())), (Box{50, 150, 110, 170}));
  }
}

TEST(RasterFit, DownscalingAveragesInLinearLight)
{
  // One-dot black and white stripes halved: each output dot is half black
  // in light, which is sRGB grey 188, so about a quarter ink.
  Grey g(256, 256);
  for (int x = 0; x < 256; x += 2)
    g.fill(x, 0, 1, 256, 0);
  zarn_raster_options o = options(16, 16, 203, ZARN_RASTER_DITHER_FLOYD_STEINBERG);
  const Dots d = unpack(render_grey(g, o).get());
  ASSERT_EQ(d.width, 128);
  EXPECT_NEAR(d.coverage(4, 4, 120, 120), 1 - 188 / 255.0, 0.04);
}

TEST(RasterPack, SameBytesAsTheTrueTypePath)
{
  // windowsfont's BITMAP block is the reference for the byte layout: its
  // dots rendered again through the raster library give the same bytes,
  // spare bits at the row ends included.
  FakeTcpPrinter printer;
  ASSERT_EQ(openethernet(const_cast<char *>("127.0.0.1"), printer.port()), 1);
  ASSERT_EQ(
      windowsfont(0, 0, 23, 0, const_cast<char *>(ZARN_TEST_FONT), const_cast<char *>("Zarn 17")),
      1);
  ASSERT_TRUE(printer.wait_for_text("BITMAP 0,0,"));
  const std::string got = printer.received();
  int wb = 0, h = 0;
  ASSERT_EQ(std::sscanf(got.c_str(), "BITMAP 0,0,%d,%d,0,", &wb, &h), 2);
  const std::size_t start = got.find(",0,") + 3;
  ASSERT_TRUE(printer.wait_for_bytes(start + static_cast<std::size_t>(wb) * h));
  const std::string reference = printer.received().substr(start, static_cast<std::size_t>(wb) * h);
  closeport();
  // Any width in the last byte that holds all the ink packs the same way;
  // one that is not a multiple of 8 makes the spare bits matter.
  int width = (wb - 1) * 8 + 1;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < wb * 8; ++x)
      if (!(static_cast<std::uint8_t>(reference[static_cast<std::size_t>(y * wb + x / 8)]) &
            (0x80 >> (x % 8))))
        width = std::max(width, x + 1);
  ASSERT_NE(width % 8, 0);
  Grey g(width, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < width; ++x)
      if (!(static_cast<std::uint8_t>(reference[static_cast<std::size_t>(y * wb + x / 8)]) &
            (0x80 >> (x % 8))))
        g.at(x, y) = 0;
  const Bitmap b = render_grey(g, options());
  ASSERT_EQ(zarn_raster_bitmap_bytes_per_row(b.get()), wb);
  const std::string ours(reinterpret_cast<const char *>(zarn_raster_bitmap_data(b.get())),
                         static_cast<std::size_t>(wb) * h);
  EXPECT_EQ(ours, reference);
}

TEST(RasterStream, LineByLineGivesTheSameBytesAsAWholePage)
{
  Grey g(203, 97);
  for (int y = 0; y < g.height; ++y)
    for (int x = 0; x < g.width; ++x)
      g.at(x, y) = static_cast<std::uint8_t>((x * 255) / g.width);
  g.fill(10, 10, 50, 3, 0);
  for (const auto dither : {ZARN_RASTER_DITHER_FLOYD_STEINBERG, ZARN_RASTER_DITHER_ATKINSON,
                            ZARN_RASTER_DITHER_ORDERED, ZARN_RASTER_DITHER_THRESHOLD}) {
    SCOPED_TRACE(dither);
    const zarn_raster_options o = options(0, 0, 203, dither);
    const Bitmap whole = render_grey(g, o);
    zarn_raster_stream *s = nullptr;
    ASSERT_EQ(
        zarn_raster_stream_open(g.width, g.height, ZARN_RASTER_GREY8, &o, nullptr, nullptr, &s),
        ZARN_RASTER_OK);
    const int bpr = zarn_raster_stream_bytes_per_row(s);
    std::vector<unsigned char> rows(static_cast<std::size_t>(bpr) * g.height);
    for (int y = 0; y < g.height; ++y)
      ASSERT_EQ(zarn_raster_stream_write(s, &g.px[static_cast<std::size_t>(y) * g.width],
                                         &rows[static_cast<std::size_t>(y) * bpr]),
                ZARN_RASTER_OK);
    EXPECT_EQ(zarn_raster_stream_write(s, g.px.data(), nullptr), ZARN_RASTER_ERR_STATE);
    EXPECT_EQ(zarn_raster_stream_close(s), ZARN_RASTER_OK);
    EXPECT_EQ(0, std::memcmp(rows.data(), zarn_raster_bitmap_data(whole.get()), rows.size()));
  }
}

TEST(RasterStream, AnEncodingStreamClosedEarlyCompletesTheBlockWithPaper)
{
  std::string out;
  zarn_raster_stream *s = nullptr;
  ASSERT_EQ(zarn_raster_stream_open(16, 4, ZARN_RASTER_BLACK1, nullptr, append_to_string, &out, &s),
            ZARN_RASTER_OK);
  EXPECT_EQ(out, "BITMAP 0,0,2,4,0,");        // the header comes at once
  const unsigned char line[2] = {0xF0, 0x01}; // set = ink in PWG's black_1
  ASSERT_EQ(zarn_raster_stream_write(s, line, nullptr), ZARN_RASTER_OK);
  EXPECT_EQ(zarn_raster_stream_close(s), ZARN_RASTER_ERR_STATE);
  EXPECT_STREQ(zarn_raster_last_error(),
               "stream: closed after 1 of 4 lines; the rest went out as paper");
  EXPECT_EQ(out, std::string("BITMAP 0,0,2,4,0,") + "\x0F\xFE" + std::string(6, '\xFF'));
}

TEST(RasterStream, ASinkThatFailsStopsTheStream)
{
  // The sink takes the header, then refuses: the row that follows is
  // refused too, and close still releases the stream.
  struct Budget {
    int calls = 0;
  } budget;
  const auto once = [](const unsigned char *, size_t, void *ctx) {
    return static_cast<Budget *>(ctx)->calls++ == 0 ? 0 : 1;
  };
  // 600 x 200 dots: 75 bytes a row, the first 64 KiB piece is row 874, so
  // a page of 1000 rows reaches the sink again.
  zarn_raster_stream *s = nullptr;
  ASSERT_EQ(zarn_raster_stream_open(600, 1000, ZARN_RASTER_GREY8, nullptr, once, &budget, &s),
            ZARN_RASTER_OK);
  const std::vector<std::uint8_t> line(600, 0);
  zarn_raster_status st = ZARN_RASTER_OK;
  int y = 0;
  for (; y < 1000 && st == ZARN_RASTER_OK; ++y)
    st = zarn_raster_stream_write(s, line.data(), nullptr);
  EXPECT_EQ(st, ZARN_RASTER_ERR_SEND);
  EXPECT_LT(y, 1000);
  EXPECT_EQ(zarn_raster_stream_close(s), ZARN_RASTER_ERR_SEND);
  EXPECT_EQ(budget.calls, 2) << "the stream went on after its sink failed";
}

} // namespace
} // namespace zarn::raster::test
