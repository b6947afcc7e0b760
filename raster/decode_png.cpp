// SPDX-License-Identifier: MIT
// PNG through libpng directly, one row at a time (interlaced pictures need
// every pass before a row is whole, so those are decoded in one piece).
#include "decode.hpp"

#include "budget.hpp"

#include "common/handle.hpp"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <string>
#include <vector>

namespace zarn::raster {

namespace {

struct PngReader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::span<const std::uint8_t> data;
  std::size_t pos = 0;
  char message[160] = "";
};

void release(PngReader *r)
{
  png_destroy_read_struct(&r->png, r->info ? &r->info : nullptr, nullptr);
  delete r;
}

using ReaderPtr = zarn::Owned<PngReader, release>;

void on_error(png_structp png, png_const_charp message)
{
  auto *r = static_cast<PngReader *>(png_get_error_ptr(png));
  std::snprintf(r->message, sizeof r->message, "%s", message);
  std::longjmp(png_jmpbuf(png), 1);
}

void on_warning(png_structp, png_const_charp) {}

void on_read(png_structp png, png_bytep out, std::size_t n)
{
  auto *r = static_cast<PngReader *>(png_get_io_ptr(png));
  if (r->data.size() - r->pos < n)
    png_error(png, "the data ends early (truncated file)");
  std::memcpy(out, r->data.data() + r->pos, n);
  r->pos += n;
}

ReaderPtr open_reader(std::span<const std::uint8_t> data)
{
  ReaderPtr r(new PngReader);
  r->data = data;
  r->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, r.get(), on_error, on_warning);
  if (r->png == nullptr || (r->info = png_create_info_struct(r->png)) == nullptr)
    fail(ZARN_RASTER_ERR_NO_MEMORY, "out of memory");
  png_set_read_fn(r->png, r.get(), on_read);
  // Chunk CRCs already catch damaged data; the zlib checksum over the
  // inflated rows costs a tenth of the decoding time and adds nothing.
  png_set_option(r->png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
  return r;
}

[[noreturn]] void damaged(const PngReader &r)
{
  fail(ZARN_RASTER_ERR_CORRUPT, std::string("damaged PNG: ") + r.message);
}

// Reads the header and chunks before the image data. No C++ object lives
// in this frame, so libpng's longjmp back to it skips no destructor.
bool read_info(PngReader &r)
{
  if (setjmp(png_jmpbuf(r.png)))
    return false;
  png_read_info(r.png, r.info);
  return true;
}

// Sets the conversions to 8-bit grey, grey+alpha, RGB or RGBA; gives the
// passes (7 when interlaced) or 0 on a libpng error.
int set_transforms(PngReader &r)
{
  if (setjmp(png_jmpbuf(r.png)))
    return 0;
  const int type = png_get_color_type(r.png, r.info);
  const int depth = png_get_bit_depth(r.png, r.info);
  if (depth == 16)
    png_set_strip_16(r.png);
  if (type == PNG_COLOR_TYPE_PALETTE)
    png_set_palette_to_rgb(r.png);
  if (type == PNG_COLOR_TYPE_GRAY && depth < 8)
    png_set_expand_gray_1_2_4_to_8(r.png);
  if (png_get_valid(r.png, r.info, PNG_INFO_tRNS))
    png_set_tRNS_to_alpha(r.png);
  const int passes = png_set_interlace_handling(r.png);
  png_read_update_info(r.png, r.info);
  return passes;
}

bool read_rows(PngReader &r, std::uint8_t *row, int height, RowSink &sink)
{
  if (setjmp(png_jmpbuf(r.png)))
    return false;
  for (int y = 0; y < height; ++y) {
    png_read_row(r.png, row, nullptr);
    sink.row(row);
  }
  return true;
}

bool read_image(PngReader &r, png_bytepp rows)
{
  if (setjmp(png_jmpbuf(r.png)))
    return false;
  png_read_image(r.png, rows);
  return true;
}

} // namespace

PictureInfo png_header(std::span<const std::uint8_t> data)
{
  ReaderPtr r = open_reader(data);
  if (!read_info(*r))
    damaged(*r);
  return {Format::png, static_cast<int>(png_get_image_width(r->png, r->info)),
          static_cast<int>(png_get_image_height(r->png, r->info))};
}

void png_decode(std::span<const std::uint8_t> data, RowSink &sink)
{
  ReaderPtr r = open_reader(data);
  if (!read_info(*r))
    damaged(*r);
  const int passes = set_transforms(*r);
  if (passes == 0)
    damaged(*r);
  const int width = static_cast<int>(png_get_image_width(r->png, r->info));
  const int height = static_cast<int>(png_get_image_height(r->png, r->info));
  Pixels format = Pixels::rgba;
  switch (png_get_channels(r->png, r->info)) {
  case 1: format = Pixels::grey; break;
  case 2: format = Pixels::grey_alpha; break;
  case 3: format = Pixels::rgb; break;
  default: format = Pixels::rgba; break;
  }
  const std::size_t stride = png_get_rowbytes(r->png, r->info);
  if (stride < row_bytes(format, width))
    fail(ZARN_RASTER_ERR_CORRUPT, "damaged PNG: unexpected row layout");
  sink.begin(width, height, format);
  if (passes == 1) {
    std::vector<std::uint8_t> row(stride);
    if (!read_rows(*r, row.data(), height, sink))
      damaged(*r);
    return;
  }
  budget_charge(stride * static_cast<std::size_t>(height)); // interlaced: whole
  std::vector<std::uint8_t> image(stride * static_cast<std::size_t>(height));
  std::vector<png_bytep> rows(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y)
    rows[static_cast<std::size_t>(y)] = image.data() + stride * static_cast<std::size_t>(y);
  if (!read_image(*r, rows.data()))
    damaged(*r);
  for (int y = 0; y < height; ++y)
    sink.row(rows[static_cast<std::size_t>(y)]);
}

} // namespace zarn::raster
