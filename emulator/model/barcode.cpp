// SPDX-License-Identifier: MIT
#include "barcode.hpp"

#include "common/handle.hpp"

#include <zint.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

namespace zarn::emu {
namespace {

// Two-width codes have narrow and wide elements only; the rest are built
// from one to four modules of the narrow width.
enum class Widths { two, modules };

struct TypeInfo {
  const char *name;
  int symbology;       // for the full-length content, check digit included
  int short_symbology; // for content without the check digit, or 0
  unsigned short_length;
  unsigned full_length; // 0: any length
  Widths widths;
  int option_2;
};

constexpr TypeInfo kTypes[] = {
    {"128", BARCODE_CODE128, 0, 0, 0, Widths::modules, 0},
    {"39", BARCODE_EXCODE39, 0, 0, 0, Widths::two, 0},  // full ASCII
    {"39S", BARCODE_CODE39, 0, 0, 0, Widths::two, 0},   // standard set
    {"39C", BARCODE_EXCODE39, 0, 0, 0, Widths::two, 1}, // with check digit
    {"93", BARCODE_CODE93, 0, 0, 0, Widths::modules, 0},
    {"EAN13", BARCODE_EANX_CHK, BARCODE_EANX, 12, 13, Widths::modules, 0},
    {"EAN8", BARCODE_EANX_CHK, BARCODE_EANX, 7, 8, Widths::modules, 0},
    {"UPCA", BARCODE_UPCA_CHK, BARCODE_UPCA, 11, 12, Widths::modules, 0},
    {"UPCE", BARCODE_UPCE_CHK, BARCODE_UPCE, 7, 8, Widths::modules, 0},
    {"25", BARCODE_C25INTER, 0, 0, 0, Widths::two, 0}, // interleaved 2 of 5
    {"ITF", BARCODE_C25INTER, 0, 0, 0, Widths::two, 0},
    {"25C", BARCODE_C25INTER, 0, 0, 0, Widths::two, 1},
    {"ITF14", BARCODE_ITF14, 0, 0, 0, Widths::two, 0},
    {"CODA", BARCODE_CODABAR, 0, 0, 0, Widths::two, 0},
    {"CODABAR", BARCODE_CODABAR, 0, 0, 0, Widths::two, 0},
    {"11", BARCODE_CODE11, 0, 0, 0, Widths::two, 0},
    {"MSI", BARCODE_MSI_PLESSEY, 0, 0, 0, Widths::two, 0},
    {"LOGMARS", BARCODE_LOGMARS, 0, 0, 0, Widths::two, 0},
};

const TypeInfo *find_type(std::string_view name)
{
  for (const TypeInfo &t : kTypes)
    if (name == t.name)
      return &t;
  return nullptr;
}

bool all_digits(std::string_view s)
{
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

bool is_codabar_guard(char c)
{
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return c >= 'A' && c <= 'D';
}

} // namespace

const std::vector<std::string> &barcode_types()
{
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (const TypeInfo &t : kTypes)
      v.emplace_back(t.name);
    return v;
  }();
  return names;
}

std::optional<Image> render_barcode(const BarcodeRequest &r, Typeface &face, std::string &error)
{
  const TypeInfo *type = find_type(r.type);
  if (!type) {
    error = "barcode type \"" + r.type + "\" not supported";
    return std::nullopt;
  }
  if (r.height < 1 || r.height > 10000 || r.narrow < 1 || r.narrow > 100 || r.wide < 1 ||
      r.wide > 100) {
    error = "barcode height or element widths out of range";
    return std::nullopt;
  }
  std::string data = r.content;
  int symbology = type->symbology;
  if (type->full_length != 0) {
    if (!all_digits(data) ||
        (data.size() != type->full_length && data.size() != type->short_length)) {
      error = r.type + " takes " + std::to_string(type->short_length) + " or " +
              std::to_string(type->full_length) + " digits";
      return std::nullopt;
    }
    if (data.size() == type->short_length)
      symbology = type->short_symbology;
  }
  // Codabar needs start and stop characters; add A ... A when they are missing.
  if (symbology == BARCODE_CODABAR &&
      !(data.size() >= 2 && is_codabar_guard(data.front()) && is_codabar_guard(data.back())))
    data = "A" + data + "A";
  if (data.empty()) {
    error = "empty barcode content";
    return std::nullopt;
  }

  zarn::Owned<zint_symbol, ZBarcode_Delete> sym(ZBarcode_Create());
  if (!sym) {
    error = "out of memory";
    return std::nullopt;
  }
  sym->symbology = symbology;
  sym->option_2 = type->option_2;
  sym->input_mode = DATA_MODE;
  const int rc = ZBarcode_Encode(sym.get(), reinterpret_cast<const unsigned char *>(data.data()),
                                 static_cast<int>(data.size()));
  if (rc >= ZINT_ERROR) {
    error = r.type + ": " + sym->errtxt;
    return std::nullopt;
  }

  // Element runs of the first row: each run of equal modules is one bar or
  // one space.
  std::vector<int> widths;
  int run = 0;
  bool dark = true;
  for (int c = 0; c < sym->width; ++c) {
    const bool m = (sym->encoded_data[0][c >> 3] >> (c & 7)) & 1;
    if (c == 0)
      dark = m;
    if (m == dark) {
      ++run;
    } else {
      widths.push_back(run);
      run = 1;
      dark = m;
    }
  }
  widths.push_back(run);
  long long total = 0;
  for (int &w : widths) {
    w = type->widths == Widths::two ? (w > 1 ? r.wide : r.narrow) : w * r.narrow;
    total += w;
  }
  const bool starts_dark = (sym->encoded_data[0][0] & 1) != 0;
  if (total > 20000) {
    error = "barcode too wide";
    return std::nullopt;
  }

  FontCell cell{8, 12};
  builtin_font_cell(r.narrow >= 3 ? "3" : r.narrow == 2 ? "2" : "1", cell);
  const std::u32string text = decode_text(reinterpret_cast<const char *>(sym->text));
  const bool readable = r.readable >= 1 && r.readable <= 3 && !text.empty();
  const int gap = readable ? std::max(2, cell.height / 4) : 0;
  Image out(static_cast<int>(total), r.height + (readable ? gap + cell.height : 0));
  int x = 0;
  bool bar = starts_dark;
  for (int w : widths) {
    if (bar)
      for (int y = 0; y < r.height; ++y)
        for (int i = 0; i < w; ++i)
          out.at(x + i, y) = 1;
    x += w;
    bar = !bar;
  }
  if (readable) {
    Image line = face.render_cells(text, cell);
    int left = 0;
    if (r.readable == 2)
      left = (out.width - line.width) / 2;
    else if (r.readable == 3)
      left = out.width - line.width;
    draw(out, line, left, r.height + gap, 0, Paint::ink);
  }
  return out;
}

} // namespace zarn::emu
