// SPDX-License-Identifier: MIT
// A label as the printer's bytes, handed to the host's sink: this library
// never sends. The lines and the BITMAP header come from the wire module,
// so the host's locale can never turn a decimal point into a comma.
#include "zarn-raster.h"
#include "wire/wire.hpp"

#include "core.hpp"
#include "dither.hpp"
#include "grey.hpp"
#include "common/handle.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace zarn::raster {

namespace {

// Rows a stream gathers before one call of its sink.
constexpr std::size_t kSinkChunk = 64 * 1024;

class Output {
 public:
  Output(zarn_raster_sink sink, void *context) : sink_(sink), context_(context) {}

  void bytes(const void *data, std::size_t size)
  {
    if (size > 0 && sink_(static_cast<const unsigned char *>(data), size, context_) != 0)
      fail(ZARN_RASTER_ERR_SEND, "the host stopped the output (its sink failed)");
  }
  void line(const std::string &text)
  {
    const std::string framed = text + "\r\n";
    bytes(framed.data(), framed.size());
  }

 private:
  zarn_raster_sink sink_;
  void *context_;
};

// The bitmap as one BITMAP at (x, y). BITMAP overwrites what is under it,
// so only a blank label (after CLS) may leave out its rows of paper above
// and below the picture: they are paper there already.
void bitmap_block(Output &out, const zarn_raster_bitmap &b, int x, int y, bool blank_label)
{
  const auto bytes_per_row = static_cast<std::size_t>(b.bytes_per_row);
  const zarn::wire::InkedRows rows =
      blank_label ? zarn::wire::inked_rows(b.bytes.data(), b.height, bytes_per_row)
                  : zarn::wire::InkedRows{0, b.height};
  if (rows.count == 0)
    return;
  const std::string header =
      zarn::wire::bitmap_header(x, y + rows.first, b.bytes_per_row, rows.count);
  out.bytes(header.data(), header.size());
  out.bytes(b.bytes.data() + static_cast<std::size_t>(rows.first) * bytes_per_row,
            static_cast<std::size_t>(rows.count) * bytes_per_row);
}

} // namespace

} // namespace zarn::raster

using namespace zarn::raster;

struct zarn_raster_stream {
  int width = 0;
  int height = 0;
  Pixels format = Pixels::grey;
  int bytes_per_row = 0;
  Ditherer ditherer;
  std::vector<std::uint8_t> grey;
  std::vector<std::uint8_t> packed;
  std::vector<std::uint8_t> pending; // rows not yet given to the sink
  int rows = 0;
  zarn_raster_sink sink = nullptr;
  void *context = nullptr;
  bool sink_failed = false;

  zarn_raster_stream(int w, int h, Pixels f, const Settings &s)
      : width(w), height(h), format(f), bytes_per_row((w + 7) / 8),
        ditherer(w, s.dither, s.threshold), grey(static_cast<std::size_t>(w)),
        packed(static_cast<std::size_t>(bytes_per_row))
  {
  }

  // After a failed sink the rest is dropped: the host has given up on it.
  void flush()
  {
    if (!pending.empty() && !sink_failed) {
      try {
        Output(sink, context).bytes(pending.data(), pending.size());
      } catch (const Failure &) {
        sink_failed = true;
      }
    }
    pending.clear();
  }
};

namespace {

void free_stream(zarn_raster_stream *stream) { delete stream; }

} // namespace

