// SPDX-License-Identifier: MIT
// Sending through libzarn's own functions, and the line-by-line stream.
// The lines and the BITMAP header come from the wire module, so the host's
// locale can never turn a decimal point into a comma.
#include "zarn-raster.h"
#include "zarn.h"
#include "wire/wire.hpp"

#include "core.hpp"
#include "dither.hpp"
#include "grey.hpp"
#include "common/handle.hpp"

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

namespace zarn::raster {

namespace {

// Rows a sending stream gathers before one send.
constexpr std::size_t kSendChunk = 64 * 1024;

void require_connection()
{
  if (openportStatus != 1)
    fail(ZARN_RASTER_ERR_NOT_CONNECTED, "no printer connection is open (openport or openethernet)");
}

void send_line(const std::string &line)
{
  std::string copy = line;
  if (sendcommand(copy.data()) != 1)
    fail(ZARN_RASTER_ERR_SEND, "sending \"" + line + "\" failed");
}

void send_bytes(const std::uint8_t *data, std::size_t size, const char *what)
{
  while (size > 0) {
    const int n = static_cast<int>(std::min<std::size_t>(size, INT_MAX / 2));
    if (sendBinaryData(const_cast<unsigned char *>(data), n) != 1)
      fail(ZARN_RASTER_ERR_SEND, std::string("sending ") + what + " failed");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// The bitmap as one BITMAP at (x, y). BITMAP overwrites what is under it,
// so only a fresh label (after CLS) may leave out its rows of paper above
// and below the picture: they are paper there already.
void send_rows(const zarn_raster_bitmap &b, int x, int y, bool fresh_label)
{
  const auto bytes_per_row = static_cast<std::size_t>(b.bytes_per_row);
  const zarn::wire::InkedRows rows =
      fresh_label ? zarn::wire::inked_rows(b.bytes.data(), b.height, bytes_per_row)
                  : zarn::wire::InkedRows{0, b.height};
  if (rows.count == 0)
    return;
  const std::string header =
      zarn::wire::bitmap_header(x, y + rows.first, b.bytes_per_row, rows.count);
  send_bytes(reinterpret_cast<const std::uint8_t *>(header.data()), header.size(),
             "the BITMAP header");
  send_bytes(b.bytes.data() + static_cast<std::size_t>(rows.first) * bytes_per_row,
             static_cast<std::size_t>(rows.count) * bytes_per_row, "the BITMAP rows");
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
  std::vector<std::uint8_t> pending; // rows not yet sent
  int rows = 0;
  bool sending = false;
  bool send_failed = false;

  zarn_raster_stream(int w, int h, Pixels f, const Settings &s)
      : width(w), height(h), format(f), bytes_per_row((w + 7) / 8),
        ditherer(w, s.dither, s.threshold), grey(static_cast<std::size_t>(w)),
        packed(static_cast<std::size_t>(bytes_per_row))
  {
  }

  void flush()
  {
    if (!pending.empty() && !send_failed) {
      try {
        send_bytes(pending.data(), pending.size(), "the BITMAP rows");
      } catch (const Failure &) {
        send_failed = true;
      }
    }
    pending.clear();
  }
};

namespace {

void free_stream(zarn_raster_stream *stream) { delete stream; }

} // namespace

extern "C" {

zarn_raster_status zarn_raster_send(const zarn_raster_bitmap *bitmap, int copies)
{
  return run_guarded("send", [&] {
    if (bitmap == nullptr || copies < 1)
      fail(ZARN_RASTER_ERR_ARGUMENT, "a bitmap and at least one copy are needed");
    require_connection();
    send_line(zarn::wire::size_line(bitmap->width, bitmap->height, bitmap->dots_per_mm));
    send_line("CLS");
    send_rows(*bitmap, 0, 0, true);
    send_line(zarn::wire::print_line(copies));
  });
}

zarn_raster_status zarn_raster_send_bitmap(const zarn_raster_bitmap *bitmap, int x, int y)
{
  return run_guarded("send", [&] {
    if (bitmap == nullptr || x < 0 || y < 0)
      fail(ZARN_RASTER_ERR_ARGUMENT, "a bitmap and a position of 0 or more are needed");
    require_connection();
    send_rows(*bitmap, x, y, false);
  });
}

zarn_raster_status zarn_raster_stream_open(int width, int height, zarn_raster_pixel_format format,
                                           const zarn_raster_options *options, unsigned flags,
                                           zarn_raster_stream **stream)
{
  return run_guarded("stream", [&] {
    if (stream == nullptr || width < 1 || height < 1 || (flags & ~ZARN_RASTER_STREAM_SEND) != 0)
      fail(ZARN_RASTER_ERR_ARGUMENT, "a stream needs a size of at least 1 x 1 and known flags");
    const Pixels f = checked_format(format);
    const Settings s = settings_from(options);
    if (static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height) >
        s.max_pixels)
      fail(ZARN_RASTER_ERR_TOO_LARGE, "a page of " + std::to_string(width) + " x " +
                                          std::to_string(height) + " dots is over the limit");
    auto st = std::make_unique<zarn_raster_stream>(width, height, f, s);
    if (flags & ZARN_RASTER_STREAM_SEND) {
      require_connection();
      const std::string header = zarn::wire::bitmap_header(0, 0, st->bytes_per_row, height);
      send_bytes(reinterpret_cast<const std::uint8_t *>(header.data()), header.size(),
                 "the BITMAP header");
      st->sending = true;
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
    if (stream->sending) {
      stream->pending.insert(stream->pending.end(), stream->packed.begin(), stream->packed.end());
      if (stream->pending.size() >= kSendChunk)
        stream->flush();
      if (stream->send_failed)
        fail(ZARN_RASTER_ERR_SEND, "sending the BITMAP rows failed");
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
    if (stream->sending) {
      // The printer counts the block's bytes: rows never written go as paper.
      for (; stream->rows < stream->height; ++stream->rows) {
        stream->pending.insert(stream->pending.end(),
                               static_cast<std::size_t>(stream->bytes_per_row), 0xFF);
        if (stream->pending.size() >= kSendChunk)
          stream->flush();
      }
      stream->flush();
      if (stream->send_failed)
        fail(ZARN_RASTER_ERR_SEND, "sending the BITMAP rows failed");
    }
    if (written < stream->height)
      fail(ZARN_RASTER_ERR_STATE, "closed after " + std::to_string(written) + " of " +
                                      std::to_string(stream->height) + " lines" +
                                      (stream->sending ? "; the rest was sent as paper" : ""));
  });
}

} // extern "C"
