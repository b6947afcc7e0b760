// SPDX-License-Identifier: MIT
#include "render.hpp"

#include "budget.hpp"
#include "dither.hpp"
#include "grey.hpp"
#include "scaler.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <string>
#include <vector>

namespace zarn::raster {

namespace {

int dots(double mm, int dots_per_mm) { return static_cast<int>(std::lround(mm * dots_per_mm)); }

int round_size(double v)
{
  return static_cast<int>(std::clamp(std::lround(v), 1L, static_cast<long>(INT32_MAX / 2)));
}

// Places each decoded row, scaling first when the decoded size is not the
// printed size.
class PlacingSink : public RowSink {
 public:
  PlacingSink(Canvas &canvas, const Layout &layout) : canvas_(canvas), layout_(layout) {}

  void begin(int width, int height, Pixels format) override
  {
    width_ = width;
    height_ = height;
    format_ = format;
    grey_.resize(static_cast<std::size_t>(std::max(width, layout_.scaled_w)));
    if (width == layout_.scaled_w && height == layout_.scaled_h)
      return;
    // Rows of linear light in and out of the scalers.
    budget_charge(
        (static_cast<std::size_t>(width) * 3 + static_cast<std::size_t>(layout_.scaled_w) * 8) *
        sizeof(float));
    linear_.resize(static_cast<std::size_t>(width));
    // Black and white resized keeps its edges sharp: a dot made only of
    // pure black and white source pixels is inked when at least half its
    // area is, instead of a grey the dither would fray. Reduced to under
    // half, details finer than a dot would vanish, so they stay averaged.
    crisp_ = width < 2 * layout_.scaled_w && height < 2 * layout_.scaled_h;
    if (crisp_) {
      mixed_.resize(static_cast<std::size_t>(width));
      mixed_scaler_ = std::make_unique<Scaler>(
          width, height, layout_.scaled_w, layout_.scaled_h, [this](int, const float *mixed) {
            mixed_rows_.emplace_back(mixed, mixed + layout_.scaled_w);
          });
    }
    scaler_ = std::make_unique<Scaler>(
        width, height, layout_.scaled_w, layout_.scaled_h, [this](int y, const float *linear) {
          const float *mixed = nullptr;
          if (crisp_ && !mixed_rows_.empty())
            mixed = mixed_rows_.front().data();
          for (int x = 0; x < layout_.scaled_w; ++x) {
            const bool bilevel = mixed != nullptr && mixed[x] < 1e-6f;
            grey_[static_cast<std::size_t>(x)] =
                bilevel ? (linear[x] < 0.5f ? 0 : 255) : linear_to_srgb(linear[x]);
          }
          if (mixed != nullptr)
            mixed_rows_.pop_front();
          place_row(canvas_, layout_, y, grey_.data());
        });
  }

  void row(const std::uint8_t *pixels) override
  {
    if (rows_ >= height_)
      return;
    ++rows_;
    budget_check_time();
    if (scaler_) {
      row_to_linear(pixels, format_, width_, linear_.data());
      // Both scalers finish the same output rows on the same source row:
      // the share of grey is ready before the row it belongs to.
      if (crisp_) {
        for (int x = 0; x < width_; ++x) {
          const float v = linear_[static_cast<std::size_t>(x)];
          mixed_[static_cast<std::size_t>(x)] = v == 0.0f || v == 1.0f ? 0.0f : 1.0f;
        }
        mixed_scaler_->push(mixed_.data());
      }
      scaler_->push(linear_.data());
    } else {
      row_to_grey(pixels, format_, width_, grey_.data());
      place_row(canvas_, layout_, rows_ - 1, grey_.data());
    }
  }

  bool complete() const { return height_ > 0 && rows_ == height_; }

