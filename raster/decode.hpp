// SPDX-License-Identifier: MIT
// Picture decoding: the format from the first bytes, the declared size from
// the header alone, then the pixels row by row into a sink. Each decoder
// throws Failure (without the file name; the caller adds it); a truncated
// file is an error, even when the sink has already seen its first rows.
#pragma once

#include "core.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace zarn::raster {

enum class Format { png, jpeg, bmp, gif, tiff, webp, pdf };

const char *format_name(Format f);

// Recognises the format from the magic bytes; empty data and unknown data
// are refused (ERR_CORRUPT, ERR_FORMAT).
Format sniff(std::span<const std::uint8_t> data);

struct PictureInfo {
  Format format = Format::png;
  int width = 0;
  int height = 0;
};

// Receives a picture top to bottom: begin once with the size actually
// decoded (JPEG and WebP may come smaller than declared, nearer the size
// asked for), then exactly height rows of row_bytes(format, width) bytes.
class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual void begin(int width, int height, Pixels format) = 0;
  virtual void row(const std::uint8_t *pixels) = 0;
};

// The declared size, read from the header without decoding pixels.
PictureInfo read_header(Format format, std::span<const std::uint8_t> data);

// Decodes the whole picture into sink. want_width x want_height is the size
// it will be printed at: decoders that can shrink while decoding (JPEG's
// DCT scaling, WebP's scaler) stop at no less than that.
void decode(const PictureInfo &info, std::span<const std::uint8_t> data, int want_width,
            int want_height, RowSink &sink);

// Per-format entry points, in their own files.
PictureInfo png_header(std::span<const std::uint8_t> data);
void png_decode(std::span<const std::uint8_t> data, RowSink &sink);
PictureInfo jpeg_header(std::span<const std::uint8_t> data);
void jpeg_decode(std::span<const std::uint8_t> data, int want_width, int want_height,
                 RowSink &sink);
PictureInfo tiff_header(std::span<const std::uint8_t> data);
void tiff_decode(std::span<const std::uint8_t> data, RowSink &sink);
PictureInfo webp_header(std::span<const std::uint8_t> data);
void webp_decode(std::span<const std::uint8_t> data, int want_width, int want_height,
                 RowSink &sink);
PictureInfo bmp_header(std::span<const std::uint8_t> data);
void bmp_decode(std::span<const std::uint8_t> data, RowSink &sink);
PictureInfo gif_header(std::span<const std::uint8_t> data);
void gif_decode(std::span<const std::uint8_t> data, RowSink &sink);

} // namespace zarn::raster
