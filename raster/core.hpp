// SPDX-License-Identifier: MIT
// The raster library's own vocabulary: failures that become a status and a
// message at the C boundary, validated settings, the grey label canvas and
// the packed bitmap.
#pragma once

#include "zarn-raster.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace zarn::raster {

// Thrown anywhere inside; the C entry points turn it into its status and
// keep the message for zarn_raster_last_error().
class Failure : public std::exception {
 public:
  Failure(zarn_raster_status status, std::string message)
      : status_(status), message_(std::move(message))
  {
  }
  zarn_raster_status status() const { return status_; }
  const char *what() const noexcept override { return message_.c_str(); }

 private:
  zarn_raster_status status_;
  std::string message_;
};

[[noreturn]] inline void fail(zarn_raster_status status, std::string message)
{
  throw Failure(status, std::move(message));
}

// Pixel layouts inside the library: the public ones plus grey with alpha,
// which PNG decoding hands over as it comes, and cairo's RGB24 (B, G, R,
// unused, in memory on little-endian machines) for rendered PDF pages.
enum class Pixels { grey, grey_alpha, rgb, rgba, black1, bgrx };

inline std::size_t bytes_per_pixel(Pixels p)
{
  switch (p) {
  case Pixels::grey: return 1;
  case Pixels::grey_alpha: return 2;
  case Pixels::rgb: return 3;
  case Pixels::rgba:
  case Pixels::bgrx: return 4;
  case Pixels::black1: return 0; // packed: see row_bytes
  }
  return 0;
}

inline std::size_t row_bytes(Pixels p, int width)
{
  const auto w = static_cast<std::size_t>(width);
  return p == Pixels::black1 ? (w + 7) / 8 : w * bytes_per_pixel(p);
}

// The options after checking, in the units the pipeline uses.
struct Settings {
  double label_width_mm = 0;
  double label_height_mm = 0;
  int dots_per_mm = 8;
  int dpi = 203;
  zarn_raster_dither dither = ZARN_RASTER_DITHER_FLOYD_STEINBERG;
  int threshold = 128; // ink where the grey (0..255) is below this
  zarn_raster_rotate rotate = ZARN_RASTER_ROTATE_0;
  zarn_raster_fit fit = ZARN_RASTER_FIT_CONTAIN;
  double margin_top_mm = 0, margin_right_mm = 0, margin_bottom_mm = 0, margin_left_mm = 0;
  unsigned long long max_pixels = ZARN_RASTER_DEFAULT_MAX_PIXELS;
  double max_seconds = ZARN_RASTER_DEFAULT_MAX_SECONDS; // one page's CPU time
  unsigned long long max_bytes = ZARN_RASTER_DEFAULT_MAX_BYTES;
};

// Checks the caller's options (NULL gives the defaults).
Settings settings_from(const zarn_raster_options *options);

// Runs body for a C entry point: a failure becomes its status and the
// thread's message "context: what went wrong".
zarn_raster_status run_guarded(const std::string &context, const std::function<void()> &body);

// The internal layout of a public pixel format (ERR_ARGUMENT for others).
Pixels checked_format(zarn_raster_pixel_format f);

// The label in sRGB-encoded grey, one byte a dot, 255 (paper) to start.
struct Canvas {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> grey;
  Canvas(int w, int h);
  std::uint8_t *row(int y) { return grey.data() + static_cast<std::size_t>(y) * width; }
};

} // namespace zarn::raster

// The opaque result handed to hosts.
struct zarn_raster_bitmap {
  int width = 0;
  int height = 0;
  int bytes_per_row = 0;
  int dpi = 203;
  int dots_per_mm = 8;
  std::vector<std::uint8_t> bytes;
};
