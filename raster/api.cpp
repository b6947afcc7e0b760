// SPDX-License-Identifier: MIT
// The C interface: options, per-thread error messages, documents and
// bitmaps. Every entry point catches everything, so no exception crosses
// into a C host.
#include "zarn-raster.h"

#include "core.hpp"
#include "decode.hpp"
#include "common/handle.hpp"
#include "pdf.hpp"
#include "render.hpp"
#include "budget.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace zarn::raster {

namespace {

// Files are read whole; anything larger is no label.
constexpr off_t kMaxFileBytes = off_t{1} << 30;

thread_local std::string last_error;

// Runs body; a failure leaves its status and "context: message".
template <typename Body>
zarn_raster_status guarded(const std::string &context, Body &&body) noexcept
{
  try {
    try {
      body();
      return ZARN_RASTER_OK;
    } catch (const Failure &f) {
      last_error = context.empty() ? f.what() : context + ": " + f.what();
      return f.status();
    } catch (const std::bad_alloc &) {
      last_error = context.empty() ? "out of memory" : context + ": out of memory";
      return ZARN_RASTER_ERR_NO_MEMORY;
    }
  } catch (...) {
    last_error = "out of memory";
    return ZARN_RASTER_ERR_NO_MEMORY;
  }
}

void require(bool ok, const char *what)
{
  if (!ok)
    fail(ZARN_RASTER_ERR_ARGUMENT, what);
}

bool finite_size(double mm) { return std::isfinite(mm) && mm >= 0 && mm <= 1000; }

std::vector<std::uint8_t> read_file(const char *path)
{
  const zarn::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd)
    fail(ZARN_RASTER_ERR_IO, std::string("cannot open: ") + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0)
    fail(ZARN_RASTER_ERR_IO, std::string("cannot read: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode))
    fail(ZARN_RASTER_ERR_IO, "is a folder, not a file");
  if (st.st_size > kMaxFileBytes)
    fail(ZARN_RASTER_ERR_TOO_LARGE, "the file is larger than 1 GiB");
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0));
  std::uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      fail(ZARN_RASTER_ERR_IO, std::string("cannot read: ") + std::strerror(errno));
    if (n == 0)
      break;
    if (bytes.size() + static_cast<std::size_t>(n) > static_cast<std::size_t>(kMaxFileBytes))
      fail(ZARN_RASTER_ERR_TOO_LARGE, "the file is larger than 1 GiB");
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

Pixels public_format(zarn_raster_pixel_format f)
{
  switch (f) {
  case ZARN_RASTER_GREY8: return Pixels::grey;
  case ZARN_RASTER_RGB24: return Pixels::rgb;
  case ZARN_RASTER_RGBA32: return Pixels::rgba;
  case ZARN_RASTER_BLACK1: return Pixels::black1;
  }
  fail(ZARN_RASTER_ERR_ARGUMENT, "unknown pixel format");
}

} // namespace

