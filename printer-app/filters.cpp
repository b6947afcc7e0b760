// SPDX-License-Identifier: MIT
#include "filters.hpp"

#include "devices.hpp"
#include "driver.hpp"
#include "media.hpp"
#include "zarn-raster.h"
#include "common/handle.hpp"

#include <png.h>

#include <algorithm>
#include <climits>
#include <vector>
#include <string>

namespace zarn::app {

namespace {

using Document = Owned<zarn_raster_document, zarn_raster_document_close>;
using Bitmap = Owned<zarn_raster_bitmap, zarn_raster_bitmap_free>;
using Options = Owned<pappl_pr_options_t, papplJobDeletePrintOptions>;

// Renders each page asked for with libzarn-raster onto the job's label and
// prints it: a PDF, or a picture fitted by fit.
bool print_document(pappl_job_t *job, pappl_device_t *device, zarn_raster_fit fit)
{
  attach_job(device, job);
  const JobTurn turn(job);
  if (turn.duplicate())
    return true;
  if (!turn.taken())
    return false;
  zarn_raster_document *opened = nullptr;
  if (zarn_raster_open_file(papplJobGetFilename(job), &opened) != ZARN_RASTER_OK)
    return fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, zarn_raster_last_error());
  const Document document(opened);
  const int pages = zarn_raster_document_pages(document.get());
  const Options options(papplJobCreatePrintOptions(job, static_cast<unsigned>(pages), false));
  if (!options)
    return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Cannot read the job's options.");

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
  ro.fit = fit;
  const LabelSetup s = label_setup(*options, media.size_width, media.size_length);
  const int copies = std::max(1, options->copies);

  for (int page = first; page <= last; ++page) {
    if (papplJobIsCanceled(job))
      return true;
    zarn_raster_bitmap *rendered = nullptr;
    if (zarn_raster_render(document.get(), page, &ro, &rendered) != ZARN_RASTER_OK)
      return fail_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, zarn_raster_last_error());
    const Bitmap bitmap(rendered);

    if (!wait_until_ready(job, device) || !start_label(job, device, s) ||
        !send_bitmap(job, device, bitmap.get()) || !print_label(job, device, copies))
      return false;
    papplJobSetImpressionsCompleted(job, 1);
  }
  return true;
}

// print-scaling=fill: PAPPL's image filter fills the label and cuts the
// picture's overhang, which libzarn-raster never does.
bool print_png_filled(pappl_job_t *job, pappl_device_t *device)
{
  attach_job(device, job);
  const JobTurn turn(job);
  if (turn.duplicate())
    return true;
  if (!turn.taken())
    return false;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, papplJobGetFilename(job)))
    return fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                    std::string("Cannot read the PNG picture: ") + image.message);
  // Colour stays colour (PAPPL converts it); transparency shows the paper.
  const bool colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
  image.format = colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  int max_width = 0, max_height = 0;
  papplSystemGetMaxImageSize(papplPrinterGetSystem(papplJobGetPrinter(job)), &max_width,
                             &max_height);
  if ((max_width > 0 && image.width > static_cast<png_uint_32>(max_width)) ||
      (max_height > 0 && image.height > static_cast<png_uint_32>(max_height))) {
    png_image_free(&image);
    return fail_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                    "The PNG picture is " + std::to_string(image.width) + " x " +
                        std::to_string(image.height) + " pixels, more than the printer takes.");
  }
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  const png_color white{255, 255, 255};
  if (!png_image_finish_read(&image, &white, pixels.data(), 0, nullptr))
    return fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                    std::string("The PNG picture is damaged: ") + image.message);

  const Options options(papplJobCreatePrintOptions(job, 1, colour));
  if (!options)
    return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Cannot read the job's options.");
  return papplJobFilterImage(job, device, options.get(), pixels.data(),
                             static_cast<int>(image.width), static_cast<int>(image.height),
                             colour ? 3 : 1, 0, true);
}

} // namespace

bool print_pdf(pappl_job_t *job, pappl_device_t *device, void * /*data*/)
{
  return print_document(job, device, ZARN_RASTER_FIT_CONTAIN);
}

// A picture is fitted whole by libzarn-raster, whose scaling keeps the
// edges of black and white (a barcode) sharp; auto and fit fit it to the
// label, auto-fit only shrinks it, none prints a pixel a dot.
bool print_png(pappl_job_t *job, pappl_device_t *device, void * /*data*/)
{
  const Options options(papplJobCreatePrintOptions(job, 1, false));
  if (!options)
    return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Cannot read the job's options.");
  switch (options->print_scaling) {
  case PAPPL_SCALING_FILL: return print_png_filled(job, device);
  case PAPPL_SCALING_AUTO_FIT: return print_document(job, device, ZARN_RASTER_FIT_SHRINK);
  case PAPPL_SCALING_NONE: return print_document(job, device, ZARN_RASTER_FIT_NONE);
  default: return print_document(job, device, ZARN_RASTER_FIT_CONTAIN);
  }
}

} // namespace zarn::app
