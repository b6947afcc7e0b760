// SPDX-License-Identifier: MIT
// Printed through the emulator program over TCP: what it prints is the
// 1-bit image that was sent, dot for dot, and the barcodes on it scan.
#include "raster_fixtures.hpp"
#include "fake_printer.hpp" // ZARN_REQUIRE_FAKE
#include "image.hpp"        // the emulator's PNG reader
#include "zarn.h"

#include <gtest/gtest.h>
#include <zint.h>

#include <unistd.h>

#include <filesystem>

namespace zarn::raster::test {
namespace {

// The emulator's PNG as dots.
Dots printed(const std::filesystem::path &png)
{
  const zarn::emu::Image img = zarn::emu::read_png(png);
  Dots d;
  d.width = img.width;
  d.height = img.height;
  d.ink = img.px;
  return d;
}

// A shipping-label corner: a Code 128 and a QR code on a 50 x 30 mm label
// drawn at 2 pixels a module (the fit scales it to the printer).
std::vector<std::uint8_t> barcode_png()
{
  Grey g(400, 240);
  g.paste_barcode(BARCODE_CODE128, "ZARN-42-0815", 20, 20, 2, 90);
  g.paste_barcode(BARCODE_QRCODE, "https://example.org/t/42", 260, 110, 4);
  return png_file(g);
}

class RasterEmulator : public ::testing::Test {
 protected:
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("zarn-raster-emu-" + std::to_string(::getpid()));
  std::unique_ptr<Emulator> emu;
  void SetUp() override
  {
    emu = std::make_unique<Emulator>(dir);
    ZARN_REQUIRE_FAKE(emu->port() > 0, "the emulator did not start: " + emu->log());
    ASSERT_EQ(openethernet(const_cast<char *>("127.0.0.1"), emu->port()), 1);
  }
  void TearDown() override
  {
    closeport();
    emu.reset();
    std::filesystem::remove_all(dir);
  }
};

TEST_F(RasterEmulator, BarcodeAndQrPngPrintsDotForDotAndScans)
{
  const auto png = barcode_png();
  Bitmap b;
  ASSERT_EQ(render_bytes(png, options(50, 30, 203, ZARN_RASTER_DITHER_FLOYD_STEINBERG), b),
            ZARN_RASTER_OK)
      << zarn_raster_last_error();
  ASSERT_EQ(zarn_raster_encode(b.get(), 1, send_through_libzarn, nullptr), ZARN_RASTER_OK)
      << zarn_raster_last_error();
  ASSERT_TRUE(emu->wait_for("label 1:")) << emu->log();
  const Dots label = printed(emu->label(1));
  const Dots sent = unpack(b.get());
  EXPECT_EQ(label.width, 400);
  EXPECT_EQ(label.height, 240);
  EXPECT_TRUE(label == sent) << "the printed label differs from the bitmap sent";
  EXPECT_EQ(scan(label), (std::vector<std::string>{"CODE-128:ZARN-42-0815",
                                                   "QR-Code:https://example.org/t/42"}));
  // The preview writer gives the same dots as the printer.
  const auto preview = dir / "preview.png";
  ASSERT_EQ(zarn_raster_bitmap_write_png(b.get(), preview.c_str()), ZARN_RASTER_OK);
  EXPECT_TRUE(printed(preview) == sent);

  // At 300 dpi (12 dots/mm) the same label is 600 x 360 dots and still
  // scans; the 203-dpi emulator cannot show it whole, so the bitmap itself
  // is read.
  Bitmap fine;
  ASSERT_EQ(render_bytes(png, options(50, 30, 300, ZARN_RASTER_DITHER_FLOYD_STEINBERG), fine),
            ZARN_RASTER_OK);
  EXPECT_EQ(zarn_raster_bitmap_width(fine.get()), 600);
  EXPECT_EQ(zarn_raster_bitmap_height(fine.get()), 360);
  EXPECT_EQ(
      scan(unpack(fine.get())),
      (std::vector<std::string>{"CODE-128:ZARN-42-0815", "QR-Code:https://example.org/t/42"}));
}

TEST_F(RasterEmulator, Code128PdfPrintsAndScansWithTwoCopies)
{
  // 4 x 3 in page, bars of 1 pt: at 8 dots/mm a module is 2.8 dots, so the
  // bars only stay readable if they are rendered sharp at the device.
  const auto pdf = code128_pdf("1Z999AA10123456784", 288, 216, 20, 40, 1.0);
  Bitmap b;
  ASSERT_EQ(render_bytes(pdf, options(101.5, 76), b), ZARN_RASTER_OK) << zarn_raster_last_error();
  ASSERT_EQ(zarn_raster_encode(b.get(), 2, send_through_libzarn, nullptr), ZARN_RASTER_OK);
  ASSERT_TRUE(emu->wait_for("label 2:")) << emu->log();
  const Dots first = printed(emu->label(1));
  EXPECT_TRUE(first == unpack(b.get()));
  EXPECT_TRUE(printed(emu->label(2)) == first);
  EXPECT_EQ(scan(first), (std::vector<std::string>{"CODE-128:1Z999AA10123456784"}));
}

TEST_F(RasterEmulator, StreamedPageArrivesAsTheSameLabel)
{
  Grey g(320, 160);
  for (int y = 0; y < g.height; ++y)
    for (int x = 0; x < g.width; ++x)
      g.at(x, y) = static_cast<std::uint8_t>(x * 255 / g.width);
  g.fill(0, 30, 320, 90, 255); // the barcode's quiet zone stays paper
  g.paste_barcode(BARCODE_CODE128, "STREAM-7", 40, 40, 2, 70);
  ASSERT_EQ(setup(const_cast<char *>("40"), const_cast<char *>("20"), const_cast<char *>("4"),
                  const_cast<char *>("8"), const_cast<char *>("0"), const_cast<char *>("3"),
                  const_cast<char *>("0")),
            1);
  ASSERT_EQ(clearbuffer(), 1);
  zarn_raster_stream *s = nullptr;
  ASSERT_EQ(zarn_raster_stream_open(g.width, g.height, ZARN_RASTER_GREY8, nullptr,
                                    send_through_libzarn, nullptr, &s),
            ZARN_RASTER_OK);
  for (int y = 0; y < g.height; ++y)
    ASSERT_EQ(zarn_raster_stream_write(s, &g.px[static_cast<std::size_t>(y) * g.width], nullptr),
              ZARN_RASTER_OK);
  ASSERT_EQ(zarn_raster_stream_close(s), ZARN_RASTER_OK);
  ASSERT_EQ(printlabel(const_cast<char *>("1"), const_cast<char *>("1")), 1);
  ASSERT_TRUE(emu->wait_for("label 1:")) << emu->log();
  const zarn_raster_options o = options(0, 0, 203, ZARN_RASTER_DITHER_FLOYD_STEINBERG);
  Bitmap owned;
  ASSERT_EQ(render_grey(g, o, owned), ZARN_RASTER_OK);
  const zarn_raster_bitmap *whole = owned.get();
  const Dots label = printed(emu->label(1));
  EXPECT_TRUE(label == unpack(whole));
  EXPECT_EQ(scan(label), (std::vector<std::string>{"CODE-128:STREAM-7"}));
}

TEST_F(RasterEmulator, AnEncodedBitmapBlanksWhatItsPaperCovers)
{
  // The host blackens the whole 40 x 20 mm label, then places a picture
  // whose top and bottom rows are paper: there the label is paper again.
  Grey g(200, 100);
  g.fill(0, 40, 200, 20, 0);
  const zarn_raster_options o = options(0, 0, 203, ZARN_RASTER_DITHER_THRESHOLD);
  Bitmap owned;
  ASSERT_EQ(render_grey(g, o, owned), ZARN_RASTER_OK);
  const zarn_raster_bitmap *b = owned.get();
  ASSERT_EQ(setup(const_cast<char *>("40"), const_cast<char *>("20"), const_cast<char *>("4"),
                  const_cast<char *>("8"), const_cast<char *>("0"), const_cast<char *>("3"),
                  const_cast<char *>("0")),
            1);
  ASSERT_EQ(clearbuffer(), 1);
  ASSERT_EQ(sendcommand(const_cast<char *>("BAR 0,0,320,160")), 1);
  ASSERT_EQ(zarn_raster_encode_bitmap(b, 20, 30, 0, send_through_libzarn, nullptr), ZARN_RASTER_OK)
      << zarn_raster_last_error();
  ASSERT_EQ(printlabel(const_cast<char *>("1"), const_cast<char *>("1")), 1);
  ASSERT_TRUE(emu->wait_for("label 1:")) << emu->log();

  Dots expected{320, 160, std::vector<std::uint8_t>(320 * 160, 1)};
  const Dots picture = unpack(b);
  for (int y = 0; y < picture.height; ++y)
    for (int x = 0; x < picture.width; ++x)
      expected.ink[static_cast<std::size_t>(y + 30) * 320 + x + 20] = picture.at(x, y) ? 1 : 0;
  const Dots label = printed(emu->label(1));
  EXPECT_FALSE(label.at(100, 31)) << "the picture's paper rows did not blank the bar";
  EXPECT_TRUE(label.at(100, 80));
  EXPECT_TRUE(label == expected);
}

TEST(RasterEncode, BadCallsAndAFailingSinkSayWhat)
{
  Bitmap b;
  ASSERT_EQ(render_bytes(png_file(Grey(16, 16, 0)), options(), b), ZARN_RASTER_OK);
  std::string out;
  EXPECT_EQ(zarn_raster_encode(b.get(), 1, nullptr, nullptr), ZARN_RASTER_ERR_ARGUMENT);
  EXPECT_EQ(zarn_raster_encode(b.get(), 0, append_to_string, &out), ZARN_RASTER_ERR_ARGUMENT);
  EXPECT_EQ(zarn_raster_encode_bitmap(b.get(), 0, 0, 2, append_to_string, &out),
            ZARN_RASTER_ERR_ARGUMENT);
  EXPECT_EQ(zarn_raster_encode_bitmap(b.get(), -1, 0, 0, append_to_string, &out),
            ZARN_RASTER_ERR_ARGUMENT);
  EXPECT_TRUE(out.empty());
  // A sink that refuses its first piece ends the encoding there.
  int calls = 0;
  const auto refuse = [](const unsigned char *, size_t, void *ctx) {
    ++*static_cast<int *>(ctx);
    return -1;
  };
  EXPECT_EQ(zarn_raster_encode(b.get(), 1, refuse, &calls), ZARN_RASTER_ERR_SEND);
  EXPECT_EQ(calls, 1);
  EXPECT_STREQ(zarn_raster_last_error(), "encode: the host stopped the output (its sink failed)");
}

TEST(RasterEncode, OnlyTheRowsWithInkGoOnABlankLabel)
{
  // 300 dpi: 101 x 53 dots is 8.417 x 4.417 mm; two rows of ink at y 20.
  Grey g(101, 53);
  g.fill(0, 20, 101, 2, 0);
  const zarn_raster_options o = options(0, 0, 300);
  Bitmap owned;
  ASSERT_EQ(render_grey(g, o, owned), ZARN_RASTER_OK);
  const zarn_raster_bitmap *b = owned.get();
  // Each row: 12 bytes of ink, then 5 dots of ink and 3 spare bits set.
  const std::string row = std::string(12, '\0') + "\x07";
  std::string label;
  ASSERT_EQ(zarn_raster_encode(b, 3, append_to_string, &label), ZARN_RASTER_OK);
  EXPECT_EQ(label,
            "SIZE 8.417 mm,4.417 mm\r\nCLS\r\nBITMAP 0,20,13,2,0," + row + row + "PRINT 1,3\r\n");
  std::string placed;
  ASSERT_EQ(
      zarn_raster_encode_bitmap(b, 5, 7, ZARN_RASTER_ENCODE_ON_BLANK, append_to_string, &placed),
      ZARN_RASTER_OK);
  EXPECT_EQ(placed, "BITMAP 5,27,13,2,0," + row + row);
  // All paper on a blank label: nothing to draw, no BITMAP at all.
  Bitmap paper;
  ASSERT_EQ(render_grey(Grey(16, 8), o, paper), ZARN_RASTER_OK);
  std::string none;
  ASSERT_EQ(zarn_raster_encode_bitmap(paper.get(), 0, 0, ZARN_RASTER_ENCODE_ON_BLANK,
                                      append_to_string, &none),
            ZARN_RASTER_OK);
  EXPECT_TRUE(none.empty());
}

TEST(RasterEncode, WithoutTheBlankFlagEveryRowGoesPaperIncluded)
{
  Grey g(101, 53);
  g.fill(0, 20, 101, 2, 0);
  const zarn_raster_options o = options(0, 0, 300);
  Bitmap owned;
  ASSERT_EQ(render_grey(g, o, owned), ZARN_RASTER_OK);
  std::string out;
  ASSERT_EQ(zarn_raster_encode_bitmap(owned.get(), 5, 7, 0, append_to_string, &out),
            ZARN_RASTER_OK);
  const std::string paper(13, '\xFF');
  const std::string ink = std::string(12, '\0') + "\x07";
  std::string expected = "BITMAP 5,7,13,53,0,";
  for (int y = 0; y < 53; ++y)
    expected += y == 20 || y == 21 ? ink : paper;
  EXPECT_EQ(out, expected);
}

} // namespace
} // namespace zarn::raster::test