Settings settings_from(const zarn_raster_options *options)
{
  zarn_raster_options o;
  zarn_raster_options_init(&o);
  if (options != nullptr) {
    require(options->size >= offsetof(zarn_raster_options, label_width_mm),
            "options not prepared with zarn_raster_options_init");
    // Fields past the caller's size keep their defaults.
    std::memcpy(&o, options, std::min(options->size, sizeof o));
  }
  Settings s;
  require(finite_size(o.label_width_mm) && finite_size(o.label_height_mm),
          "label size must be 0 to 1000 mm");
  require((o.label_width_mm > 0) == (o.label_height_mm > 0),
          "give both label width and height, or neither");
  s.label_width_mm = o.label_width_mm;
  s.label_height_mm = o.label_height_mm;
  switch (o.dpi) {
  case 203: s.dots_per_mm = 8; break;
  case 300: s.dots_per_mm = 12; break;
  case 600: s.dots_per_mm = 24; break;
  default: fail(ZARN_RASTER_ERR_ARGUMENT, "dpi must be 203, 300 or 600");
  }
  s.dpi = o.dpi;
  require(o.dither >= ZARN_RASTER_DITHER_FLOYD_STEINBERG && o.dither <= ZARN_RASTER_DITHER_ORDERED,
          "unknown dither");
  s.dither = o.dither;
  require(o.threshold > 0 && o.threshold < 1, "threshold must be between 0 and 1 (exclusive)");
  // Ink where grey < threshold x 255.
  s.threshold = static_cast<int>(std::ceil(o.threshold * 255));
  require(o.rotate == ZARN_RASTER_ROTATE_AUTO || o.rotate == ZARN_RASTER_ROTATE_0 ||
              o.rotate == ZARN_RASTER_ROTATE_90 || o.rotate == ZARN_RASTER_ROTATE_180 ||
              o.rotate == ZARN_RASTER_ROTATE_270,
          "rotate must be auto, 0, 90, 180 or 270");
  s.rotate = o.rotate;
  require(o.fit >= ZARN_RASTER_FIT_CONTAIN && o.fit <= ZARN_RASTER_FIT_NONE, "unknown fit");
  s.fit = o.fit;
  for (double m : {o.margin_top_mm, o.margin_right_mm, o.margin_bottom_mm, o.margin_left_mm})
    require(finite_size(m), "margins must be 0 to 1000 mm");
  s.margin_top_mm = o.margin_top_mm;
  s.margin_right_mm = o.margin_right_mm;
  s.margin_bottom_mm = o.margin_bottom_mm;
  s.margin_left_mm = o.margin_left_mm;
  s.max_pixels = o.max_pixels == 0 ? ZARN_RASTER_DEFAULT_MAX_PIXELS : o.max_pixels;
  require(std::isfinite(o.max_seconds) && o.max_seconds >= 0,
          "max_seconds must be 0 (the default) or more");
  s.max_seconds = o.max_seconds == 0 ? ZARN_RASTER_DEFAULT_MAX_SECONDS : o.max_seconds;
  s.max_bytes = o.max_bytes == 0 ? ZARN_RASTER_DEFAULT_MAX_BYTES : o.max_bytes;
  return s;
}

} // namespace zarn::raster

using namespace zarn::raster;

struct zarn_raster_document {
  std::string name;
  std::vector<std::uint8_t> bytes; // before pdf: Poppler reads them until it is gone
  PictureInfo info;
  PdfPtr pdf;
  int pages = 1;
};

namespace {

std::unique_ptr<zarn_raster_document> make_document(std::string name,
                                                    std::vector<std::uint8_t> bytes)
{
  auto doc = std::make_unique<zarn_raster_document>();
  doc->name = std::move(name);
  doc->bytes = std::move(bytes);
  const Format format = sniff(doc->bytes);
  if (format == Format::pdf) {
    doc->pdf = pdf_open(doc->bytes);
    doc->pages = pdf_pages(*doc->pdf);
    doc->info.format = Format::pdf;
  } else {
    doc->info = read_header(format, doc->bytes);
  }
  return doc;
}

BitmapPtr render_page(zarn_raster_document &doc, int page, const Settings &s)
{
  const Budget budget(s, page);
  if (doc.pdf)
    return pdf_render(*doc.pdf, page, s);
  if (page != 1)
    fail(ZARN_RASTER_ERR_PAGE,
         "there is no page " + std::to_string(page) + " (a picture has one page)");
  return render_picture(doc.info, doc.bytes, s);
}

// A page over its budget names the page itself ("page 1 takes more than
// 10 s to render"), so only the file goes before that message; every
// other failure of a PDF page is said after "page N: ".
void render_into(zarn_raster_document &doc, int page, const Settings &s,
                 zarn_raster_bitmap **bitmap)
{
  try {
    *bitmap = render_page(doc, page, s).release();
  } catch (const Failure &f) {
    if (f.status() == ZARN_RASTER_ERR_BUDGET || !doc.pdf)
      throw;
    throw Failure(f.status(), "page " + std::to_string(page) + ": " + f.what());
  }
}

} // namespace

