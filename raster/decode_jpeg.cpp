// SPDX-License-Identifier: MIT
// JPEG through libjpeg(-turbo) directly: scanlines as they decode, and DCT
// scaling (1/2, 1/4, 1/8) when the picture is much larger than it prints.
// Any warning (truncated data, corrupt entropy data) counts as damage.
#include "decode.hpp"

#include "budget.hpp"

#include "common/handle.hpp"

#include <cstdio>
#include <jpeglib.h>

#include <jerror.h>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <string>
#include <vector>

namespace zarn::raster {

namespace {

struct JpegReader {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr err{};
  jpeg_progress_mgr progress{};
  std::jmp_buf jump{};
  char message[JMSG_LENGTH_MAX] = "";
  bool created = false;
};

void release(JpegReader *r)
{
  if (r->created)
    jpeg_destroy_decompress(&r->cinfo);
  delete r;
}

using ReaderPtr = zarn::Owned<JpegReader, release>;

void on_error(j_common_ptr cinfo)
{
  auto *r = reinterpret_cast<JpegReader *>(cinfo->client_data);
  cinfo->err->format_message(cinfo, r->message);
  std::longjmp(r->jump, 1);
}

// Called every few rows of blocks, also while a progressive file's scans
// are read in before the first line comes out.
void on_progress(j_common_ptr cinfo)
{
  Budget *budget = Budget::current();
  if (budget == nullptr || !budget->time_is_up())
    return;
  auto *r = reinterpret_cast<JpegReader *>(cinfo->client_data);
  std::snprintf(r->message, sizeof r->message, "over its budget");
  std::longjmp(r->jump, 1);
}

void on_message(j_common_ptr cinfo, int level)
{
  if (level < 0) // a warning: the data is damaged or ends early
    on_error(cinfo);
}

ReaderPtr open_reader()
{
  ReaderPtr r(new JpegReader);
  r->cinfo.err = jpeg_std_error(&r->err);
  r->err.error_exit = on_error;
  r->err.emit_message = on_message;
  r->cinfo.client_data = r.get();
  r->progress.progress_monitor = on_progress;
  r->cinfo.progress = &r->progress;
  return r;
}

[[noreturn]] void damaged(const JpegReader &r)
{
  if (const Budget *budget = Budget::current())
    budget->fail_if_over();
  fail(ZARN_RASTER_ERR_CORRUPT, std::string("damaged JPEG: ") + r.message);
}

// libjpeg longjmps back here on errors; no C++ object lives in this frame.
bool start(JpegReader &r, std::span<const std::uint8_t> data)
{
  if (setjmp(r.jump))
    return false;
  jpeg_create_decompress(&r.cinfo);
  r.created = true;
  jpeg_mem_src(&r.cinfo, data.data(), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&r.cinfo, TRUE);
  return true;
}

bool begin_decompress(JpegReader &r, unsigned denom)
{
  if (setjmp(r.jump))
    return false;
  r.cinfo.scale_num = 1;
  r.cinfo.scale_denom = denom;
  switch (r.cinfo.jpeg_color_space) {
  case JCS_GRAYSCALE: r.cinfo.out_color_space = JCS_GRAYSCALE; break;
  case JCS_CMYK:
  case JCS_YCCK: r.cinfo.out_color_space = JCS_CMYK; break;
  default: r.cinfo.out_color_space = JCS_RGB; break;
  }
  jpeg_start_decompress(&r.cinfo);
  return true;
}

bool read_line(JpegReader &r, std::uint8_t *line)
{
  if (setjmp(r.jump))
    return false;
  JSAMPROW rows[1] = {line};
  if (jpeg_read_scanlines(&r.cinfo, rows, 1) == 1)
    return true;
  std::snprintf(r.message, sizeof r.message, "a scanline could not be read");
  return false;
}

} // namespace

PictureInfo jpeg_header(std::span<const std::uint8_t> data)
{
  ReaderPtr r = open_reader();
  if (!start(*r, data))
    damaged(*r);
  return {Format::jpeg, static_cast<int>(r->cinfo.image_width),
          static_cast<int>(r->cinfo.image_height)};
}

void jpeg_decode(std::span<const std::uint8_t> data, int want_width, int want_height, RowSink &sink)
{
  ReaderPtr r = open_reader();
  if (!start(*r, data))
    damaged(*r);
  // The largest reduction that still leaves at least the printed size.
  unsigned denom = 8;
  while (denom > 1 &&
         ((r->cinfo.image_width + denom - 1) / denom < static_cast<unsigned>(want_width) ||
          (r->cinfo.image_height + denom - 1) / denom < static_cast<unsigned>(want_height)))
    denom /= 2;
  // A progressive (or otherwise multi-scan) file is held whole as DCT
  // coefficients, 128 bytes a block, whatever size it is decoded at.
  const jpeg_decompress_struct &c = r->cinfo;
  if (c.progressive_mode || c.comps_in_scan < c.num_components) {
    std::size_t coefficients = 0;
    for (int i = 0; i < c.num_components; ++i) {
      const jpeg_component_info &comp = c.comp_info[i];
      const auto round_up = [](std::size_t v, std::size_t to) { return (v + to - 1) / to * to; };
      coefficients +=
          round_up(comp.width_in_blocks, static_cast<std::size_t>(comp.h_samp_factor)) *
          round_up(comp.height_in_blocks, static_cast<std::size_t>(comp.v_samp_factor)) *
          sizeof(JBLOCK);
    }
    budget_charge(coefficients);
  }
  if (Budget *budget = Budget::current())
    r->cinfo.mem->max_memory_to_use = static_cast<long>(
        std::min<std::size_t>(budget->bytes_left(), static_cast<std::size_t>(LONG_MAX)));
  if (!begin_decompress(*r, denom)) {
    // libjpeg has no backing store: past max_memory_to_use it gives up.
    if (r->cinfo.err->msg_code == JERR_NO_BACKING_STORE)
      if (Budget *budget = Budget::current())
        budget->try_charge(budget->bytes_left() + 1);
    damaged(*r);
  }
  const int width = static_cast<int>(r->cinfo.output_width);
  const int height = static_cast<int>(r->cinfo.output_height);
  const int channels = r->cinfo.output_components;
  const bool cmyk = r->cinfo.out_color_space == JCS_CMYK;
  // Adobe's CMYK JPEGs store the inks inverted.
  const bool inverted = cmyk && r->cinfo.saw_Adobe_marker;
  std::vector<std::uint8_t> line(static_cast<std::size_t>(width) *
                                 static_cast<std::size_t>(channels));
  std::vector<std::uint8_t> rgb(cmyk ? static_cast<std::size_t>(width) * 3 : 0);
  sink.begin(width, height, channels == 1 ? Pixels::grey : Pixels::rgb);
  for (int y = 0; y < height; ++y) {
    if (!read_line(*r, line.data()))
      damaged(*r);
    if (!cmyk) {
      sink.row(line.data());
      continue;
    }
    for (int x = 0; x < width; ++x) {
      const std::uint8_t *p = &line[static_cast<std::size_t>(x) * 4];
      for (int c = 0; c < 3; ++c) {
        const int ink = inverted ? 255 - p[c] : p[c];
        const int black = inverted ? 255 - p[3] : p[3];
        rgb[static_cast<std::size_t>(x) * 3 + c] =
            static_cast<std::uint8_t>((255 - ink) * (255 - black) / 255);
      }
    }
    sink.row(rgb.data());
  }
}

} // namespace zarn::raster
