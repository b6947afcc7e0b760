// SPDX-License-Identifier: MIT
#include "raster_fixtures.hpp"
#include "zarn.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <webp/encode.h>
#include <zbar.h>
#include <zint.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zarn::raster::test {

namespace {

void put16(std::vector<std::uint8_t> &v, unsigned x)
{
  v.push_back(static_cast<std::uint8_t>(x));
  v.push_back(static_cast<std::uint8_t>(x >> 8));
}

void put32(std::vector<std::uint8_t> &v, unsigned x)
{
  put16(v, x & 0xFFFF);
  put16(v, x >> 16);
}

using Symbol = zarn::Owned<zint_symbol, ZBarcode_Delete>;

} // namespace

void Grey::fill(int x, int y, int w, int h, std::uint8_t v)
{
  for (int j = y; j < y + h; ++j)
    for (int i = x; i < x + w; ++i)
      at(i, j) = v;
}

void Grey::paste_barcode(int symbology, const std::string &data, int x, int y, int scale,
                         int bar_height)
{
  Symbol s(ZBarcode_Create());
  s->symbology = symbology;
  if (ZBarcode_Encode(s.get(), reinterpret_cast<const unsigned char *>(data.data()),
                      static_cast<int>(data.size())) >= ZINT_ERROR)
    throw std::runtime_error(std::string("zint: ") + s->errtxt);
  const bool linear = s->rows == 1;
  const int rows = linear ? bar_height : s->rows * scale;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < s->width * scale; ++c) {
      const int row = linear ? 0 : r / scale, col = c / scale;
      if ((s->encoded_data[row][col >> 3] >> (col & 7)) & 1)
        at(x + c, y + r) = 0;
    }
}

std::vector<std::uint8_t> png_file(const Grey &g)
{
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  img.width = static_cast<png_uint_32>(g.width);
  img.height = static_cast<png_uint_32>(g.height);
  img.format = PNG_FORMAT_GRAY;
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&img, nullptr, &size, 0, g.px.data(), 0, nullptr);
  std::vector<std::uint8_t> out(size);
  if (!png_image_write_to_memory(&img, out.data(), &size, 0, g.px.data(), 0, nullptr))
    throw std::runtime_error("png write failed");
  out.resize(size);
  return out;
}

std::vector<std::uint8_t> png_rgb_file(int w, int h, const std::vector<std::uint8_t> &rgb)
{
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  img.width = static_cast<png_uint_32>(w);
  img.height = static_cast<png_uint_32>(h);
  img.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&img, nullptr, &size, 0, rgb.data(), 0, nullptr);
  std::vector<std::uint8_t> out(size);
  if (!png_image_write_to_memory(&img, out.data(), &size, 0, rgb.data(), 0, nullptr))
    throw std::runtime_error("png write failed");
  out.resize(size);
  return out;
}

std::vector<std::uint8_t> jpeg_file(const Grey &g, int quality, bool progressive)
{
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char *mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &mem, &size);
  c.image_width = static_cast<JDIMENSION>(g.width);
  c.image_height = static_cast<JDIMENSION>(g.height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB; // stored as YCbCr: the colour path is exercised
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  if (progressive)
    jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<std::uint8_t> line(static_cast<std::size_t>(g.width) * 3);
  for (int y = 0; y < g.height; ++y) {
    for (int x = 0; x < g.width; ++x)
      std::memset(&line[static_cast<std::size_t>(x) * 3],
                  g.px[static_cast<std::size_t>(y) * g.width + x], 3);
    JSAMPROW row = line.data();
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<std::uint8_t> out(mem, mem + size);
  jpeg_destroy_compress(&c);
  std::free(mem);
  return out;
}

std::vector<std::uint8_t> bmp_file(const Grey &g)
{
  const unsigned stride = (static_cast<unsigned>(g.width) * 3 + 3) & ~3u;
  const unsigned data = stride * static_cast<unsigned>(g.height);
  std::vector<std::uint8_t> v = {'B', 'M'};
  put32(v, 54 + data);
  put32(v, 0);
  put32(v, 54);
  put32(v, 40); // BITMAPINFOHEADER
  put32(v, static_cast<unsigned>(g.width));
  put32(v, static_cast<unsigned>(g.height)); // bottom-up rows
  put16(v, 1);
  put16(v, 24);
  put32(v, 0);
  put32(v, data);
  put32(v, 2835);
  put32(v, 2835);
  put32(v, 0);
  put32(v, 0);
  for (int y = g.height - 1; y >= 0; --y) {
    for (int x = 0; x < g.width; ++x)
      for (int c = 0; c < 3; ++c)
        v.push_back(g.px[static_cast<std::size_t>(y) * g.width + x]);
    v.resize(v.size() + (stride - static_cast<unsigned>(g.width) * 3), 0);
  }
  return v;
}

std::vector<std::uint8_t> gif_file(const Grey &g)
{
  // 256 greys, LZW with 9-bit codes only: a clear code every 250 pixels
  // keeps the code table from ever growing to 10 bits.
  std::vector<std::uint8_t> v = {'G', 'I', 'F', '8', '9', 'a'};
  put16(v, static_cast<unsigned>(g.width));
  put16(v, static_cast<unsigned>(g.height));
  v.insert(v.end(), {0xF7, 0, 0}); // global table of 256 entries
  for (int i = 0; i < 256; ++i)
    v.insert(v.end(), {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i),
                       static_cast<std::uint8_t>(i)});
  v.push_back(0x2C);
  put16(v, 0);
  put16(v, 0);
  put16(v, static_cast<unsigned>(g.width));
  put16(v, static_cast<unsigned>(g.height));
  v.push_back(0);
  v.push_back(8); // minimum code size
  std::vector<std::uint8_t> codes;
  std::uint32_t acc = 0;
  int bits = 0;
  const auto emit = [&](unsigned code) {
    acc |= code << bits;
    bits += 9;
    while (bits >= 8) {
      codes.push_back(static_cast<std::uint8_t>(acc));
      acc >>= 8;
      bits -= 8;
    }
  };
  for (std::size_t i = 0; i < g.px.size(); ++i) {
    if (i % 250 == 0)
      emit(256);
    emit(g.px[i]);
  }
  emit(257);
  if (bits > 0)
    codes.push_back(static_cast<std::uint8_t>(acc));
  for (std::size_t i = 0; i < codes.size(); i += 255) {
    const std::size_t n = std::min<std::size_t>(255, codes.size() - i);
    v.push_back(static_cast<std::uint8_t>(n));
    v.insert(v.end(), codes.begin() + static_cast<long>(i),
             codes.begin() + static_cast<long>(i + n));
  }
  v.push_back(0);
  v.push_back(0x3B);
  return v;
}