 private:
  Canvas &canvas_;
  const Layout &layout_;
  int width_ = 0, height_ = 0, rows_ = 0;
  Pixels format_ = Pixels::grey;
  std::vector<std::uint8_t> grey_;
  std::vector<float> linear_;
  std::unique_ptr<Scaler> scaler_;
  // Per output dot, the share of its area from pixels neither black nor white.
  bool crisp_ = false;
  std::vector<float> mixed_;
  std::unique_ptr<Scaler> mixed_scaler_;
  std::deque<std::vector<float>> mixed_rows_;
};

} // namespace

Canvas::Canvas(int w, int h)
    : width(w), height(h), grey(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 255)
{
}

void check_picture_size(long long width, long long height, const Settings &s)
{
  if (width <= 0 || height <= 0)
    fail(ZARN_RASTER_ERR_CORRUPT, "the picture has no pixels");
  const unsigned long long n =
      static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height);
  if (n > s.max_pixels)
    fail(ZARN_RASTER_ERR_TOO_LARGE, "picture of " + std::to_string(width) + " x " +
                                        std::to_string(height) + " pixels is over the limit of " +
                                        std::to_string(s.max_pixels) + " pixels");
}

Layout plan_layout(const Settings &s, double src_w, double src_h, double natural_scale)
{
  Layout l;
  const bool own_size = s.label_width_mm <= 0 || s.label_height_mm <= 0;
  int box_w = 0, box_h = 0, left = 0, top = 0;
  if (!own_size) {
    l.label_w = dots(s.label_width_mm, s.dots_per_mm);
    l.label_h = dots(s.label_height_mm, s.dots_per_mm);
    left = dots(s.margin_left_mm, s.dots_per_mm);
    top = dots(s.margin_top_mm, s.dots_per_mm);
    box_w = l.label_w - left - dots(s.margin_right_mm, s.dots_per_mm);
    box_h = l.label_h - top - dots(s.margin_bottom_mm, s.dots_per_mm);
    if (l.label_w < 1 || l.label_h < 1)
      fail(ZARN_RASTER_ERR_ARGUMENT, "the label is smaller than one dot");
    if (box_w < 1 || box_h < 1)
      fail(ZARN_RASTER_ERR_ARGUMENT, "the margins leave no room on the label");
  }
  l.rotation = s.rotate == ZARN_RASTER_ROTATE_AUTO ? 0 : static_cast<int>(s.rotate);
  if (s.rotate == ZARN_RASTER_ROTATE_AUTO && !own_size) {
    const bool picture_wide = src_w > src_h, box_wide = box_w > box_h;
    const bool picture_tall = src_h > src_w, box_tall = box_h > box_w;
    if ((picture_wide && box_tall) || (picture_tall && box_wide))
      l.rotation = 90;
  }
  const bool turned = l.rotation == 90 || l.rotation == 270;
  const double turned_w = turned ? src_h : src_w, turned_h = turned ? src_w : src_h;
  if (own_size || s.fit == ZARN_RASTER_FIT_NONE) {
    l.scale = natural_scale;
  } else {
    l.scale = std::min(box_w / turned_w, box_h / turned_h);
    if (s.fit == ZARN_RASTER_FIT_SHRINK)
      l.scale = std::min(l.scale, natural_scale);
  }
  l.scaled_w = round_size(src_w * l.scale);
  l.scaled_h = round_size(src_h * l.scale);
  const int placed_w = turned ? l.scaled_h : l.scaled_w;
  const int placed_h = turned ? l.scaled_w : l.scaled_h;
  if (own_size) {
    l.label_w = placed_w;
    l.label_h = placed_h;
    box_w = placed_w;
    box_h = placed_h;
  }
  // Centred; an odd spare dot goes to the right and bottom.
  l.x0 = left + static_cast<int>(std::floor((box_w - placed_w) / 2.0));
  l.y0 = top + static_cast<int>(std::floor((box_h - placed_h) / 2.0));
  return l;
}

