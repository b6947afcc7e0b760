// SPDX-License-Identifier: MIT
#include "pdf.hpp"

#include "budget.hpp"
#include "grey.hpp"

#include <GlobalParams.h>
#include <OutputDev.h>
#include <PDFDoc.h>
#include <Stream.h>

#include <cairo.h>
#include <poppler.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>

namespace zarn::raster {

namespace {

// Bytes of one band's colour surface; a 4 x 6 in page at 203 dpi fits in
// one band, a 600-dpi A6 page takes five.
constexpr std::size_t kBandBytes = 8u << 20;

// One Poppler call at a time in the process: a document is not safe to
// share between threads, and Poppler's global state is easiest kept still.
std::mutex poppler_mutex;

using DocumentPtr = zarn::Owned<PopplerDocument, g_object_unref>;
using PagePtr = zarn::Owned<PopplerPage, g_object_unref>;
using SurfacePtr = zarn::Owned<cairo_surface_t, cairo_surface_destroy>;
using CairoPtr = zarn::Owned<cairo_t, cairo_destroy>;
using FontOptionsPtr = zarn::Owned<cairo_font_options_t, cairo_font_options_destroy>;
using ErrorPtr = zarn::Owned<GError, g_error_free>;
using BytesPtr = zarn::Owned<GBytes, g_bytes_unref>;

// Page coordinates (points, y down) to canvas dots: scaled, turned
// clockwise and moved to the layout's corner.
void place_page(cairo_t *cr, const Layout &l, double page_w, double page_h)
{
  const double s = l.scale;
  switch (l.rotation) {
  case 90:
    cairo_translate(cr, l.x0 + page_h * s, l.y0);
    cairo_rotate(cr, M_PI / 2);
    break;
  case 180:
    cairo_translate(cr, l.x0 + page_w * s, l.y0 + page_h * s);
    cairo_rotate(cr, M_PI);
    break;
  case 270:
    cairo_translate(cr, l.x0, l.y0 + page_w * s);
    cairo_rotate(cr, -M_PI / 2);
    break;
  default: cairo_translate(cr, l.x0, l.y0); break;
  }
  cairo_scale(cr, s, s);
}

// Goes through a page's content the way a renderer would, drawing
// nothing: forms, patterns, Type 3 glyphs and annotations are interpreted,
// and every image is charged with the pixels it would decode, without
// decoding them. Poppler's GLib interface has no way to stop a page, so this
// pass, which Poppler checks with an abort callback, runs first: a page
// that costs more than its budget is refused before cairo draws it.
class CostingDev : public OutputDev {
 public:
  explicit CostingDev(Budget &budget) : budget_(budget) {}
  bool upsideDown() override { return true; }
  bool useDrawChar() override { return true; }
  bool interpretType3Chars() override { return true; }
  bool needNonText() override { return true; }
  void drawImageMask(GfxState *, Object *, Stream *, int width, int height, bool, bool,
                     bool) override
  {
    charge(width, height);
  }
  void setSoftMaskFromImageMask(GfxState *, Object *, Stream *, int width, int height, bool, bool,
                                double *) override
  {
    charge(width, height);
  }
  void drawImage(GfxState *, Object *, Stream *, int width, int height, GfxImageColorMap *, bool,
                 const int *, bool) override
  {
    charge(width, height);
  }
  void drawMaskedImage(GfxState *, Object *, Stream *, int width, int height, GfxImageColorMap *,
                       bool, Stream *, int mask_width, int mask_height, bool, bool) override
  {
    charge(width, height);
    charge(mask_width, mask_height);
  }
  void drawSoftMaskedImage(GfxState *, Object *, Stream *, int width, int height,
                           GfxImageColorMap *, bool, Stream *, int mask_width, int mask_height,
                           GfxImageColorMap *, bool) override
  {
    charge(width, height);
    charge(mask_width, mask_height);
  }

