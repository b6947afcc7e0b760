// SPDX-License-Identifier: MIT
#include "media.hpp"

#include "wire/wire.hpp"

#include <algorithm>
#include <cmath>

namespace zarn::app {

namespace {

// PWG self-describing names; the first is the default.
constexpr const char *kMedia[] = {
    "oe_4x6-label_4x6in",
    "oe_4x4-label_4x4in",
    "oe_4x2-label_4x2in",
    "oe_2x1-label_2x1in",
    "om_100x150mm_100x150mm",
    "om_100x50mm_100x50mm",
    "om_62x29mm_62x29mm",
    "om_57x32mm_57x32mm",
    // Any roll in between: 4.25 in is the widest head, 1 m the longest label.
    "roll_min_12x6mm",
    "roll_max_108x1000mm",
};

// Speeds 1 to 6 inches per second, in IPP's hundredths of mm per second.
constexpr int kInch = 2540;
constexpr int kSlowest = 1, kFastest = 6, kDefaultSpeed = 4;
// DENSITY runs from 0 to 15.
constexpr int kDensityLevels = 16;
constexpr int kDefaultDarkness = 50; // percent, printer-darkness-configured
// The margin of the sizes that are not borderless, in hundredths of a mm.
constexpr int kEdgeMargin = 100;
// Gap or black mark between labels, in mm.
constexpr const char *kGapMm = "3";

} // namespace

void fill_media(pappl_pr_driver_data_t &data)
{
  data.num_media = static_cast<int>(std::size(kMedia));
  std::copy(std::begin(kMedia), std::end(kMedia), data.media);
  // Labels print to the edge, and the default is borderless. Each size is
  // also offered with a 1 mm margin: CUPS names a size without margins
  // "4x6.Borderless" but its default "4x6", which must then exist too.
  data.left_right = kEdgeMargin;
  data.bottom_top = kEdgeMargin;
  data.borderless = true;

  data.num_source = 1;
  data.source[0] = "main-roll";
  data.tracking_supported =
      PAPPL_MEDIA_TRACKING_GAP | PAPPL_MEDIA_TRACKING_MARK | PAPPL_MEDIA_TRACKING_CONTINUOUS;
  data.num_type = 2;
  data.type[0] = "labels";
  data.type[1] = "labels-continuous";

  pappl_media_col_t &ready = data.media_ready[0];
  ready = pappl_media_col_t{};
  const pwg_media_t *pwg = pwgMediaForPWG(kMedia[0]);
  papplCopyString(ready.size_name, kMedia[0], sizeof ready.size_name);
  ready.size_width = pwg ? pwg->width : 10160;
  ready.size_length = pwg ? pwg->length : 15240;
  papplCopyString(ready.source, "main-roll", sizeof ready.source);
  papplCopyString(ready.type, "labels", sizeof ready.type);
  ready.tracking = PAPPL_MEDIA_TRACKING_GAP;
  data.media_default = ready;

  data.darkness_supported = kDensityLevels;
  data.darkness_configured = kDefaultDarkness;
  data.darkness_default = 0;
  data.speed_supported[0] = kSlowest * kInch;
  data.speed_supported[1] = kFastest * kInch;
  data.speed_default = kDefaultSpeed * kInch;
  data.mode_supported = PAPPL_LABEL_MODE_TEAR_OFF;
  data.mode_configured = PAPPL_LABEL_MODE_TEAR_OFF;
}

LabelSetup label_setup(const pappl_pr_options_t &options, int width, int height)
{
  LabelSetup s;
  s.width_mm = wire::millimetres(width, 100);
  s.height_mm = wire::millimetres(height, 100);

  const int ips =
      options.print_speed > 0
          ? std::clamp(static_cast<int>(std::lround(options.print_speed / double(kInch))), kSlowest,
                       kFastest)
          : kDefaultSpeed;
  s.speed = std::to_string(ips);

  // print-darkness (-100..100) moves the printer's configured darkness (0..100).
  const int percent = std::clamp(options.darkness_configured + options.print_darkness, 0, 100);
  s.density = std::to_string(static_cast<int>(std::lround(percent * (kDensityLevels - 1) / 100.0)));

  switch (options.media.tracking) {
  case PAPPL_MEDIA_TRACKING_MARK:
    s.media_kind = "1";
    s.gap_mm = kGapMm;
    break;
  case PAPPL_MEDIA_TRACKING_CONTINUOUS:
    s.media_kind = "0";
    s.gap_mm = "0";
    break;
  default:
    s.media_kind = "0";
    s.gap_mm = kGapMm;
    break;
  }
  s.offset_mm = "0";
  return s;
}

zarn_raster_dither dither_for(ipp_quality_t quality)
{
  switch (quality) {
  case IPP_QUALITY_DRAFT: return ZARN_RASTER_DITHER_THRESHOLD;
  case IPP_QUALITY_HIGH: return ZARN_RASTER_DITHER_FLOYD_STEINBERG;
  default: return ZARN_RASTER_DITHER_ORDERED;
  }
}

} // namespace zarn::app
