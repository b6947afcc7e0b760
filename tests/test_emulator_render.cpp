// SPDX-License-Identifier: MIT
// What the emulator prints: label sizes, bitmaps to the dot, text inside the
// cells of its font, barcodes that a scanner reads back.
#include "test_emulator_util.hpp"

#include <random>

namespace zarn::emu::test {
namespace {

Image print_one(const std::string &commands)
{
  RecordingPrinter p;
  p.send(commands + "PRINT 1\r\n");
  EXPECT_EQ(p.images.size(), 1u) << (p.log.empty() ? "" : p.log.front());
  return p.images.empty() ? Image() : p.images.front();
}

TEST(EmulatorRender, LabelSizeFollowsSize)
{
  struct Case {
    const char *size;
    int w, h;
  } cases[] = {{"SIZE 100 mm,60 mm", 800, 480},
               {"SIZE 57.5 mm,30 mm", 460, 240},
               {"SIZE 4,2", 813, 406}, // inches at 203.2 dots per inch
               {"SIZE 400 dot,240 dot", 400, 240}};
  for (const Case &c : cases) {
    const Image img = print_one(std::string(c.size) + "\r\nCLS\r\n");
    EXPECT_EQ(img.width, c.w) << c.size;
    EXPECT_EQ(img.height, c.h) << c.size;
    EXPECT_EQ(img.dots(), 0) << c.size;
  }
}

TEST(EmulatorRender, PngHasTheLabelsSizeAndDots)
{
  TempDir dir;
  PrinterConfig config;
  config.output_dir = dir.path;
  RecordingPrinter p(config);
  p.send("SIZE 30 mm,20 mm\r\nCLS\r\nBAR 10,20,5,7\r\nPRINT 1,2\r\n");
  ASSERT_EQ(p.images.size(), 2u);
  const Image first = read_png(dir.path / "label-0001.png");
  EXPECT_EQ(first.width, 240);
  EXPECT_EQ(first.height, 160);
  EXPECT_EQ(first, p.images[0]);
  EXPECT_EQ(ink_box(first).x0, 10);
  EXPECT_EQ(ink_box(first).y1, 27);
  EXPECT_EQ(first.dots(), 35);
  EXPECT_TRUE(std::filesystem::exists(dir.path / "label-0002.png"));
}

TEST(EmulatorRender, BitmapLandsDotForDot)
{
  std::mt19937 rng(7);
  const int wb = 3, h = 11, x = 37, y = 53;
  std::string bits(wb * h, '\0');
  for (char &c : bits)
    c = static_cast<char>(rng());
  const Image img =
      print_one("SIZE 20 mm,15 mm\r\nCLS\r\nBITMAP " + std::to_string(x) + "," + std::to_string(y) +
                "," + std::to_string(wb) + "," + std::to_string(h) + ",0," + bits);
  long long expected = 0;
  for (int j = 0; j < img.height; ++j)
    for (int i = 0; i < img.width; ++i) {
      int want = 0;
      if (i >= x && i < x + wb * 8 && j >= y && j < y + h) {
        const int bx = i - x, by = j - y;
        // A clear bit is a dot; the leftmost dot is the byte's top bit.
        want = (static_cast<unsigned char>(bits[by * wb + bx / 8]) & (0x80 >> (bx % 8))) ? 0 : 1;
      }
      expected += want;
      ASSERT_EQ(img.at(i, j), want) << "at " << i << "," << j;
    }
  EXPECT_GT(expected, 0);
}

TEST(EmulatorRender, BitmapModesAndClipping)
{
  // One byte 0x0F: four dots then four blanks, drawn over a solid bar.
  const std::string bar = "SIZE 10 mm,10 mm\r\nCLS\r\nBAR 0,0,8,1\r\n";
  const Image over = print_one(bar + "BITMAP 0,0,1,1,0,\x0f");
  const Image orr = print_one(bar + "BITMAP 0,0,1,1,1,\x0f");
  const Image xorr = print_one(bar + "BITMAP 0,0,1,1,2,\x0f");
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(over.at(i, 0), i < 4 ? 1 : 0) << i;
    EXPECT_EQ(orr.at(i, 0), 1) << i;
    EXPECT_EQ(xorr.at(i, 0), i < 4 ? 0 : 1) << i;
  }
  // Hanging over every edge: what lies on the label is drawn, no more.
  const Image clipped =
      print_one("SIZE 1 mm,1 mm\r\nCLS\r\nBITMAP -4,-1,2,3,0," + std::string(6, '\0'));
  EXPECT_EQ(clipped.dots(), 8 * 2);
}

// Box of a text of n characters in a font cell of w x h at multipliers xm,
// ym, by its rotation about the reference point (x, y).
Box text_box(int x, int y, int n, int w, int h, int xm, int ym, int rotation)
{
  const int len = n * w * xm, height = h * ym;
  switch (rotation) {
  case 90: return {x - height, y, x, y + len};
  case 180: return {x - len, y - height, x, y};
  case 270: return {x, y - len, x + height, y};
  default: return {x, y, x + len, y + height};
  }
}

TEST(EmulatorRender, TextInkStaysInsideItsFontCells)
{
  struct Font {
    const char *name;
    int w, h;
  } fonts[] = {{"1", 8, 12},  {"2", 12, 20}, {"3", 16, 24}, {"4", 24, 32},
               {"5", 32, 48}, {"6", 14, 19}, {"7", 21, 27}, {"8", 14, 25}};
  const std::string text = "Wg|_\xc3\x85j@"; // wide, deep and tall glyphs (one is UTF-8 Å)
  const int n = 7;
  for (const Font &f : fonts)
    for (int rotation : {0, 90, 180, 270})
      for (auto [xm, ym] : {std::pair{1, 1}, std::pair{2, 3}}) {
        const int x = 400, y = 400;
        const Image img =
            print_one("SIZE 100 mm,100 mm\r\nCLS\r\nTEXT 400,400,\"" + std::string(f.name) + "\"," +
                      std::to_string(rotation) + "," + std::to_string(xm) + "," +
                      std::to_string(ym) + ",\"" + text + "\"\r\n");
        const Box want = text_box(x, y, n, f.w, f.h, xm, ym, rotation);
        const Box ink = ink_box(img);
        const std::string where = std::string("font ") + f.name + " rotation " +
                                  std::to_string(rotation) + " x" + std::to_string(xm) + "," +
                                  std::to_string(ym);
        ASSERT_FALSE(ink.empty()) << where;
        EXPECT_GE(ink.x0, want.x0) << where;
        EXPECT_GE(ink.y0, want.y0) << where;
        EXPECT_LE(ink.x1, want.x1) << where;
        EXPECT_LE(ink.y1, want.y1) << where;
        // And the text fills most of its box rather than a corner of it.
        const int along = (rotation == 0 || rotation == 180) ? ink.x1 - ink.x0 : ink.y1 - ink.y0;
        const int across = (rotation == 0 || rotation == 180) ? ink.y1 - ink.y0 : ink.x1 - ink.x0;
        EXPECT_GT(along, n * f.w * xm * 3 / 4) << where;
        EXPECT_GT(across, f.h * ym / 2) << where;
      }
}

TEST(EmulatorRender, TextAlignmentMovesTheReferencePoint)
{
  const std::string head = "SIZE 100 mm,20 mm\r\nCLS\r\n";
  const Box left = ink_box(print_one(head + "TEXT 400,10,\"3\",0,1,1,1,\"MMMM\"\r\n"));
  const Box centre = ink_box(print_one(head + "TEXT 400,10,\"3\",0,1,1,2,\"MMMM\"\r\n"));
  const Box right = ink_box(print_one(head + "TEXT 400,10,\"3\",0,1,1,3,\"MMMM\"\r\n"));
  EXPECT_GE(left.x0, 400);
  EXPECT_LE(right.x1, 400);
  EXPECT_LT(centre.x0, 400);
  EXPECT_GT(centre.x1, 400);
}

struct BarcodeCase {
  const char *type;
  const char *content;
  const char *zbar_type;
  const char *decoded;
};

const BarcodeCase kBarcodes[] = {
    {"128", "Zarn-128 ok", "CODE-128", "Zarn-128 ok"},
    {"39", "ZARN 39", "CODE-39", "ZARN 39"},
    {"39S", "LABEL-1", "CODE-39", "LABEL-1"},
    {"93", "CODE 93", "CODE-93", "CODE 93"},
    {"EAN13", "590123412345", "EAN-13", "5901234123457"},
    {"EAN13", "4006381333931", "EAN-13", "4006381333931"},
    {"EAN8", "9638507", "EAN-8", "96385074"},
    {"UPCA", "03600029145", "UPC-A", "036000291452"},
    {"25", "12345678", "I2/5", "12345678"},
    {"ITF14", "1540014128876", "I2/5", "15400141288763"},
    {"CODA", "A40156B", "Codabar", "A40156B"},
    {"CODABAR", "31117013206375", "Codabar", "A31117013206375A"},
    {"UPCE", "0123456", "UPC-E", "01234565"},
    {"39C", "AB12", "CODE-39", "AB12O"}, // O: the mod 43 check character
    {"25C", "1234567", "I2/5", "12345670"},
    {"LOGMARS", "ABC123", "CODE-39", "ABC123"},
};

TEST(EmulatorRender, EveryBarcodeTypeScansBack)
{
  // Every rotation without the text line, and upright with it.
  const std::pair<int, const char *> variants[] = {
      {0, "0"}, {90, "0"}, {180, "0"}, {270, "0"}, {0, "2"}};
  for (const BarcodeCase &c : kBarcodes)
    for (auto [rotation, readable] : variants) {
      // Centre of a big label, with room for quiet zones all round.
      const Image img = print_one("SIZE 120 mm,120 mm\r\nCLS\r\nBARCODE 480,480,\"" +
                                  std::string(c.type) + "\",100," + readable + "," +
                                  std::to_string(rotation) + ",2,5,\"" + c.content + "\"\r\n");
      const auto found = decode_barcodes(img);
      const std::string where = std::string(c.type) + " " + c.content + " rotation " +
                                std::to_string(rotation) + " readable " + readable;
      ASSERT_EQ(found.size(), 1u) << where;
      EXPECT_EQ(found[0].type, c.zbar_type) << where;
      EXPECT_EQ(found[0].data, c.decoded) << where;
    }
}

// Widths of the dark runs along row y.
std::vector<int> bar_widths(const Image &img, int y)
{
  std::vector<int> out;
  int run = 0;
  for (int x = 0; x <= img.width; ++x) {
    if (x < img.width && img.at(x, y)) {
      ++run;
    } else if (run > 0) {
      out.push_back(run);
      run = 0;
    }
  }
  return out;
}

TEST(EmulatorRender, NarrowAndWideElementWidths)
{
  // Code 39 has narrow and wide elements only: they get exactly the two
  // widths asked for.
  const Image c39 =
      print_one("SIZE 100 mm,20 mm\r\nCLS\r\nBARCODE 20,10,\"39\",60,0,0,3,7,\"AB12\"\r\n");
  const auto w39 = bar_widths(c39, 30);
  ASSERT_FALSE(w39.empty());
  for (int w : w39)
    EXPECT_TRUE(w == 3 || w == 7) << w;
  EXPECT_NE(std::find(w39.begin(), w39.end(), 7), w39.end());
  EXPECT_NE(std::find(w39.begin(), w39.end(), 3), w39.end());
  // Code 128 bars are one to four modules of the narrow width.
  const Image c128 =
      print_one("SIZE 100 mm,20 mm\r\nCLS\r\nBARCODE 20,10,\"128\",60,0,0,3,7,\"Zarn 128\"\r\n");
  const auto w128 = bar_widths(c128, 30);
  ASSERT_FALSE(w128.empty());
  for (int w : w128)
    EXPECT_TRUE(w == 3 || w == 6 || w == 9 || w == 12) << w;
  // Bars start at x and are exactly as high as asked.
  const Box b = ink_box(c128);
  EXPECT_EQ(b.x0, 20);
  EXPECT_EQ(b.y0, 10);
  EXPECT_EQ(b.y1, 70);
}

TEST(EmulatorRender, HumanReadableLineSitsBelowTheBars)
{
  const std::string head = "SIZE 100 mm,30 mm\r\nCLS\r\n";
  const Box bare = ink_box(print_one(head + "BARCODE 20,10,\"128\",60,0,0,2,4,\"ABC\"\r\n"));
  const Box text = ink_box(print_one(head + "BARCODE 20,10,\"128\",60,2,0,2,4,\"ABC\"\r\n"));
  EXPECT_EQ(bare.y1, 70);
  EXPECT_GT(text.y1, 75);
  EXPECT_EQ(text.x0, bare.x0);
}

TEST(EmulatorRender, BadBarcodesAreLoggedNotDrawn)
{
  RecordingPrinter p;
  p.send("CLS\r\nBARCODE 10,10,\"EAN13\",50,0,0,2,4,\"12AB\"\r\n"
         "BARCODE 10,10,\"EAN13\",50,0,0,2,4,\"5901234123458\"\r\n" // wrong check digit
         "BARCODE 10,10,\"QR\",50,0,0,2,4,\"x\"\r\n"
         "PRINT 1\r\n");
  ASSERT_EQ(p.images.size(), 1u);
  EXPECT_EQ(p.images[0].dots(), 0);
  ASSERT_EQ(p.log.size(), 3u);
  EXPECT_NE(p.log[0].find("line 2:"), std::string::npos) << p.log[0];
  EXPECT_NE(p.log[1].find("line 3:"), std::string::npos) << p.log[1];
  EXPECT_NE(p.log[2].find("line 4:"), std::string::npos) << p.log[2];
}

} // namespace
} // namespace zarn::emu::test