Canvas make_canvas(const Settings &s, const Layout &layout)
{
  const unsigned long long n = static_cast<unsigned long long>(layout.label_w) *
                               static_cast<unsigned long long>(layout.label_h);
  if (n > s.max_pixels)
    fail(ZARN_RASTER_ERR_TOO_LARGE,
         "a label of " + std::to_string(layout.label_w) + " x " + std::to_string(layout.label_h) +
             " dots is over the limit of " + std::to_string(s.max_pixels) + " pixels");
  // The grey canvas and the packed bitmap made from it.
  budget_charge(static_cast<std::size_t>(n) + static_cast<std::size_t>(n / 8 + layout.label_h));
  return Canvas(layout.label_w, layout.label_h);
}

void place_row(Canvas &c, const Layout &l, int j, const std::uint8_t *grey)
{
  const int w = l.scaled_w, h = l.scaled_h;
  switch (l.rotation) {
  case 0:
  case 180: {
    const int y = l.rotation == 0 ? l.y0 + j : l.y0 + (h - 1 - j);
    if (y < 0 || y >= c.height)
      return;
    std::uint8_t *row = c.row(y);
    // Canvas columns x0 .. x0 + w - 1, cut to the canvas.
    const int from = std::max(0, -l.x0), to = std::min(w, c.width - l.x0);
    if (l.rotation == 0) {
      if (from < to)
        std::copy(grey + from, grey + to, row + l.x0 + from);
    } else {
      for (int i = from; i < to; ++i)
        row[l.x0 + i] = grey[w - 1 - i];
    }
    return;
  }
  case 90:
  case 270: {
    // Row j becomes a column; source column i runs down (90) or up (270).
    const int x = l.rotation == 90 ? l.x0 + (h - 1 - j) : l.x0 + j;
    if (x < 0 || x >= c.width)
      return;
    const int from = std::max(0, -l.y0), to = std::min(w, c.height - l.y0);
    for (int i = from; i < to; ++i) {
      const int src = l.rotation == 90 ? i : w - 1 - i;
      c.grey[static_cast<std::size_t>(l.y0 + i) * c.width + x] = grey[src];
    }
    return;
  }
  default: return;
  }
}

BitmapPtr pack_canvas(const Canvas &c, const Settings &s)
{
  auto bitmap = std::make_unique<zarn_raster_bitmap>();
  bitmap->width = c.width;
  bitmap->height = c.height;
  bitmap->bytes_per_row = (c.width + 7) / 8;
  bitmap->dpi = s.dpi;
  bitmap->dots_per_mm = s.dots_per_mm;
  bitmap->bytes.resize(static_cast<std::size_t>(bitmap->bytes_per_row) * c.height);
  Ditherer ditherer(c.width, s.dither, s.threshold);
  for (int y = 0; y < c.height; ++y) {
    budget_check_time();
    ditherer.row(c.grey.data() + static_cast<std::size_t>(y) * c.width,
                 bitmap->bytes.data() + static_cast<std::size_t>(y) * bitmap->bytes_per_row);
  }
  return bitmap;
}

BitmapPtr render_picture(const PictureInfo &info, std::span<const std::uint8_t> data,
                         const Settings &s)
{
  check_picture_size(info.width, info.height, s);
  const Layout layout = plan_layout(s, info.width, info.height, 1.0);
  Canvas canvas = make_canvas(s, layout);
  PlacingSink sink(canvas, layout);
  decode(info, data, layout.scaled_w, layout.scaled_h, sink);
  if (!sink.complete())
    fail(ZARN_RASTER_ERR_CORRUPT, std::string("damaged ") + format_name(info.format) +
                                      ": fewer rows than the header declares");
  return pack_canvas(canvas, s);
}

BitmapPtr render_buffer(const std::uint8_t *pixels, int width, int height, std::size_t stride,
                        Pixels format, const Settings &s)
{
  check_picture_size(width, height, s);
  const Layout layout = plan_layout(s, width, height, 1.0);
  Canvas canvas = make_canvas(s, layout);
  PlacingSink sink(canvas, layout);
  sink.begin(width, height, format);
  for (int y = 0; y < height; ++y)
    sink.row(pixels + stride * static_cast<std::size_t>(y));
  return pack_canvas(canvas, s);
}

} // namespace zarn::raster