extern "C" {

void zarn_raster_options_init(zarn_raster_options *options)
{
  if (options == nullptr)
    return;
  *options = zarn_raster_options{};
  options->size = sizeof *options;
  options->dpi = 203;
  options->dither = ZARN_RASTER_DITHER_FLOYD_STEINBERG;
  options->threshold = 0.5;
  options->rotate = ZARN_RASTER_ROTATE_0;
  options->fit = ZARN_RASTER_FIT_CONTAIN;
  options->max_pixels = ZARN_RASTER_DEFAULT_MAX_PIXELS;
  options->max_seconds = ZARN_RASTER_DEFAULT_MAX_SECONDS;
  options->max_bytes = ZARN_RASTER_DEFAULT_MAX_BYTES;
}

const char *zarn_raster_last_error(void) { return last_error.c_str(); }

zarn_raster_status zarn_raster_open_file(const char *path, zarn_raster_document **document)
{
  const std::string name = path ? path : "";
  return guarded(name, [&] {
    require(path != nullptr && document != nullptr, "path and document must not be NULL");
    *document = make_document(name, read_file(path)).release();
  });
}

zarn_raster_status zarn_raster_open_memory(const void *data, size_t size, const char *name,
                                           zarn_raster_document **document)
{
  const std::string label = name ? name : "picture";
  return guarded(label, [&] {
    require(document != nullptr && (data != nullptr || size == 0),
            "data and document must not be NULL");
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    *document = make_document(label, std::vector<std::uint8_t>(bytes, bytes + size)).release();
  });
}

int zarn_raster_document_pages(const zarn_raster_document *document)
{
  return document ? document->pages : 0;
}

void zarn_raster_document_close(zarn_raster_document *document) { delete document; }

zarn_raster_status zarn_raster_render(zarn_raster_document *document, int page,
                                      const zarn_raster_options *options,
                                      zarn_raster_bitmap **bitmap)
{
  const std::string context = document ? document->name : "";
  return guarded(context, [&] {
    require(document != nullptr && bitmap != nullptr, "document and bitmap must not be NULL");
    const Settings s = settings_from(options);
    render_into(*document, page, s, bitmap);
  });
}

zarn_raster_status zarn_raster_render_file(const char *path, int page,
                                           const zarn_raster_options *options,
                                           zarn_raster_bitmap **bitmap)
{
  zarn_raster_document *doc = nullptr;
  const zarn_raster_status opened = zarn_raster_open_file(path, &doc);
  if (opened != ZARN_RASTER_OK)
    return opened;
  const zarn::Owned<zarn_raster_document, zarn_raster_document_close> owned(doc);
  return zarn_raster_render(doc, page, options, bitmap);
}

zarn_raster_status zarn_raster_render_pixels(const void *pixels, int width, int height,
                                             size_t stride, zarn_raster_pixel_format format,
                                             const zarn_raster_options *options,
                                             zarn_raster_bitmap **bitmap)
{
  return guarded("pixels", [&] {
    require(pixels != nullptr && bitmap != nullptr, "pixels and bitmap must not be NULL");
    require(width > 0 && height > 0, "width and height must be at least 1");
    const Pixels f = public_format(format);
    require(stride >= row_bytes(f, width), "stride is shorter than a row of pixels");
    const Settings s = settings_from(options);
    const Budget budget(s, 1);
    *bitmap = render_buffer(static_cast<const std::uint8_t *>(pixels), width, height, stride, f, s)
                  .release();
  });
}

int zarn_raster_bitmap_width(const zarn_raster_bitmap *bitmap)
{
  return bitmap ? bitmap->width : 0;
}

int zarn_raster_bitmap_height(const zarn_raster_bitmap *bitmap)
{
  return bitmap ? bitmap->height : 0;
}

int zarn_raster_bitmap_bytes_per_row(const zarn_raster_bitmap *bitmap)
{
  return bitmap ? bitmap->bytes_per_row : 0;
}

const unsigned char *zarn_raster_bitmap_data(const zarn_raster_bitmap *bitmap)
{
  return bitmap ? bitmap->bytes.data() : nullptr;
}

int zarn_raster_bitmap_dpi(const zarn_raster_bitmap *bitmap) { return bitmap ? bitmap->dpi : 0; }

void zarn_raster_bitmap_free(zarn_raster_bitmap *bitmap) { delete bitmap; }

} // extern "C"

namespace zarn::raster {

// For the stream and send code in their own files.
zarn_raster_status run_guarded(const std::string &context, const std::function<void()> &body)
{
  return guarded(context, body);
}

Pixels checked_format(zarn_raster_pixel_format f) { return public_format(f); }

} // namespace zarn::raster
