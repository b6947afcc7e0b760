// SPDX-License-Identifier: MIT
#include "image.hpp"

#include "common/handle.hpp"

#include "saturate.hpp"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace zarn::emu {

long long Image::dots() const
{
  long long n = 0;
  for (std::uint8_t p : px)
    n += p != 0;
  return n;
}

namespace {

void paint_pixel(std::uint8_t &dst, std::uint8_t src, Paint paint)
{
  switch (paint) {
  case Paint::overwrite: dst = src; break;
  case Paint::ink: dst = static_cast<std::uint8_t>(dst | src); break;
  case Paint::invert: dst = static_cast<std::uint8_t>(dst ^ src); break;
  case Paint::erase:
    if (src)
      dst = 0;
    break;
  }
}

} // namespace

void draw(Image &canvas, const Image &src, long long x, long long y, int rotation, Paint paint,
          int anchor)
{
  // The object is smaller than 2^31 dots: clamping keeps what lands on the
  // canvas and lets the sums below stay in range.
  x = clamp_position(x);
  y = clamp_position(y);
  for (int v = 0; v < src.height; ++v) {
    for (int u = 0; u < src.width; ++u) {
      const long long s = static_cast<long long>(u) - anchor;
      long long dx = 0, dy = 0;
      switch (rotation) {
      case 90:
        dx = x - 1 - v;
        dy = y + s;
        break;
      case 180:
        dx = x - 1 - s;
        dy = y - 1 - v;
        break;
      case 270:
        dx = x + v;
        dy = y - 1 - s;
        break;
      default:
        dx = x + s;
        dy = y + v;
        break;
      }
      if (canvas.inside(dx, dy))
        paint_pixel(canvas.at(static_cast<int>(dx), static_cast<int>(dy)), src.at(u, v), paint);
    }
  }
}

void fill(Image &canvas, long long x0, long long y0, long long x1, long long y1, Paint paint)
{
  x0 = std::max<long long>(x0, 0);
  y0 = std::max<long long>(y0, 0);
  x1 = std::min<long long>(x1, canvas.width);
  y1 = std::min<long long>(y1, canvas.height);
  for (long long j = y0; j < y1; ++j)
    for (long long i = x0; i < x1; ++i)
      paint_pixel(canvas.at(static_cast<int>(i), static_cast<int>(j)), 1, paint);
}

Image scale(const Image &src, int xm, int ym)
{
  if (xm == 1 && ym == 1)
    return src;
  Image out(src.width * xm, src.height * ym);
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x)
      out.at(x, y) = src.at(x / xm, y / ym);
  return out;
}

Image turn_180(const Image &src)
{
  Image out(src.width, src.height);
  for (int y = 0; y < src.height; ++y)
    for (int x = 0; x < src.width; ++x)
      out.at(src.width - 1 - x, src.height - 1 - y) = src.at(x, y);
  return out;
}

Image mirror(const Image &src)
{
  Image out(src.width, src.height);
  for (int y = 0; y < src.height; ++y)
    for (int x = 0; x < src.width; ++x)
      out.at(src.width - 1 - x, y) = src.at(x, y);
  return out;
}

