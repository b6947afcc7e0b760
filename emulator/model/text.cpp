// SPDX-License-Identifier: MIT
#include "text.hpp"

#include "common/handle.hpp"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <stdexcept>

namespace zarn::emu {

bool builtin_font_cell(std::string_view name, FontCell &cell)
{
  // Cell sizes of the usual 203 dpi printer fonts.
  static constexpr FontCell cells[8] = {{8, 12},  {12, 20}, {16, 24}, {24, 32},
                                        {32, 48}, {14, 19}, {21, 27}, {14, 25}};
  if (name.size() != 1 || name[0] < '1' || name[0] > '8')
    return false;
  cell = cells[name[0] - '1'];
  return true;
}

std::u32string decode_text(std::string_view bytes)
{
  std::u32string out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    int extra = 0;
    char32_t cp = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      cp = b & 0x07;
    }
    bool ok = extra > 0 && i + static_cast<std::size_t>(extra) < bytes.size();
    for (int k = 1; ok && k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
      if ((c & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (c & 0x3F);
    }
    if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
               (cp >= 0xD800 && cp <= 0xDFFF)))
      ok = false;
    if (ok) {
      out.push_back(cp);
      i += static_cast<std::size_t>(extra) + 1;
    } else {
      out.push_back(b);
      ++i;
    }
  }
  return out;
}

struct Typeface::Impl {
  // Declared in this order so that the face goes before its library.
  zarn::Owned<FT_LibraryRec_, FT_Done_FreeType> lib;
  zarn::Owned<FT_FaceRec_, FT_Done_Face> face;
};

Typeface::Typeface(const std::string &path) : impl_(std::make_unique<Impl>())
{
  FT_Library lib = nullptr;
  if (FT_Init_FreeType(&lib) != 0)
    throw std::runtime_error("FreeType cannot start");
  impl_->lib.reset(lib);
  FT_Face face = nullptr;
  if (FT_New_Face(lib, path.c_str(), 0, &face) != 0)
    throw std::runtime_error("cannot load font " + path);
  impl_->face.reset(face);
  if (!FT_IS_SCALABLE(face))
    throw std::runtime_error("not a scalable font: " + path);
}

Typeface::~Typeface() = default;

Image Typeface::render_cells(std::u32string_view text, FontCell cell)
{
  Image out(static_cast<int>(text.size()) * cell.width, cell.height);
  FT_Face face = impl_->face.get();
  // The largest pixel size at which the face's line height fits the cell
  // height and its advance fits the cell width.
  const double em = face->units_per_EM;
  const double line = face->ascender - face->descender;
  const double advance = face->max_advance_width;
  const int px = std::max(1, static_cast<int>(std::min(cell.height * em / line,
                                                       cell.width * em / std::max(advance, 1.0))));
  if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(px)) != 0)
    return out;
  const int ascent = static_cast<int>(face->size->metrics.ascender >> 6);
  const int descent = static_cast<int>(-(face->size->metrics.descender >> 6));
  const int baseline = std::max(0, (cell.height - ascent - descent) / 2) + ascent;

  for (std::size_t n = 0; n < text.size(); ++n) {
    if (FT_Load_Char(face, text[n], FT_LOAD_RENDER | FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME) != 0)
      continue;
    const FT_GlyphSlot g = face->glyph;
    const FT_Bitmap &bm = g->bitmap;
    if (bm.pixel_mode != FT_PIXEL_MODE_MONO)
      continue;
    const int adv = static_cast<int>(g->advance.x >> 6);
    const int cx = static_cast<int>(n) * cell.width;
    const int left = cx + std::max(0, (cell.width - adv) / 2) + g->bitmap_left;
    const int top = baseline - g->bitmap_top;
    for (unsigned r = 0; r < bm.rows; ++r) {
      const unsigned char *row = bm.buffer + static_cast<long>(r) * bm.pitch;
      for (unsigned c = 0; c < bm.width; ++c) {
        if (!(row[c / 8] & (0x80 >> (c % 8))))
          continue;
        const int x = left + static_cast<int>(c);
        const int y = top + static_cast<int>(r);
        // Clip to the glyph's own cell: ink never strays into a neighbour.
        if (x >= cx && x < cx + cell.width && y >= 0 && y < cell.height)
          out.at(x, y) = 1;
      }
    }
  }
  return out;
}

} // namespace zarn::emu
