// SPDX-License-Identifier: MIT
// The label being built: the objects placed on it since CLS, the memory
// they take by their real size, and how they are drawn when it prints.
#pragma once

#include "barcode.hpp"
#include "image.hpp"
#include "text.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zarn::emu {

struct TextArgs {
  std::string font;
  long long x = 0, y = 0;
  int rotation = 0, xm = 1, ym = 1, align = 0;
};

// Alignment 2 (centre) and 3 (right) move the reference point along the
// object's baseline.
inline int anchor_for(int align, int width)
{
  return align == 2 ? width / 2 : align == 3 ? width : 0;
}

// Printer-font text, enlarged by the multipliers; nothing for an empty text
// or one too long for any label. Problems go to problem.
std::optional<Image> text_image(Typeface &face, const TextArgs &a, std::string_view content,
                                const std::function<void(const std::string &)> &problem);

class Label {
 public:
  struct Placed {
    Image image;
    long long x, y;
    int rotation;
    Paint paint;
    int anchor;
  };
  // Text and barcodes whose content is a variable are drawn at print time.
  struct VarText {
    TextArgs args;
    std::string var;
    std::uint64_t line_no;
  };
  struct VarBarcode {
    BarcodeRequest request;
    long long x, y;
    int rotation, align;
    std::string var;
    std::uint64_t line_no;
  };
  struct Rect {
    long long x0, y0, x1, y1; // corners, x1 and y1 one past the area
    Paint paint;
  };
  // A BITMAP is kept as it came, one bit a dot: blocks can be large and much
  // of one may lie off the label.
  struct Bitmap {
    long long x, y;
    std::size_t width_bytes, height;
    std::vector<std::uint8_t> bits;
    Paint paint;
  };
  using Item = std::variant<Placed, Bitmap, VarText, VarBarcode, Rect>;

  // What drawing needs from the printer: its fonts, the values of variables
  // and where problems go (with the line of the object).
  struct Resources {
    Typeface &face;
    std::function<std::string(std::string_view var, std::uint64_t line_no)> lookup;
    std::function<void(std::uint64_t line_no, const std::string &what)> problem;
  };

  explicit Label(std::size_t max_bytes) : max_bytes_(max_bytes) {}

  // Adds an object; false when the label's memory cannot take it.
  bool add(Item item);
  void clear();
  std::size_t max_bytes() const { return max_bytes_; }

  // The objects drawn in order on a blank width x height canvas.
  Image render(int width, int height, const Resources &resources) const;

  // What an object really holds, texts and pixels included.
  static std::size_t cost(const Item &item);

 private:
  static constexpr std::size_t kMaxItems = 100000;

  std::vector<Item> items_;
  std::size_t bytes_ = 0;
  std::size_t max_bytes_;
};

} // namespace zarn::emu
