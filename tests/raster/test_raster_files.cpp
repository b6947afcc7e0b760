// SPDX-License-Identifier: MIT
// Every format decodes to the same dots; damaged, empty, truncated, absurd
// and non-picture files each give one clear error, and nothing reaches the
// printer.
#include "raster_fixtures.hpp"
#include "fake_printer.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <zlib.h>

#include <filesystem>

namespace zarn::raster::test {
namespace {

using zarn::test::FakeTcpPrinter;

// 40 x 24: two black blocks on white, 8-pixel aligned so that even JPEG
// keeps the edges on the threshold.
Grey blocks()
{
  Grey g(40, 24);
  g.fill(0, 0, 16, 8, 0);
  g.fill(24, 16, 16, 8, 0);
  return g;
}

Dots expected_blocks()
{
  Dots d;
  d.width = 40;
  d.height = 24;
  d.ink.assign(40 * 24, 0);
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 40; ++x)
      d.ink[static_cast<std::size_t>(y) * 40 + x] = (x < 16 && y < 8) || (x >= 24 && y >= 16);
  return d;
}

class RasterFiles : public ::testing::Test {
 protected:
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("zarn-raster-" + std::to_string(::getpid()));
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(RasterFiles, EveryFormatDecodesToTheSameDots)
{
  const Grey g = blocks();
  const std::vector<std::pair<const char *, std::vector<std::uint8_t>>> files = {
      {"png", png_file(g)},
      {"jpeg", jpeg_file(g)},
      {"bmp", bmp_file(g)},
      {"gif", gif_file(g)},
      {"tiff", tiff_file(g, dir / "t.tiff")},
      {"webp", webp_file(g)},
  };
  for (const auto &[name, bytes] : files) {
    SCOPED_TRACE(name);
    const auto path = dir / (std::string("picture.") + name);
    write_file(path, bytes);
    zarn_raster_options o = options();
    zarn_raster_bitmap *raw = nullptr;
    ASSERT_EQ(zarn_raster_render_file(path.c_str(), 1, &o, &raw), ZARN_RASTER_OK)
        << zarn_raster_last_error();
    const Bitmap b(raw);
    EXPECT_EQ(unpack(b.get()), expected_blocks());
  }
}

TEST_F(RasterFiles, PdfPagesAreCountedAndPickedOne_at_a_time)
{
  const auto pdf = code128_pdf("PAGE1", 200, 100, 10, 10, 1);
  zarn_raster_document *raw = nullptr;
  ASSERT_EQ(zarn_raster_open_memory(pdf.data(), pdf.size(), "one.pdf", &raw), ZARN_RASTER_OK);
  const zarn::Owned<zarn_raster_document, zarn_raster_document_close> doc(raw);
  EXPECT_EQ(zarn_raster_document_pages(doc.get()), 1);
  zarn_raster_bitmap *b = nullptr;
  const zarn_raster_options o = options();
  EXPECT_EQ(zarn_raster_render(doc.get(), 2, &o, &b), ZARN_RASTER_ERR_PAGE);
  EXPECT_EQ(b, nullptr);
  EXPECT_STREQ(zarn_raster_last_error(),
               "one.pdf: page 2: there is no page 2 (the PDF has 1 page)");
  ASSERT_EQ(zarn_raster_render(doc.get(), 1, &o, &b), ZARN_RASTER_OK);
  const Bitmap page(b);
  // Its own size at 8 dots/mm: 200 x 100 pt.
  EXPECT_EQ(zarn_raster_bitmap_width(page.get()), 564);
  EXPECT_EQ(zarn_raster_bitmap_height(page.get()), 282);
}

TEST_F(RasterFiles, PdfTextAndBarsArriveAsPureDotsThatNoDitherTouches)
{
  // Rendered at the device without antialiasing, the caption and the bars
  // are only black and white: Floyd-Steinberg then leaves exactly the dots
  // a plain threshold gives, and the caption under the bars has ink.
  const auto pdf = code128_pdf("CRISP-1", 200, 120, 10, 10, 0.9);
  Bitmap dithered, thresholded;
  ASSERT_EQ(render_bytes(pdf, options(0, 0, 203, ZARN_RASTER_DITHER_FLOYD_STEINBERG), dithered),
            ZARN_RASTER_OK);
  ASSERT_EQ(render_bytes(pdf, options(0, 0, 203, ZARN_RASTER_DITHER_THRESHOLD), thresholded),
            ZARN_RASTER_OK);
  const Dots d = unpack(dithered.get());
  EXPECT_TRUE(d == unpack(thresholded.get()));
  // The caption's baseline is 70 pt below the bars' top: 14 pt text above it.
  const int top = static_cast<int>((10 + 70 - 14) * 8 * 25.4 / 72),
            bottom = static_cast<int>((10 + 72) * 8 * 25.4 / 72);
  EXPECT_GT(d.coverage(28, top, 300, bottom - top), 0.05);
}

// A PNG with a valid signature and IHDR chunk (CRC included) declaring
// width x height, and nothing after it.
std::vector<std::uint8_t> png_header_only(std::uint32_t width, std::uint32_t height)
{
  Grey tiny(1, 1);
  std::vector<std::uint8_t> png = png_file(tiny);
  const auto be32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      png[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
  };
  be32(16, width);
  be32(20, height);
  be32(29, static_cast<std::uint32_t>(crc32(0, png.data() + 12, 17)));
  return png;
}

TEST_F(RasterFiles, BadFilesGiveOneClearErrorAndNothingIsSent)
{
  FakeTcpPrinter printer;
  ASSERT_EQ(openethernet(const_cast<char *>("127.0.0.1"), printer.port()), 1);

  const std::vector<std::uint8_t> good = png_file(blocks());
  std::vector<std::uint8_t> corrupt = good;
  corrupt[corrupt.size() / 2] ^= 0x55; // inside the image data: its CRC no longer matches
  const std::vector<std::uint8_t> truncated(good.begin(),
                                            good.begin() + static_cast<long>(good.size() - 20));
  std::vector<std::uint8_t> gif_bomb = gif_file(Grey(2, 2));
  gif_bomb[6] = gif_bomb[7] = gif_bomb[8] = gif_bomb[9] = 0xFF; // screen 65535 x 65535
  const std::size_t image = 13 + 768;                           // the image descriptor
  gif_bomb[image + 5] = gif_bomb[image + 6] = gif_bomb[image + 7] = gif_bomb[image + 8] = 0xFF;
  const std::string text = "Dear printer,\nplease print this letter.\n";
  struct Case {
    const char *name;
    std::vector<std::uint8_t> bytes;
    zarn_raster_status status;
    const char *message;
  } cases[] = {
      {"empty", {}, ZARN_RASTER_ERR_CORRUPT, "empty: the file is empty"},
      {"text",
       {text.begin(), text.end()},
       ZARN_RASTER_ERR_FORMAT,
       "text: not a picture or PDF (PNG, JPEG, BMP, GIF, TIFF, WebP or PDF)"},
      {"corrupt", corrupt, ZARN_RASTER_ERR_CORRUPT, "corrupt: damaged PNG: IDAT: CRC error"},
      {"truncated", truncated, ZARN_RASTER_ERR_CORRUPT,
       "truncated: damaged PNG: the data ends early (truncated file)"},
      {"bomb", png_header_only(100000, 100000), ZARN_RASTER_ERR_TOO_LARGE,
       "bomb: picture of 100000 x 100000 pixels is over the limit of 67108864 pixels"},
      {"gif-bomb", gif_bomb, ZARN_RASTER_ERR_TOO_LARGE,
       "gif-bomb: picture of 65535 x 65535 pixels is over the limit of 67108864 pixels"},
      {"pdf",
       {'%', 'P', 'D', 'F', '-', '1', '.', '4', '\n', 'x'},
       ZARN_RASTER_ERR_CORRUPT,
       nullptr},
  };
  struct rusage before {};
  ::getrusage(RUSAGE_SELF, &before);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = dir / c.name;
    write_file(path, c.bytes);
    const zarn_raster_options o = options(50, 30);
    zarn_raster_bitmap *b = nullptr;
    EXPECT_EQ(zarn_raster_render_file(path.c_str(), 1, &o, &b), c.status);
    EXPECT_EQ(b, nullptr);
    const std::string message = zarn_raster_last_error();
    EXPECT_EQ(message.find('\n'), std::string::npos);
    if (c.message)
      EXPECT_EQ(message, (dir / c.message).string());
    else
      EXPECT_EQ(message.rfind((dir / "pdf: damaged PDF: ").string(), 0), 0u) << message;
  }
  struct rusage after {};
  ::getrusage(RUSAGE_SELF, &after);
  // The bombs were refused from their headers, before any large allocation.
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB";
  closeport();
  EXPECT_EQ(printer.received(), "");