extern "C" {

zarn_raster_status zarn_raster_encode(const zarn_raster_bitmap *bitmap, int copies,
                                      zarn_raster_sink sink, void *context)
{
  return run_guarded("encode", [&] {
    if (bitmap == nullptr || copies < 1 || sink == nullptr)
      fail(ZARN_RASTER_ERR_ARGUMENT, "a bitmap, at least one copy and a sink are needed");
    Output out(sink, context);
    out.line(zarn::wire::size_line(bitmap->width, bitmap->height, bitmap->dots_per_mm));
    out.line("CLS");
    bitmap_block(out, *bitmap, 0, 0, true);
    out.line(zarn::wire::print_line(copies));
  });
}

zarn_raster_status zarn_raster_encode_bitmap(const zarn_raster_bitmap *bitmap, int x, int y,
                                             unsigned flags, zarn_raster_sink sink, void *context)
{
  return run_guarded("encode", [&] {
    if (bitmap == nullptr || x < 0 || y < 0 || sink == nullptr ||
        (flags & ~ZARN_RASTER_ENCODE_ON_BLANK) != 0)
      fail(ZARN_RASTER_ERR_ARGUMENT,
           "a bitmap, a position of 0 or more, a sink and known flags are needed");
    Output out(sink, context);
    bitmap_block(out, *bitmap, x, y, (flags & ZARN_RASTER_ENCODE_ON_BLANK) != 0);
  });
}

zarn_raster_status zarn_raster_stream_open(int width, int height, zarn_raster_pixel_format format,
                                           const zarn_raster_options *options,
                                           zarn_raster_sink sink, void *context,
                                           zarn_raster_stream **stream)
{
  return run_guarded("stream", [&] {
    if (stream == nullptr || width < 1 || height < 1)
      fail(ZARN_RASTER_ERR_ARGUMENT, "a stream needs a size of at least 1 x 1");
    const Pixels f = checked_format(format);
    const Settings s = settings_from(options);
    if (static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height) >
        s.max_pixels)
      fail(ZARN_RASTER_ERR_TOO_LARGE, "a page of " + std::to_string(width) + " x " +
                                          std::to_string(height) + " dots is over the limit");
    auto st = std::make_unique<zarn_raster_stream>(width, height, f, s);
    if (sink != nullptr) {
      st->sink = sink;
      st->context = context;
      const std::string header = zarn::wire::bitmap_header(0, 0, st->bytes_per_row, height);
      Output(sink, context).bytes(header.data(), header.size());
    }
    *stream = st.release();
  });
}

int zarn_raster_stream_bytes_per_row(const zarn_raster_stream *stream)
{
  return stream ? stream->bytes_per_row : 0;
}

zarn_raster_status zarn_raster_stream_write(zarn_raster_stream *stream, const void *line,
                                            unsigned char *packed)
{
  return run_guarded("stream", [&] {
    if (stream == nullptr || line == nullptr)
      fail(ZARN_RASTER_ERR_ARGUMENT, "stream and line must not be NULL");
    if (stream->rows >= stream->height)
      fail(ZARN_RASTER_ERR_STATE,
           "the page already has all its " + std::to_string(stream->height) + " lines");
    row_to_grey(static_cast<const std::uint8_t *>(line), stream->format, stream->width,
                stream->grey.data());
    stream->ditherer.row(stream->grey.data(), stream->packed.data());
    ++stream->rows;
    if (packed != nullptr)
      std::copy(stream->packed.begin(), stream->packed.end(), packed);
    if (stream->sink != nullptr) {
      stream->pending.insert(stream->pending.end(), stream->packed.begin(), stream->packed.end());
      if (stream->pending.size() >= kSinkChunk)
        stream->flush();
      if (stream->sink_failed)
        fail(ZARN_RASTER_ERR_SEND, "the host stopped the output (its sink failed)");
    }
  });
}

zarn_raster_status zarn_raster_stream_close(zarn_raster_stream *stream)
{
  const zarn::Owned<zarn_raster_stream, free_stream> owned(stream);
  return run_guarded("stream", [&] {
    if (stream == nullptr)
      return;
    const int written = stream->rows;
    if (stream->sink != nullptr) {
      // The printer counts the block's bytes: rows never written go as paper.
      for (; stream->rows < stream->height && !stream->sink_failed; ++stream->rows) {
        stream->pending.insert(stream->pending.end(),
                               static_cast<std::size_t>(stream->bytes_per_row), 0xFF);
        if (stream->pending.size() >= kSinkChunk)
          stream->flush();
      }
      stream->flush();
      if (stream->sink_failed)
        fail(ZARN_RASTER_ERR_SEND, "the host stopped the output (its sink failed)");
    }
    if (written < stream->height)
      fail(ZARN_RASTER_ERR_STATE, "closed after " + std::to_string(written) + " of " +
                                      std::to_string(stream->height) + " lines" +
                                      (stream->sink ? "; the rest went out as paper" : ""));
  });
}

} // extern "C"
