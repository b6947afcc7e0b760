// SPDX-License-Identifier: MIT
// WebP through libwebp: a picture larger than it prints is decoded straight
// at the printed size by libwebp's own scaler, so memory follows the label.
#include "decode.hpp"

#include "budget.hpp"

#include "common/handle.hpp"

#include <webp/decode.h>

#include <string>

namespace zarn::raster {

namespace {

const char *reason(VP8StatusCode code)
{
  switch (code) {
  case VP8_STATUS_NOT_ENOUGH_DATA: return "the data ends early (truncated file)";
  case VP8_STATUS_BITSTREAM_ERROR: return "bad bitstream";
  case VP8_STATUS_UNSUPPORTED_FEATURE: return "unsupported feature";
  case VP8_STATUS_OUT_OF_MEMORY: return "out of memory";
  default: return "cannot decode";
  }
}

} // namespace

PictureInfo webp_header(std::span<const std::uint8_t> data)
{
  WebPBitstreamFeatures features;
  const VP8StatusCode code = WebPGetFeatures(data.data(), data.size(), &features);
  if (code != VP8_STATUS_OK)
    fail(ZARN_RASTER_ERR_CORRUPT, std::string("damaged WebP: ") + reason(code));
  return {Format::webp, features.width, features.height};
}

void webp_decode(std::span<const std::uint8_t> data, int want_width, int want_height, RowSink &sink)
{
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config))
    fail(ZARN_RASTER_ERR_CORRUPT, "WebP decoder version mismatch");
  VP8StatusCode code = WebPGetFeatures(data.data(), data.size(), &config.input);
  if (code != VP8_STATUS_OK)
    fail(ZARN_RASTER_ERR_CORRUPT, std::string("damaged WebP: ") + reason(code));
  if (want_width < config.input.width && want_height < config.input.height) {
    config.options.use_scaling = 1;
    config.options.scaled_width = want_width;
    config.options.scaled_height = want_height;
  }
  // Decoded whole, at the size it is scaled to.
  budget_charge(
      static_cast<std::size_t>(config.options.use_scaling ? want_width : config.input.width) *
      static_cast<std::size_t>(config.options.use_scaling ? want_height : config.input.height) * 4);
  config.output.colorspace = MODE_RGBA;
  code = WebPDecode(data.data(), data.size(), &config);
  const zarn::Owned<WebPDecBuffer, WebPFreeDecBuffer> output(&config.output); // frees its pixels
  if (code != VP8_STATUS_OK)
    fail(code == VP8_STATUS_OUT_OF_MEMORY ? ZARN_RASTER_ERR_NO_MEMORY : ZARN_RASTER_ERR_CORRUPT,
         std::string("damaged WebP: ") + reason(code));
  const WebPRGBABuffer &rgba = config.output.u.RGBA;
  sink.begin(config.output.width, config.output.height, Pixels::rgba);
  for (int y = 0; y < config.output.height; ++y)
    sink.row(rgba.rgba + static_cast<std::size_t>(y) * static_cast<std::size_t>(rgba.stride));
}

} // namespace zarn::raster
