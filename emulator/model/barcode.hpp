// SPDX-License-Identifier: MIT
// Linear barcodes drawn dot by dot from libzint's module patterns.
#pragma once

#include "image.hpp"
#include "text.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::emu {

struct BarcodeRequest {
  std::string type; // "128", "39", "EAN13", ...
  std::string content;
  int height = 0;   // bar height in dots
  int readable = 0; // 0 none, 1 text left, 2 centred, 3 right
  int narrow = 1;   // narrow element (module) width in dots
  int wide = 2;     // wide element width in dots (two-width codes)
};

// The type names understood, in the order the README lists them.
const std::vector<std::string> &barcode_types();

// Renders the barcode unrotated: bars from the top, the human-readable line
// below them. Returns nothing and sets error when the type is unknown or
// the content cannot be encoded in it.
std::optional<Image> render_barcode(const BarcodeRequest &request, Typeface &face,
                                    std::string &error);

} // namespace zarn::emu
