// SPDX-License-Identifier: MIT
// Printer fonts drawn with a TrueType monospace face.
#pragma once

#include "image.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace zarn::emu {

// Character cell of a built-in printer font, in dots.
struct FontCell {
  int width;
  int height;
};

// The cells of fonts "1" to "8" (8 x 12 up to 32 x 48 dots); false for any
// other name.
bool builtin_font_cell(std::string_view name, FontCell &cell);

// Decodes UTF-8; a byte that is not part of a valid sequence stands for
// itself (Latin-1), as an 8-bit printer code page would take it.
std::u32string decode_text(std::string_view bytes);

class Typeface {
 public:
  // Throws std::runtime_error when the font file cannot be loaded.
  explicit Typeface(const std::string &path);
  ~Typeface();
  Typeface(const Typeface &) = delete;
  Typeface &operator=(const Typeface &) = delete;

  // One glyph per cell, left to right, each scaled to fit its cell and
  // clipped to it, so the image is exactly text.size() cells wide.
  Image render_cells(std::u32string_view text, FontCell cell);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace zarn::emu