namespace {

void close_file(std::FILE *f) { std::fclose(f); }
using File = zarn::Owned<std::FILE, close_file>;

// A libpng reader or writer is two structures destroyed together.
struct PngHandles {
  png_structp png = nullptr;
  png_infop info = nullptr;
};
void destroy_writer(PngHandles *h) { png_destroy_write_struct(&h->png, &h->info); }
void destroy_reader(PngHandles *h) { png_destroy_read_struct(&h->png, &h->info, nullptr); }

// libpng reports errors by longjmp. The functions that call setjmp below
// hold only trivially destructible locals, so the jump skips no destructor;
// the owners of files and buffers live in their callers.
struct PngError {
  char message[200] = "unknown error";
};

void png_fail(png_structp png, png_const_charp message)
{
  auto *err = static_cast<PngError *>(png_get_error_ptr(png));
  std::snprintf(err->message, sizeof err->message, "%s", message);
  png_longjmp(png, 1);
}

void png_warn(png_structp, png_const_charp) {}

bool write_rows(png_structp png, png_infop info, std::FILE *f, const Image &image, int dots_per_mm,
                png_byte *row)
{
  if (setjmp(png_jmpbuf(png)))
    return false;
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  const auto per_metre = static_cast<png_uint_32>(dots_per_mm) * 1000;
  png_set_pHYs(png, info, per_metre, per_metre, PNG_RESOLUTION_METER);
  png_write_info(png, info);
  const std::size_t row_bytes = static_cast<std::size_t>(image.width + 7) / 8;
  for (int y = 0; y < image.height; ++y) {
    // Grey 1-bit: a set bit is white, so the dots are the clear bits.
    for (std::size_t i = 0; i < row_bytes; ++i)
      row[i] = 0xFF;
    for (int x = 0; x < image.width; ++x)
      if (image.at(x, y))
        row[static_cast<std::size_t>(x) / 8] &= static_cast<png_byte>(~(0x80 >> (x % 8)));
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
  return true;
}

bool read_header(png_structp png, png_infop info, std::FILE *f, png_uint_32 &w, png_uint_32 &h,
                 std::size_t &row_bytes)
{
  if (setjmp(png_jmpbuf(png)))
    return false;
  png_init_io(png, f);
  png_set_user_limits(png, 100000, 100000);
  png_read_info(png, info);
  // Normalise everything to 8-bit grey so one loop reads any input.
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  png_set_rgb_to_gray_fixed(png, 1, -1, -1);
  png_read_update_info(png, info);
  w = png_get_image_width(png, info);
  h = png_get_image_height(png, info);
  row_bytes = png_get_rowbytes(png, info);
  return true;
}

bool read_rows(png_structp png, png_infop info, Image &out, png_byte *row)
{
  if (setjmp(png_jmpbuf(png)))
    return false;
  for (int y = 0; y < out.height; ++y) {
    png_read_row(png, row, nullptr);
    for (int x = 0; x < out.width; ++x)
      out.at(x, y) = row[x] < 128 ? 1 : 0;
  }
  png_read_end(png, info);
  return true;
}

} // namespace

void write_png(const std::filesystem::path &path, const Image &image, int dots_per_mm)
{
  File f(std::fopen(path.c_str(), "wb"));
  if (!f)
    throw std::runtime_error("cannot write " + path.string());
  PngError err;
  PngHandles h;
  const zarn::Owned<PngHandles, destroy_writer> owner(&h);
  h.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &err, png_fail, png_warn);
  h.info = h.png ? png_create_info_struct(h.png) : nullptr;
  if (!h.info)
    throw std::runtime_error("PNG: out of memory");
  std::vector<png_byte> row(static_cast<std::size_t>(image.width + 7) / 8 + 1);
  if (!write_rows(h.png, h.info, f.get(), image, dots_per_mm, row.data()))
    throw std::runtime_error(path.string() + ": " + err.message);
  if (std::fflush(f.get()) != 0 || std::ferror(f.get()))
    throw std::runtime_error("cannot write " + path.string());
}

Image read_png(const std::filesystem::path &path)
{
  File f(std::fopen(path.c_str(), "rb"));
  if (!f)
    throw std::runtime_error("cannot read " + path.string());
  PngError err;
  PngHandles h;
  const zarn::Owned<PngHandles, destroy_reader> owner(&h);
  h.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &err, png_fail, png_warn);
  h.info = h.png ? png_create_info_struct(h.png) : nullptr;
  if (!h.info)
    throw std::runtime_error("PNG: out of memory");
  png_uint_32 w = 0, height = 0;
  std::size_t row_bytes = 0;
  if (!read_header(h.png, h.info, f.get(), w, height, row_bytes))
    throw std::runtime_error(path.string() + ": " + err.message);
  if (row_bytes != w)
    throw std::runtime_error(path.string() + ": unexpected pixel layout");
  Image out(static_cast<int>(w), static_cast<int>(height));
  std::vector<png_byte> row(row_bytes + 1);
  if (!read_rows(h.png, h.info, out, row.data()))
    throw std::runtime_error(path.string() + ": " + err.message);
  return out;
}

} // namespace zarn::emu
