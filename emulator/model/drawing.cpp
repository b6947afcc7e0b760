// SPDX-License-Identifier: MIT
// The commands that place objects on the label: texts, barcodes, bars and
// boxes, and bitmaps. Positions from the wire are moved by REFERENCE with
// saturating sums, so no value a host sends can wrap around onto the label.
#include "printer.hpp"

#include "fields.hpp"
#include "saturate.hpp"

#include <cctype>

namespace zarn::emu {
namespace {

bool valid_rotation(int r) { return r == 0 || r == 90 || r == 180 || r == 270; }

// The optional alignment field before the content: a number, not a quote
// or a variable name.
bool take_alignment(std::string_view &args, int &align)
{
  args = trim(args);
  if (args.empty() || !std::isdigit(static_cast<unsigned char>(args.front())))
    return true;
  std::vector<std::string_view> f;
  if (!take_fields(args, 1, f) || !parse_integer(f[0], align, 0, 3))
    return false;
  args = trim(args);
  return true;
}

} // namespace

bool Printer::cmd_text(std::string_view, std::string_view args, std::uint64_t line_no)
{
  std::vector<std::string_view> f;
  if (!take_fields(args, 6, f))
    return false;
  TextArgs a;
  if (!parse_integer(f[0], a.x) || !parse_integer(f[1], a.y) || !unquote(f[2], a.font) ||
      !parse_integer(f[3], a.rotation, 0, 270) || !valid_rotation(a.rotation) ||
      !parse_integer(f[4], a.xm, 1, 10) || !parse_integer(f[5], a.ym, 1, 10) ||
      !take_alignment(args, a.align))
    return false;
  a.x = sat_add(a.x, page_.ref_x);
  a.y = sat_add(a.y, page_.ref_y);
  std::string content;
  if (unquote(args, content)) {
    const auto logged = [&](const std::string &what) { problem(line_no, what); };
    if (auto img = text_image(face_, a, content, logged)) {
      const int anchor = anchor_for(a.align, img->width);
      add(Label::Placed{std::move(*img), a.x, a.y, a.rotation, Paint::ink, anchor}, line_no);
    }
    return true;
  }
  if (!is_variable(args))
    return false;
  add(Label::VarText{a, std::string(args), line_no}, line_no);
  return true;
}

bool Printer::cmd_barcode(std::string_view, std::string_view args, std::uint64_t line_no)
{
  std::vector<std::string_view> f;
  if (!take_fields(args, 8, f))
    return false;
  long long x = 0, y = 0;
  int rotation = 0, align = 0;
  BarcodeRequest r;
  if (!parse_integer(f[0], x) || !parse_integer(f[1], y) || !unquote(f[2], r.type) ||
      !parse_integer(f[3], r.height, 1, 10000) || !parse_integer(f[4], r.readable, 0, 3) ||
      !parse_integer(f[5], rotation, 0, 270) || !valid_rotation(rotation) ||
      !parse_integer(f[6], r.narrow, 1, 100) || !parse_integer(f[7], r.wide, 1, 100) ||
      !take_alignment(args, align))
    return false;
  x = sat_add(x, page_.ref_x);
  y = sat_add(y, page_.ref_y);
  r.type = upper(r.type);
  if (unquote(args, r.content)) {
    std::string error;
    auto img = render_barcode(r, face_, error);
    if (!img) {
      problem(line_no, error + ", not drawn");
      return true;
    }
    const int anchor = anchor_for(align, img->width);
    add(Label::Placed{std::move(*img), x, y, rotation, Paint::ink, anchor}, line_no);
    return true;
  }
  if (!is_variable(args))
    return false;
  add(Label::VarBarcode{r, x, y, rotation, align, std::string(args), line_no}, line_no);
  return true;
}

bool Printer::cmd_rect(std::string_view word, std::string_view args, std::uint64_t line_no)
{
  const auto f = all_fields(args);
  long long v[4];
  if (f.size() != 4)
    return false;
  for (std::size_t i = 0; i < 4; ++i)
    if (!parse_integer(f[i], v[i]))
      return false;
  if (v[2] < 0 || v[3] < 0)
    return false;
  const Paint p = word == "BAR" ? Paint::ink : word == "ERASE" ? Paint::erase : Paint::invert;
  const long long x = sat_add(v[0], page_.ref_x), y = sat_add(v[1], page_.ref_y);
  add(Label::Rect{x, y, sat_add(x, v[2]), sat_add(y, v[3]), p}, line_no);
  return true;
}

bool Printer::cmd_box(std::string_view, std::string_view args, std::uint64_t line_no)
{
  const auto f = all_fields(args);
  long long v[5];
  if (f.size() < 5)
    return false;
  for (std::size_t i = 0; i < 5; ++i)
    if (!parse_integer(f[i], v[i]))
      return false;
  const long long x0 = sat_add(v[0], page_.ref_x), y0 = sat_add(v[1], page_.ref_y),
                  x1 = sat_add(v[2], page_.ref_x), y1 = sat_add(v[3], page_.ref_y), t = v[4];
  if (x1 < x0 || y1 < y0 || t < 1)
    return false;
  add(Label::Rect{x0, y0, x1, sat_add(y0, t), Paint::ink}, line_no);
  add(Label::Rect{x0, sat_sub(y1, t), x1, y1, Paint::ink}, line_no);
  add(Label::Rect{x0, y0, sat_add(x0, t), y1, Paint::ink}, line_no);
  add(Label::Rect{sat_sub(x1, t), y0, x1, y1, Paint::ink}, line_no);
  return true;
}

void Printer::on_bitmap(const BitmapHeader &h, std::span<const std::uint8_t> data,
                        std::uint64_t line_no)
{
  static constexpr Paint kModes[] = {Paint::overwrite, Paint::ink, Paint::invert};
  if (h.mode >= std::size(kModes)) {
    problem(line_no, "BITMAP mode " + std::to_string(h.mode) + " unknown, bitmap dropped");
    return;
  }
  Label::Bitmap bitmap{sat_add(h.x, page_.ref_x),
                       sat_add(h.y, page_.ref_y),
                       static_cast<std::size_t>(h.width_bytes),
                       static_cast<std::size_t>(h.height),
                       std::vector<std::uint8_t>(data.begin(), data.end()),
                       kModes[h.mode]};
  if (!label_.add(std::move(bitmap)))
    problem(line_no, "label buffer full (" + std::to_string(label_.max_bytes()) +
                         " bytes), BITMAP dropped (CLS empties it)");
}

} // namespace zarn::emu
