#include "pdf_filter.hpp"

#include "connection.hpp"
#include "driver.hpp"
#include "media.hpp"
#include "zarn-raster.h"
#include "zarn.h"
#include "common/handle.hpp"

#include <algorithm>
#include <climits>
#include <string>

namespace zarn::app {

namespace {

using Document = Owned<zarn_raster_document, zarn_raster_document_close>;
using Bitmap = Owned<zarn_raster_bitmap, zarn_raster_bitmap_free>;
using Options = Owned<pappl_pr_options_t, papplJobDeletePrintOptions>;

bool fail(pappl_job_t *job, pappl_jreason_t reason, const std::string &message)
{
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message.c_str());
  papplJobSetMessage(job, "%s", message.c_str());
  papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
  return false;
}

} // namespace

bool print_pdf(pappl_job_t *job, pappl_device_t *device, void * /*data*/)
{
  zarn_raster_document *opened = nullptr;
  if (zarn_raster_open_file(papplJobGetFilename(job), &opened) != ZARN_RASTER_OK)
    return fail(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, zarn_raster_last_error());
  const Document document(opened);
  const int pages = zarn_raster_document_pages(document.get());
  const Options options(papplJobCreatePrintOptions(job, static_cast<unsigned>(pages), false));
  if (!options)
    return fail(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Cannot read the job's options.");

  const int first = std::max(1, static_cast<int>(options->first_page));
  const int last =
      options->last_page > 0
          ? std::min(pages, static_cast<int>(std::min<unsigned>(options->last_page, INT_MAX)))
          : pages;
  papplJobSetImpressions(job, std::max(0, last - first + 1));

  const pappl_media_col_t &media = options->media;
  zarn_raster_options ro;
  zarn_raster_options_init(&ro);
  ro.label_width_mm = media.size_width / 100.0;
  ro.label_height_mm = media.size_length / 100.0;
  ro.dpi = options->printer_resolution[0];
  ro.dither = dither_for(options->print_quality);
  ro.rotate = ZARN_RASTER_ROTATE_AUTO;
  const LabelSetup s = label_setup(*options, media.size_width, media.size_length);
  std::string copies = std::to_string(std::max(1, options->copies));

  for (int page = first; page <= last; ++page) {
    if (papplJobIsCanceled(job))
      return true;
    zarn_raster_bitmap *rendered = nullptr;
    if (zarn_raster_render(document.get(), page, &ro, &rendered) != ZARN_RASTER_OK)
      return fail(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, zarn_raster_last_error());
    const Bitmap bitmap(rendered);

    if (!wait_until_ready(job, device))
      return false;
    {
      LabelSetup copy = s;
      LibraryCall call;
      setup(copy.width_mm.data(), copy.height_mm.data(), copy.speed.data(), copy.density.data(),
            copy.media_kind.data(), copy.gap_mm.data(), copy.offset_mm.data());
      clearbuffer();
      if (zarn_raster_send_bitmap(bitmap.get(), 0, 0) != ZARN_RASTER_OK)
        return fail(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, zarn_raster_last_error());
    }
    // PRINT only once the printer can print, so the label is not lost.
    if (!wait_until_ready(job, device))
      return false;
    {
      char sets[] = "1";
      LibraryCall call;
      printlabel(sets, copies.data());
    }
    papplJobSetImpressionsCompleted(job, 1);
  }
  return true;
}

} // namespace zarn::app