  // A file that is not there, and a folder.
  zarn_raster_bitmap *b = nullptr;
  EXPECT_EQ(zarn_raster_render_file((dir / "missing.png").c_str(), 1, nullptr, &b),
            ZARN_RASTER_ERR_IO);
  EXPECT_EQ(std::string(zarn_raster_last_error()),
            (dir / "missing.png").string() + ": cannot open: No such file or directory");
  EXPECT_EQ(zarn_raster_render_file(dir.c_str(), 1, nullptr, &b), ZARN_RASTER_ERR_IO);
}

TEST_F(RasterFiles, AGifThatWrecksSdlImageIsOnlyDamaged)
{
  // Found by fuzz_raster: SDL2_image 2.6's GIF reader writes to a wild
  // address on these 113 bytes (a mutated 24 x 16 GIF).
  const std::vector<std::uint8_t> gif = {
      0x47, 0x49, 0x46, 0x38, 0x37, 0x61, 0x18, 0x00, 0x10, 0x00, 0x81, 0x00, 0x00, 0x00, 0x08,
      0x00, 0x80, 0x80, 0x80, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00,
      0x18, 0x00, 0x10, 0x00, 0x40, 0x08, 0x4a, 0x00, 0x05, 0x08, 0x1c, 0x48, 0xb0, 0xa0, 0xc1,
      0x82, 0x00, 0x12, 0x2a, 0x54, 0x28, 0x20, 0x80, 0xc3, 0x87, 0x0f, 0x11, 0x2e, 0x5c, 0xd8,
      0x10, 0x22, 0x44, 0x89, 0x13, 0x13, 0x1e, 0xdc, 0x98, 0x91, 0xe1, 0x46, 0x83, 0x1d, 0x35,
      0x5a, 0xbc, 0x48, 0x30, 0x24, 0x80, 0x8f, 0x2c, 0x53, 0xaa, 0x5c, 0xc9, 0x31, 0x24, 0x4b,
      0x01, 0x26, 0x2b, 0x8e, 0x0c, 0x80, 0x31, 0xa3, 0xcc, 0x91, 0x35, 0x27, 0xbe, 0x8c, 0xf9,
      0xb2, 0xa7, 0x4f, 0x95, 0x01, 0x01, 0x00, 0x3b,
  };
  Bitmap b;
  EXPECT_EQ(render_bytes(gif, options(), b), ZARN_RASTER_ERR_CORRUPT);
  EXPECT_STREQ(zarn_raster_last_error(), "test: damaged GIF: Image is defective, decoding aborted");
}

TEST_F(RasterFiles, AJpegCutShortIsDamagedNotHalfGrey)
{
  Grey g(64, 64, 200);
  g.fill(0, 0, 32, 64, 0);
  std::vector<std::uint8_t> jpeg = jpeg_file(g);
  jpeg.resize(jpeg.size() * 2 / 3);
  Bitmap b;
  EXPECT_EQ(render_bytes(jpeg, options(), b), ZARN_RASTER_ERR_CORRUPT);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(std::string(zarn_raster_last_error()).rfind("test: damaged JPEG: ", 0), 0u)
      << zarn_raster_last_error();
}

TEST_F(RasterFiles, OptionsOutOfRangeAreRefusedByName)
{
  const auto png = png_file(blocks());
  Bitmap b;
  zarn_raster_options o = options(50, 30);
  o.dpi = 250;
  EXPECT_EQ(render_bytes(png, o, b), ZARN_RASTER_ERR_ARGUMENT);
  EXPECT_STREQ(zarn_raster_last_error(), "test: dpi must be 203, 300 or 600");
  o = options(50, 0);
  EXPECT_EQ(render_bytes(png, o, b), ZARN_RASTER_ERR_ARGUMENT);
  o = options(50, 30);
  o.margin_left_mm = o.margin_right_mm = 25;
  EXPECT_EQ(render_bytes(png, o, b), ZARN_RASTER_ERR_ARGUMENT);
  EXPECT_STREQ(zarn_raster_last_error(), "test: the margins leave no room on the label");
  o = options(50, 30);
  o.threshold = 1;
  EXPECT_EQ(render_bytes(png, o, b), ZARN_RASTER_ERR_ARGUMENT);
  // A caller built against an older, shorter options struct gets defaults
  // for the fields it does not know.
  o = options(50, 30);
  o.max_pixels = 1;
  o.size = offsetof(zarn_raster_options, max_pixels);
  EXPECT_EQ(render_bytes(png, o, b), ZARN_RASTER_OK) << zarn_raster_last_error();
  o.size = 0;
  EXPECT_EQ(render_bytes(png, o, b), ZARN_RASTER_ERR_ARGUMENT);
}

} // namespace
} // namespace zarn::raster::test
