// SPDX-License-Identifier: MIT
#include "label.hpp"

#include "fields.hpp"
#include "saturate.hpp"

#include <algorithm>

namespace zarn::emu {

std::optional<Image> text_image(Typeface &face, const TextArgs &a, std::string_view content,
                                const std::function<void(const std::string &)> &problem)
{
  FontCell cell{};
  if (!builtin_font_cell(a.font, cell)) {
    problem("font \"" + shown(a.font) + "\" is not built in, drawn with font \"3\"");
    builtin_font_cell("3", cell);
  }
  const std::u32string text = decode_text(content);
  if (text.empty())
    return std::nullopt;
  if (text.size() * static_cast<std::size_t>(cell.width * a.xm) > 20000) {
    problem("text too long for any label, not drawn");
    return std::nullopt;
  }
  return scale(face.render_cells(text, cell), a.xm, a.ym);
}

std::size_t Label::cost(const Item &item)
{
  std::size_t bytes = sizeof(Item);
  if (const auto *p = std::get_if<Placed>(&item))
    bytes += p->image.px.size();
  else if (const auto *b = std::get_if<Bitmap>(&item))
    bytes += b->bits.size();
  else if (const auto *t = std::get_if<VarText>(&item))
    bytes += t->args.font.size() + t->var.size();
  else if (const auto *v = std::get_if<VarBarcode>(&item))
    bytes += v->request.type.size() + v->request.content.size() + v->var.size();
  return bytes;
}

bool Label::add(Item item)
{
  const std::size_t bytes = cost(item);
  if (items_.size() >= kMaxItems || bytes_ + bytes > max_bytes_)
    return false;
  bytes_ += bytes;
  items_.push_back(std::move(item));
  return true;
}

void Label::clear()
{
  items_.clear();
  bytes_ = 0;
}

namespace {

// Bit 7 of a byte is the leftmost dot of the eight; a clear bit is a dot.
// Only the part that lies on the label is visited.
void draw_bitmap(Image &canvas, const Label::Bitmap &b)
{
  const long long x = clamp_position(b.x), y = clamp_position(b.y);
  const long long wdots = static_cast<long long>(b.width_bytes) * 8;
  const long long j0 = std::max<long long>(0, -y);
  const long long j1 = std::min<long long>(static_cast<long long>(b.height), canvas.height - y);
  const long long i0 = std::max<long long>(0, -x),
                  i1 = std::min<long long>(wdots, canvas.width - x);
  for (long long j = j0; j < j1; ++j) {
    const std::uint8_t *row = b.bits.data() + static_cast<std::size_t>(j) * b.width_bytes;
    for (long long i = i0; i < i1; ++i) {
      const std::uint8_t dot = (row[i / 8] & (0x80 >> (i % 8))) ? 0 : 1;
      std::uint8_t &d = canvas.at(static_cast<int>(x + i), static_cast<int>(y + j));
      switch (b.paint) {
      case Paint::overwrite: d = dot; break;
      case Paint::ink: d |= dot; break;
      case Paint::invert: d ^= dot; break;
      case Paint::erase:
        if (dot)
          d = 0;
        break;
      }
    }
  }
}

} // namespace

Image Label::render(int width, int height, const Resources &r) const
{
  Image canvas(width, height);
  for (const Item &item : items_) {
    if (const auto *p = std::get_if<Placed>(&item)) {
      draw(canvas, p->image, p->x, p->y, p->rotation, p->paint, p->anchor);
    } else if (const auto *bm = std::get_if<Bitmap>(&item)) {
      draw_bitmap(canvas, *bm);
    } else if (const auto *t = std::get_if<VarText>(&item)) {
      const auto problem = [&](const std::string &what) { r.problem(t->line_no, what); };
      if (auto img = text_image(r.face, t->args, r.lookup(t->var, t->line_no), problem))
        draw(canvas, *img, t->args.x, t->args.y, t->args.rotation, Paint::ink,
             anchor_for(t->args.align, img->width));
    } else if (const auto *b = std::get_if<VarBarcode>(&item)) {
      BarcodeRequest request = b->request;
      request.content = r.lookup(b->var, b->line_no);
      std::string error;
      if (auto img = render_barcode(request, r.face, error))
        draw(canvas, *img, b->x, b->y, b->rotation, Paint::ink, anchor_for(b->align, img->width));
      else
        r.problem(b->line_no, error + ", not drawn");
    } else if (const auto *rect = std::get_if<Rect>(&item)) {
      fill(canvas, rect->x0, rect->y0, rect->x1, rect->y1, rect->paint);
    }
  }
  return canvas;
}

} // namespace zarn::emu
