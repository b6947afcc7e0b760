// SPDX-License-Identifier: MIT
// The labels the drivers offer, and print options turned into the printer's
// label settings.
#pragma once

#include "zarn-raster.h"

#include <pappl/pappl.h>

#include <string>

namespace zarn::app {

// The longest label, in hundredths of a millimetre (the roll range's
// roll_max_108x1000mm): a SIZE past it is refused by the printer.
inline constexpr int kLongestLabel = 100000;

// Fills the media, roll range, sources, tracking, darkness and speed of a
// driver for dpi dots per inch.
void fill_media(pappl_pr_driver_data_t &data);

// What setup() sends for one label: SIZE, SPEED, DENSITY and GAP or BLINE.
struct LabelSetup {
  std::string width_mm;
  std::string height_mm;
  std::string speed;      // inches per second
  std::string density;    // 0 (light) .. 15 (dark)
  std::string media_kind; // "1" black mark (BLINE), "0" gap (GAP)
  std::string gap_mm;
  std::string offset_mm;
};

// width and height in hundredths of a millimetre.
LabelSetup label_setup(const pappl_pr_options_t &options, int width, int height);

// print-quality as the raster library's dither choice.
zarn_raster_dither dither_for(ipp_quality_t quality);

} // namespace zarn::app
