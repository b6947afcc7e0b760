// SPDX-License-Identifier: MIT
// GIF through giflib: the first image, row by row (an interlaced one is
// gathered whole first, its rows come in four passes). Transparent pixels
// show the paper.
#include "decode.hpp"

#include "budget.hpp"

#include "common/handle.hpp"

#include <gif_lib.h>

#include <cstring>
#include <string>
#include <vector>

namespace zarn::raster {

namespace {

struct Source {
  std::span<const std::uint8_t> data;
  std::size_t pos = 0;
};

int on_read(GifFileType *gif, GifByteType *out, int n)
{
  auto *s = static_cast<Source *>(gif->UserData);
  const std::size_t count =
      std::min<std::size_t>(static_cast<std::size_t>(n), s->data.size() - s->pos);
  std::memcpy(out, s->data.data() + s->pos, count);
  s->pos += count;
  return static_cast<int>(count);
}

void close_gif(GifFileType *gif) { DGifCloseFile(gif, nullptr); }

using GifPtr = zarn::Owned<GifFileType, close_gif>;

[[noreturn]] void damaged(int error)
{
  const char *why = error == D_GIF_ERR_READ_FAILED ? "the data ends early (truncated file)"
                                                   : GifErrorString(error);
  fail(ZARN_RASTER_ERR_CORRUPT, std::string("damaged GIF: ") + (why ? why : "unreadable"));
}

GifPtr open_gif(Source &source)
{
  int error = 0;
  GifPtr gif(DGifOpen(&source, on_read, &error));
  if (!gif)
    damaged(error);
  return gif;
}

// Reads records up to the first image's descriptor; gives the transparent
// colour index from a graphic control extension before it, or -1.
int seek_first_image(GifFileType *gif)
{
  int transparent = -1;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR)
      damaged(gif->Error);
    if (type == IMAGE_DESC_RECORD_TYPE) {
      if (DGifGetImageDesc(gif) == GIF_ERROR)
        damaged(gif->Error);
      return transparent;
    }
    if (type != EXTENSION_RECORD_TYPE)
      fail(ZARN_RASTER_ERR_CORRUPT, "damaged GIF: no image in the file");
    int code = 0;
    GifByteType *ext = nullptr;
    if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR)
      damaged(gif->Error);
    if (code == GRAPHICS_EXT_FUNC_CODE && ext != nullptr && ext[0] >= 4 && (ext[1] & 1))
      transparent = ext[4];
    while (ext != nullptr)
      if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR)
        damaged(gif->Error);
  }
}

} // namespace

PictureInfo gif_header(std::span<const std::uint8_t> data)
{
  Source source{data};
  GifPtr gif = open_gif(source);
  seek_first_image(gif.get());
  const GifImageDesc &d = gif->Image;
  if (d.Width <= 0 || d.Height <= 0)
    fail(ZARN_RASTER_ERR_CORRUPT, "damaged GIF: an image of zero size");
  return {Format::gif, d.Width, d.Height};
}

void gif_decode(std::span<const std::uint8_t> data, RowSink &sink)
{
  Source source{data};
  GifPtr gif = open_gif(source);
  const int transparent = seek_first_image(gif.get());
  const GifImageDesc &d = gif->Image;
  const ColorMapObject *map = d.ColorMap ? d.ColorMap : gif->SColorMap;
  if (map == nullptr)
    fail(ZARN_RASTER_ERR_CORRUPT, "damaged GIF: no colour table");
  const int width = d.Width, height = d.Height;
  // Index to RGBA; indexes past a short colour table are black.
  std::uint8_t rgba[256][4] = {};
  for (int i = 0; i < 256; ++i) {
    rgba[i][3] = 255;
    if (i < map->ColorCount) {
      rgba[i][0] = map->Colors[i].Red;
      rgba[i][1] = map->Colors[i].Green;
      rgba[i][2] = map->Colors[i].Blue;
    }
  }
  if (transparent >= 0)
    rgba[transparent][3] = 0;
  budget_charge(static_cast<std::size_t>(width) *
                static_cast<std::size_t>(d.Interlace ? height : 1));
  std::vector<GifPixelType> indexes(static_cast<std::size_t>(width) *
                                    static_cast<std::size_t>(d.Interlace ? height : 1));
  std::vector<std::uint8_t> line(static_cast<std::size_t>(width) * 4);
  const auto emit = [&](const GifPixelType *row) {
    for (int x = 0; x < width; ++x)
      std::memcpy(&line[static_cast<std::size_t>(x) * 4], rgba[row[x]], 4);
    sink.row(line.data());
  };
  sink.begin(width, height, Pixels::rgba);
  if (!d.Interlace) {
    for (int y = 0; y < height; ++y) {
      if (DGifGetLine(gif.get(), indexes.data(), width) == GIF_ERROR)
        damaged(gif->Error);
      emit(indexes.data());
    }
    return;
  }
  static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass)
    for (int y = kStart[pass]; y < height; y += kStep[pass])
      if (DGifGetLine(gif.get(), &indexes[static_cast<std::size_t>(y) * width], width) == GIF_ERROR)
        damaged(gif->Error);
  for (int y = 0; y < height; ++y)
    emit(&indexes[static_cast<std::size_t>(y) * width]);
}

} // namespace zarn::raster
