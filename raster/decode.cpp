// SPDX-License-Identifier: MIT
// Format recognition, and BMP: its header read here, its pixels decoded by
// SDL_image.
#include "decode.hpp"

#include "budget.hpp"

#include "common/handle.hpp"

#include <SDL.h>
#include <SDL_image.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

namespace zarn::raster {

namespace {

bool starts_with(std::span<const std::uint8_t> d, const char *magic, std::size_t offset = 0)
{
  const std::size_t n = std::strlen(magic);
  return d.size() >= offset + n && std::memcmp(d.data() + offset, magic, n) == 0;
}

std::uint32_t le16(const std::uint8_t *p) { return static_cast<std::uint32_t>(p[0] | (p[1] << 8)); }

std::uint32_t le32(const std::uint8_t *p)
{
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// SDL_image keeps some decoder state in globals; one picture at a time.
std::mutex sdl_mutex;

} // namespace

const char *format_name(Format f)
{
  switch (f) {
  case Format::png: return "PNG";
  case Format::jpeg: return "JPEG";
  case Format::bmp: return "BMP";
  case Format::gif: return "GIF";
  case Format::tiff: return "TIFF";
  case Format::webp: return "WebP";
  case Format::pdf: return "PDF";
  }
  return "?";
}

Format sniff(std::span<const std::uint8_t> d)
{
  if (d.empty())
    fail(ZARN_RASTER_ERR_CORRUPT, "the file is empty");
  if (starts_with(d, "\x89PNG\r\n\x1a\n"))
    return Format::png;
  if (starts_with(d, "\xff\xd8\xff"))
    return Format::jpeg;
  if (starts_with(d, "GIF87a") || starts_with(d, "GIF89a"))
    return Format::gif;
  if (starts_with(d, "BM"))
    return Format::bmp;
  if (starts_with(d, "II*") || starts_with(d, "MM"))
    if (d.size() >= 4 && ((d[0] == 'I' && d[3] == 0) || (d[0] == 'M' && d[2] == 0 && d[3] == 42)))
      return Format::tiff;
  if (starts_with(d, "RIFF") && starts_with(d, "WEBP", 8))
    return Format::webp;
  // PDF readers accept the header anywhere in the first kilobyte.
  const std::size_t head = std::min<std::size_t>(d.size(), 1024);
  const std::string_view start(reinterpret_cast<const char *>(d.data()), head);
  if (start.find("%PDF-") != std::string_view::npos)
    return Format::pdf;
  fail(ZARN_RASTER_ERR_FORMAT, "not a picture or PDF (PNG, JPEG, BMP, GIF, TIFF, WebP or PDF)");
}

PictureInfo bmp_header(std::span<const std::uint8_t> d)
{
  if (d.size() < 26)
    fail(ZARN_RASTER_ERR_CORRUPT, "damaged BMP: the header is cut short");
  PictureInfo info{Format::bmp, 0, 0};
  const std::uint32_t dib = le32(d.data() + 14);
  if (dib == 12) { // OS/2 core header: 16-bit sizes
    info.width = static_cast<int>(le16(d.data() + 18));
    info.height = static_cast<int>(le16(d.data() + 20));
  } else {
    const auto w = static_cast<std::int32_t>(le32(d.data() + 18));
    const auto h = static_cast<std::int32_t>(le32(d.data() + 22));
    // A negative height means rows stored top-down.
    if (w <= 0 || h == 0 || h == INT32_MIN)
      fail(ZARN_RASTER_ERR_CORRUPT, "damaged BMP: impossible size in the header");
    info.width = w;
    info.height = h < 0 ? -h : h;
  }
  if (info.width <= 0 || info.height <= 0)
    fail(ZARN_RASTER_ERR_CORRUPT, "damaged BMP: impossible size in the header");
  return info;
}

void bmp_decode(std::span<const std::uint8_t> d, RowSink &sink)
{
  using SurfacePtr = zarn::Owned<SDL_Surface, SDL_FreeSurface>;
  // Decoded whole, then converted: two surfaces of the picture's size.
  const PictureInfo info = bmp_header(d);
  budget_charge(static_cast<std::size_t>(info.width) * static_cast<std::size_t>(info.height) * 8);
  std::lock_guard lock(sdl_mutex);
  SDL_RWops *rw = SDL_RWFromConstMem(d.data(), static_cast<int>(d.size()));
  if (rw == nullptr)
    fail(ZARN_RASTER_ERR_NO_MEMORY, "out of memory");
  SurfacePtr loaded(IMG_LoadTyped_RW(rw, 1, "BMP"));
  if (!loaded)
    fail(ZARN_RASTER_ERR_CORRUPT, std::string("damaged BMP: ") + SDL_GetError());
  SurfacePtr rgba(SDL_ConvertSurfaceFormat(loaded.get(), SDL_PIXELFORMAT_RGBA32, 0));
  if (!rgba)
    fail(ZARN_RASTER_ERR_NO_MEMORY, std::string("cannot convert the picture: ") + SDL_GetError());
  loaded.reset();
  sink.begin(rgba->w, rgba->h, Pixels::rgba);
  const auto *pixels = static_cast<const std::uint8_t *>(rgba->pixels);
  for (int y = 0; y < rgba->h; ++y)
    sink.row(pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(rgba->pitch));
}

PictureInfo read_header(Format format, std::span<const std::uint8_t> data)
{
  switch (format) {
  case Format::png: return png_header(data);
  case Format::jpeg: return jpeg_header(data);
  case Format::bmp: return bmp_header(data);
  case Format::gif: return gif_header(data);
  case Format::tiff: return tiff_header(data);
  case Format::webp: return webp_header(data);
  case Format::pdf: break;
  }
  fail(ZARN_RASTER_ERR_FORMAT, "a PDF has pages, not a picture header");
}

void decode(const PictureInfo &info, std::span<const std::uint8_t> data, int want_width,
            int want_height, RowSink &sink)
{
  switch (info.format) {
  case Format::png: return png_decode(data, sink);
  case Format::jpeg: return jpeg_decode(data, want_width, want_height, sink);
  case Format::tiff: return tiff_decode(data, sink);
  case Format::webp: return webp_decode(data, want_width, want_height, sink);
  case Format::bmp: return bmp_decode(data, sink);
  case Format::gif: return gif_decode(data, sink);
  case Format::pdf: break;
  }
  fail(ZARN_RASTER_ERR_FORMAT, "a PDF has pages, not pixels");
}

} // namespace zarn::raster