std::vector<std::uint8_t> tiff_file(const Grey &g, const std::filesystem::path &scratch)
{
  TIFF *t = TIFFOpen(scratch.c_str(), "w");
  if (t == nullptr)
    throw std::runtime_error("TIFFOpen failed");
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(g.width));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(g.height));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 7);
  for (int y = 0; y < g.height; ++y)
    TIFFWriteScanline(t, const_cast<std::uint8_t *>(&g.px[static_cast<std::size_t>(y) * g.width]),
                      static_cast<std::uint32_t>(y), 0);
  TIFFClose(t);
  const std::string bytes = zarn::test::slurp(scratch);
  return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> webp_file(const Grey &g)
{
  std::vector<std::uint8_t> rgb;
  for (std::uint8_t v : g.px)
    rgb.insert(rgb.end(), {v, v, v});
  std::uint8_t *out = nullptr;
  const std::size_t size = WebPEncodeLosslessRGB(rgb.data(), g.width, g.height, g.width * 3, &out);
  std::vector<std::uint8_t> v(out, out + size);
  WebPFree(out);
  return v;
}

namespace {

cairo_status_t append(void *closure, const unsigned char *data, unsigned int length)
{
  static_cast<std::vector<std::uint8_t> *>(closure)->insert(
      static_cast<std::vector<std::uint8_t> *>(closure)->end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

} // namespace

std::vector<std::uint8_t> code128_pdf(const std::string &data, double w, double h, double x,
                                      double y, double module_pt)
{
  return code128_pdf_pages({data}, w, h, x, y, module_pt);
}

std::vector<std::uint8_t> code128_pdf_pages(const std::vector<std::string> &pages, double w,
                                            double h, double x, double y, double module_pt)
{
  std::vector<std::uint8_t> out;
  cairo_surface_t *surface = cairo_pdf_surface_create_for_stream(append, &out, w, h);
  cairo_t *cr = cairo_create(surface);
  for (const std::string &data : pages) {
    Symbol s(ZBarcode_Create());
    s->symbology = BARCODE_CODE128;
    ZBarcode_Encode(s.get(), reinterpret_cast<const unsigned char *>(data.data()),
                    static_cast<int>(data.size()));
    cairo_set_source_rgb(cr, 0, 0, 0);
    for (int c = 0; c < s->width; ++c)
      if ((s->encoded_data[0][c >> 3] >> (c & 7)) & 1)
        cairo_rectangle(cr, x + c * module_pt, y, module_pt, 50);
    cairo_fill(cr);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 14);
    cairo_move_to(cr, x, y + 70);
    cairo_show_text(cr, ("TRACKING " + data).c_str());
    cairo_show_page(cr);
  }
  cairo_destroy(cr);
  cairo_surface_finish(surface);
  cairo_surface_destroy(surface);
  return out;
}

void write_file(const std::filesystem::path &path, const std::vector<std::uint8_t> &bytes)
{
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

double Dots::coverage(int x, int y, int w, int h) const
{
  long ink_dots = 0;
  for (int j = y; j < y + h; ++j)
    for (int i = x; i < x + w; ++i)
      ink_dots += at(i, j);
  return static_cast<double>(ink_dots) / (static_cast<double>(w) * h);
}

Dots unpack(const zarn_raster_bitmap *b)
{
  Dots d;
  d.width = zarn_raster_bitmap_width(b);
  d.height = zarn_raster_bitmap_height(b);
  const int bpr = zarn_raster_bitmap_bytes_per_row(b);
  const unsigned char *data = zarn_raster_bitmap_data(b);
  d.ink.resize(static_cast<std::size_t>(d.width) * d.height);
  for (int y = 0; y < d.height; ++y)
    for (int x = 0; x < d.width; ++x)
      d.ink[static_cast<std::size_t>(y) * d.width + x] =
          (data[static_cast<std::size_t>(y) * bpr + x / 8] & (0x80 >> (x % 8))) ? 0 : 1;
  return d;
}

std::vector<std::string> scan(const Dots &dots)
{
  using namespace ::zbar;
  std::vector<std::uint8_t> grey(dots.ink.size());
  for (std::size_t i = 0; i < grey.size(); ++i)
    grey[i] = dots.ink[i] ? 0 : 255;
  zbar_image_scanner_t *scanner = zbar_image_scanner_create();
  zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 1);
  zbar_image_t *image = zbar_image_create();
  zbar_image_set_format(image, zbar_fourcc('Y', '8', '0', '0'));
  zbar_image_set_size(image, static_cast<unsigned>(dots.width), static_cast<unsigned>(dots.height));
  zbar_image_set_data(image, grey.data(), grey.size(), nullptr);
  zbar_scan_image(scanner, image);
  std::vector<std::string> out;
  for (const zbar_symbol_t *s = zbar_image_first_symbol(image); s; s = zbar_symbol_next(s))
    out.push_back(std::string(zbar_get_symbol_name(zbar_symbol_get_type(s))) + ":" +
                  zbar_symbol_get_data(s));
  zbar_image_destroy(image);
  zbar_image_scanner_destroy(scanner);
  std::sort(out.begin(), out.end());
  return out;
}

zarn_raster_options options(double w_mm, double h_mm, int dpi, zarn_raster_dither dither)
{
  zarn_raster_options o;
  zarn_raster_options_init(&o);
  o.label_width_mm = w_mm;
  o.label_height_mm = h_mm;
  o.dpi = dpi;
  o.dither = dither;
  return o;
}

zarn_raster_status render_bytes(const std::vector<std::uint8_t> &bytes,
                                const zarn_raster_options &o, Bitmap &out, int page)
{
  zarn_raster_document *raw = nullptr;
  zarn_raster_status st = zarn_raster_open_memory(bytes.data(), bytes.size(), "test", &raw);
  if (st != ZARN_RASTER_OK)
    return st;
  const zarn::Owned<zarn_raster_document, zarn_raster_document_close> doc(raw);
  zarn_raster_bitmap *b = nullptr;
  st = zarn_raster_render(doc.get(), page, &o, &b);
  out.reset(b);
  return st;
}

zarn_raster_status render_grey(const Grey &g, const zarn_raster_options &o, Bitmap &out)
{
  zarn_raster_bitmap *b = nullptr;
  const zarn_raster_status st = zarn_raster_render_pixels(
      g.px.data(), g.width, g.height, static_cast<size_t>(g.width), ZARN_RASTER_GREY8, &o, &b);
  out.reset(b);
  return st;
}

namespace {

// The emulator's command line, its folder made.
std::vector<std::string> emulator_argv(const std::filesystem::path &dir)
{
  std::filesystem::create_directories(dir);
  return {ZARN_EMULATOR_BIN, "--tcp", "127.0.0.1:0", "--out", (dir / "out").string()};
}

} // namespace

Emulator::Emulator(const std::filesystem::path &dir)
    : dir_(dir), child_(emulator_argv(dir), dir / "emulator.log")
{
  if (child_.wait_for("listening on 127.0.0.1:"))
    port_ = child_.number_after("listening on 127.0.0.1:");
}

std::string Emulator::log() const { return child_.log(); }

bool Emulator::wait_for(const std::string &text) { return child_.wait_for(text); }

std::filesystem::path Emulator::label(int n) const
{
  char name[32];
  std::snprintf(name, sizeof name, "label-%04d.png", n);
  return dir_ / "out" / name;
}

int append_to_string(const unsigned char *bytes, size_t size, void *context)
{
  static_cast<std::string *>(context)->append(reinterpret_cast<const char *>(bytes), size);
  return 0;
}

int send_through_libzarn(const unsigned char *bytes, size_t size, void * /*context*/)
{
  return sendBinaryData(const_cast<unsigned char *>(bytes), static_cast<int>(size)) == 1 ? 0 : 1;
}

} // namespace zarn::raster::test