 private:
  // cairo holds a decoded image as 4 bytes a pixel.
  void charge(int width, int height)
  {
    if (width > 0 && height > 0)
      budget_.try_charge(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  }
  Budget &budget_;
};

bool over_budget(void *data)
{
  return static_cast<Budget *>(data)->over() || static_cast<Budget *>(data)->time_is_up_sometimes();
}

void silent(ErrorCategory, Goffset, const char *) {}

} // namespace

struct PdfDocument {
  // The core document beside GLib's, for the costing pass; destroyed first.
  GlobalParamsIniter params{silent};
  DocumentPtr doc;
  std::unique_ptr<PDFDoc> core;
  int pages = 0;
  ~PdfDocument() { core.reset(); }
};

void pdf_close(PdfDocument *doc)
{
  std::lock_guard lock(poppler_mutex);
  delete doc;
}

PdfPtr pdf_open(std::span<const std::uint8_t> data)
{
  std::lock_guard lock(poppler_mutex);
  const BytesPtr bytes(g_bytes_new_static(data.data(), data.size()));
  GError *error = nullptr;
  DocumentPtr doc(poppler_document_new_from_bytes(bytes.get(), nullptr, &error));
  const ErrorPtr owned_error(error);
  if (!doc) {
    if (error && error->domain == POPPLER_ERROR && error->code == POPPLER_ERROR_ENCRYPTED)
      fail(ZARN_RASTER_ERR_FORMAT, "the PDF is protected by a password");
    fail(ZARN_RASTER_ERR_CORRUPT,
         std::string("damaged PDF: ") + (error ? error->message : "cannot be read"));
  }
  const int pages = poppler_document_get_n_pages(doc.get());
  if (pages < 1)
    fail(ZARN_RASTER_ERR_CORRUPT, "damaged PDF: it has no pages");
  PdfPtr out(new PdfDocument);
  out->doc = std::move(doc);
  Object dict(objNull);
  auto core =
      std::make_unique<PDFDoc>(new MemStream(reinterpret_cast<const char *>(data.data()), 0,
                                             static_cast<Goffset>(data.size()), std::move(dict)));
  if (!core->isOk() || core->getNumPages() != pages)
    fail(ZARN_RASTER_ERR_CORRUPT, "damaged PDF: cannot be read");
  out->core = std::move(core);
  out->pages = pages;
  return out;
}

int pdf_pages(const PdfDocument &doc) { return doc.pages; }

namespace {

Canvas render_page(PdfDocument &doc, int page, const Settings &s)
{
  std::lock_guard lock(poppler_mutex);
  if (page < 1 || page > doc.pages)
    fail(ZARN_RASTER_ERR_PAGE, "there is no page " + std::to_string(page) + " (the PDF has " +
                                   std::to_string(doc.pages) +
                                   (doc.pages == 1 ? " page)" : " pages)"));
  const PagePtr p(poppler_document_get_page(doc.doc.get(), page - 1));
  if (!p)
    fail(ZARN_RASTER_ERR_CORRUPT, "damaged PDF: the page cannot be read");
  double page_w = 0, page_h = 0;
  poppler_page_get_size(p.get(), &page_w, &page_h);
  if (!(page_w > 0 && page_h > 0 && page_w < 1e6 && page_h < 1e6))
    fail(ZARN_RASTER_ERR_CORRUPT, "damaged PDF: the page has no usable size");
  // Dots per point at the printer's own dots per mm.
  const Layout layout = plan_layout(s, page_w, page_h, s.dots_per_mm * 25.4 / 72.0);
  Canvas canvas = make_canvas(s, layout);
  Budget *const budget = Budget::current();
  double walk = 0; // CPU seconds of the costing pass
  if (budget != nullptr) {
    const double before = budget->seconds_used();
    CostingDev costing(*budget);
    doc.core->displayPage(&costing, page, 72, 72, 0, false, true, true, over_budget, budget);
    budget->fail_if_over();
    walk = budget->seconds_used() - before;
  }
  const std::size_t row_bytes = static_cast<std::size_t>(canvas.width) * 4;
  const int band = static_cast<int>(
      std::clamp<std::size_t>(kBandBytes / row_bytes, 16, static_cast<std::size_t>(canvas.height)));
  budget_charge(row_bytes * static_cast<std::size_t>(band));
  const FontOptionsPtr fonts(cairo_font_options_create());
  cairo_font_options_set_antialias(fonts.get(), CAIRO_ANTIALIAS_NONE);
  cairo_font_options_set_hint_style(fonts.get(), CAIRO_HINT_STYLE_NONE);
  double last_band = 0;
  for (int top = 0; top < canvas.height; top += band) {
    // cairo cannot be stopped inside a band, and each band goes through the
    // page's whole content again (no faster than the costing pass did): a
    // band that cannot end within the budget is not begun.
    double band_start = 0;
    if (budget != nullptr) {
      band_start = budget->seconds_used();
      if (band_start + std::max(walk, last_band) > budget->max_seconds())
        budget->fail_time();
    }
    const int rows = std::min(band, canvas.height - top);
    const SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, canvas.width, rows));
    const CairoPtr cr(cairo_create(surface.get()));
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS)
      fail(ZARN_RASTER_ERR_NO_MEMORY, "out of memory for a band of the page");
    cairo_set_source_rgb(cr.get(), 1, 1, 1);
    cairo_paint(cr.get());
    cairo_translate(cr.get(), 0, -top);
    place_page(cr.get(), layout, page_w, page_h);
    cairo_rectangle(cr.get(), 0, 0, page_w, page_h);
    cairo_clip(cr.get());
    cairo_set_antialias(cr.get(), CAIRO_ANTIALIAS_NONE);
    cairo_set_font_options(cr.get(), fonts.get());
    budget_check_time();
    poppler_page_render_for_printing(p.get(), cr.get());
    if (budget != nullptr)
      last_band = budget->seconds_used() - band_start;
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS)
      fail(ZARN_RASTER_ERR_CORRUPT, std::string("the page cannot be drawn: ") +
                                        cairo_status_to_string(cairo_status(cr.get())));
    cairo_surface_flush(surface.get());
    const std::uint8_t *data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    for (int r = 0; r < rows; ++r)
      row_to_grey(data + static_cast<std::size_t>(r) * static_cast<std::size_t>(stride),
                  Pixels::bgrx, canvas.width, canvas.row(top + r));
  }
  return canvas;
}

} // namespace

BitmapPtr pdf_render(PdfDocument &doc, int page, const Settings &s)
{
  return pack_canvas(render_page(doc, page, s), s);
}

} // namespace zarn::raster
