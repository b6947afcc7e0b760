// SPDX-License-Identifier: MIT
// The bitmap as a 1-bit grey PNG. Packed rows already are PNG's 1-bit grey
// rows (a set bit is white), so they are written as they are.
#include "zarn-raster.h"

#include "core.hpp"
#include "common/handle.hpp"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>

using namespace zarn::raster;

namespace {

struct PngWriter {
  png_structp png = nullptr;
  png_infop info = nullptr;
  char message[160] = "";
};

void release(PngWriter *w)
{
  png_destroy_write_struct(&w->png, w->info ? &w->info : nullptr);
  delete w;
}

void on_error(png_structp png, png_const_charp message)
{
  auto *w = static_cast<PngWriter *>(png_get_error_ptr(png));
  std::snprintf(w->message, sizeof w->message, "%s", message);
  std::longjmp(png_jmpbuf(png), 1);
}

void on_warning(png_structp, png_const_charp) {}

// No C++ object lives in this frame, so libpng's longjmp skips no destructor.
bool write_all(PngWriter &w, std::FILE *file, const zarn_raster_bitmap &b)
{
  if (setjmp(png_jmpbuf(w.png)))
    return false;
  png_init_io(w.png, file);
  png_set_IHDR(w.png, w.info, static_cast<png_uint_32>(b.width), static_cast<png_uint_32>(b.height),
               1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  const png_uint_32 per_metre = static_cast<png_uint_32>(b.dots_per_mm) * 1000;
  png_set_pHYs(w.png, w.info, per_metre, per_metre, PNG_RESOLUTION_METER);
  png_write_info(w.png, w.info);
  for (int y = 0; y < b.height; ++y)
    png_write_row(w.png, b.bytes.data() + static_cast<std::size_t>(y) * b.bytes_per_row);
  png_write_end(w.png, w.info);
  return true;
}

} // namespace

extern "C" zarn_raster_status zarn_raster_bitmap_write_png(const zarn_raster_bitmap *bitmap,
                                                           const char *path)
{
  return run_guarded(path ? path : "", [&] {
    if (bitmap == nullptr || path == nullptr)
      fail(ZARN_RASTER_ERR_ARGUMENT, "bitmap and path must not be NULL");
    zarn::Owned<std::FILE, std::fclose> file(std::fopen(path, "wbe"));
    if (!file)
      fail(ZARN_RASTER_ERR_IO, std::string("cannot write: ") + std::strerror(errno));
    zarn::Owned<PngWriter, release> w(new PngWriter);
    w->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, w.get(), on_error, on_warning);
    if (w->png == nullptr || (w->info = png_create_info_struct(w->png)) == nullptr)
      fail(ZARN_RASTER_ERR_NO_MEMORY, "out of memory");
    const bool written = write_all(*w, file.get(), *bitmap);
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) {
      std::remove(path);
      fail(ZARN_RASTER_ERR_IO,
           std::string("cannot write: ") + (written ? std::strerror(errno) : w->message));
    }
  });
}
