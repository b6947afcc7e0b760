// SPDX-License-Identifier: MIT
// TIFF through libtiff's RGBA reader, in bands of rows, from memory. Its
// messages go to handlers of this file only (never to stderr).
#include "decode.hpp"

#include "budget.hpp"

#include "common/handle.hpp"

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace zarn::raster {

namespace {

constexpr int kBandRows = 64;

struct Source {
  std::span<const std::uint8_t> data;
  toff_t pos = 0;
  char message[256] = "";
};

tsize_t on_read(thandle_t h, tdata_t buf, tsize_t n)
{
  auto *s = static_cast<Source *>(h);
  if (s->pos >= s->data.size() || n <= 0)
    return 0;
  const auto count = std::min<toff_t>(static_cast<toff_t>(n), s->data.size() - s->pos);
  std::memcpy(buf, s->data.data() + s->pos, count);
  s->pos += count;
  return static_cast<tsize_t>(count);
}

tsize_t on_write(thandle_t, tdata_t, tsize_t) { return 0; }

toff_t on_seek(thandle_t h, toff_t off, int whence)
{
  auto *s = static_cast<Source *>(h);
  toff_t base = 0;
  if (whence == SEEK_CUR)
    base = s->pos;
  else if (whence == SEEK_END)
    base = s->data.size();
  s->pos = base + off;
  return s->pos;
}

int on_close(thandle_t) { return 0; }

toff_t on_size(thandle_t h) { return static_cast<Source *>(h)->data.size(); }

int on_error(TIFF *, void *user, const char *module, const char *fmt, va_list ap)
{
  auto *s = static_cast<Source *>(user);
  char text[200];
  std::vsnprintf(text, sizeof text, fmt, ap);
  std::snprintf(s->message, sizeof s->message, "%s%s%s", module ? module : "", module ? ": " : "",
                text);
  return 1;
}

int on_warning(TIFF *, void *, const char *, const char *, va_list)
{
  return 1; // handled: said nowhere
}

using TiffPtr = zarn::Owned<TIFF, TIFFClose>;
using OptionsPtr = zarn::Owned<TIFFOpenOptions, TIFFOpenOptionsFree>;

TiffPtr open_tiff(Source &source)
{
  OptionsPtr options(TIFFOpenOptionsAlloc());
  if (!options)
    fail(ZARN_RASTER_ERR_NO_MEMORY, "out of memory");
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), on_error, &source);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), on_warning, &source);
  // No single buffer of libtiff's may take more than the page has left.
  if (const Budget *budget = Budget::current())
    TIFFOpenOptionsSetMaxSingleMemAlloc(
        options.get(), static_cast<tmsize_t>(std::min<std::size_t>(
                           budget->bytes_left(), static_cast<std::size_t>(INT64_MAX))));
  TiffPtr tif(TIFFClientOpenExt("picture", "rm", &source, on_read, on_write, on_seek, on_close,
                                on_size, nullptr, nullptr, options.get()));
  if (!tif)
    fail(ZARN_RASTER_ERR_CORRUPT, std::string("damaged TIFF: ") + source.message);
  return tif;
}

} // namespace

PictureInfo tiff_header(std::span<const std::uint8_t> data)
{
  Source source{data};
  TiffPtr tif = open_tiff(source);
  std::uint32_t w = 0, h = 0;
  if (!TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w) ||
      !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h) || w == 0 || h == 0 || w > INT32_MAX ||
      h > INT32_MAX)
    fail(ZARN_RASTER_ERR_CORRUPT, "damaged TIFF: no usable picture size");
  return {Format::tiff, static_cast<int>(w), static_cast<int>(h)};
}

void tiff_decode(std::span<const std::uint8_t> data, RowSink &sink)
{
  Source source{data};
  TiffPtr tif = open_tiff(source);
  char emsg[1024] = "";
  TIFFRGBAImage img{};
  if (!TIFFRGBAImageOK(tif.get(), emsg) || !TIFFRGBAImageBegin(&img, tif.get(), 0, emsg))
    fail(ZARN_RASTER_ERR_CORRUPT, std::string("unsupported TIFF: ") + emsg);
  const zarn::Owned<TIFFRGBAImage, TIFFRGBAImageEnd> ended(&img); // ends, never frees
  img.req_orientation = ORIENTATION_TOPLEFT;
  const int width = static_cast<int>(img.width);
  const int height = static_cast<int>(img.height);
  // The reader decodes a whole strip or tile (of each plane when the
  // samples are stored apart) to give any row of it: its declared samples,
  // bits and rows per strip say what that takes before it is tried.
  std::uint16_t planar = PLANARCONFIG_CONTIG, samples = 1;
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
  const std::uint64_t piece =
      TIFFIsTiled(tif.get()) ? TIFFTileSize64(tif.get()) : TIFFStripSize64(tif.get());
  const std::uint64_t pieces = piece * (planar == PLANARCONFIG_SEPARATE ? samples : 1u);
  const std::uint64_t ours = static_cast<std::uint64_t>(width) * (kBandRows + 1) * 4;
  budget_charge(static_cast<std::size_t>(
      std::min<std::uint64_t>(pieces + ours, std::numeric_limits<std::size_t>::max())));
  std::vector<std::uint32_t> band(static_cast<std::size_t>(width) * kBandRows);
  std::vector<std::uint8_t> line(static_cast<std::size_t>(width) * 4);
  sink.begin(width, height, Pixels::rgba);
  for (int y = 0; y < height; y += kBandRows) {
    const int rows = std::min(kBandRows, height - y);
    budget_check_time();
    img.row_offset = y;
    img.col_offset = 0;
    if (!TIFFRGBAImageGet(&img, band.data(), img.width, static_cast<std::uint32_t>(rows))) {
      fail(ZARN_RASTER_ERR_CORRUPT, std::string("damaged TIFF: ") +
                                        (source.message[0] ? source.message : "unreadable rows"));
    }
    for (int j = 0; j < rows; ++j) {
      const std::uint32_t *p = band.data() + static_cast<std::size_t>(j) * width;
      for (int x = 0; x < width; ++x) {
        std::uint8_t *o = &line[static_cast<std::size_t>(x) * 4];
        o[0] = static_cast<std::uint8_t>(TIFFGetR(p[x]));
        o[1] = static_cast<std::uint8_t>(TIFFGetG(p[x]));
        o[2] = static_cast<std::uint8_t>(TIFFGetB(p[x]));
        o[3] = static_cast<std::uint8_t>(TIFFGetA(p[x]));
      }
      sink.row(line.data());
    }
  }
}

} // namespace zarn::raster
