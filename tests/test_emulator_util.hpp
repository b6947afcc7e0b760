// SPDX-License-Identifier: MIT
// Helpers for the printer emulator's tests: a printer that records what it
// prints and logs, and zbar to read barcodes back from images.
#pragma once

#include "common/handle.hpp"
#include "common/protocol.hpp"
#include "printer.hpp"
#include "temp_dir.hpp"

#include <zbar.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zarn::emu::test {

// A request as the library sends it: sendcommand ends each with CR LF.
inline std::string sent(const char *request) { return std::string(request) + "\r\n"; }
inline const std::string kStatusQuery = sent(protocol::kStatusRequest);
inline const std::string kNameQuery = sent(protocol::kNameRequest);
inline const std::string kSerialQuery = sent(protocol::kSerialRequest);
inline const std::string kEndLineQuery = sent(protocol::kEndLineRequest);

struct RecordingPrinter {
  Printer printer;
  std::vector<Image> images;
  std::vector<std::string> log;

  explicit RecordingPrinter(PrinterConfig config = {}) : printer(with_font(std::move(config)))
  {
    printer.set_log([this](const std::string &s) { log.push_back(s); });
    printer.set_printed([this](const PrintedLabel &l) { images.push_back(*l.image); });
  }
  static PrinterConfig with_font(PrinterConfig c)
  {
    if (c.font_path.empty())
      c.font_path = ZARN_EMULATOR_FONT;
    return c;
  }
  void send(std::string_view bytes)
  {
    printer.feed(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
  }
  std::string replies() { return printer.take_replies(); }
  bool logged(std::string_view part) const
  {
    for (const auto &l : log)
      if (l.find(part) != std::string::npos)
        return true;
    return false;
  }
};

struct Decoded {
  std::string type;
  std::string data;
};

// Every symbol zbar finds in the image (dots black on white).
inline std::vector<Decoded> decode_barcodes(const Image &img)
{
  using namespace ::zbar; // zbar.h puts its C interface there for C++
  std::vector<std::uint8_t> grey(img.px.size());
  for (std::size_t i = 0; i < grey.size(); ++i)
    grey[i] = img.px[i] ? 0 : 255;
  const Owned<zbar_image_scanner_t, zbar_image_scanner_destroy> scanner(
      zbar_image_scanner_create());
  zbar_image_scanner_set_config(scanner.get(), ZBAR_NONE, ZBAR_CFG_ENABLE, 1);
  // UPC-A is otherwise reported as an EAN-13 with a leading zero.
  zbar_image_scanner_set_config(scanner.get(), ZBAR_UPCA, ZBAR_CFG_ENABLE, 1);
  const Owned<zbar_image_t, zbar_image_destroy> image(zbar_image_create());
  zbar_image_set_format(image.get(), zbar_fourcc('Y', '8', '0', '0'));
  zbar_image_set_size(image.get(), static_cast<unsigned>(img.width),
                      static_cast<unsigned>(img.height));
  zbar_image_set_data(image.get(), grey.data(), grey.size(), nullptr);
  zbar_scan_image(scanner.get(), image.get());
  std::vector<Decoded> out;
  for (const zbar_symbol_t *s = zbar_image_first_symbol(image.get()); s; s = zbar_symbol_next(s))
    out.push_back({zbar_get_symbol_name(zbar_symbol_get_type(s)), zbar_symbol_get_data(s)});
  return out;
}

// The smallest rectangle holding every dot: {x0, y0, x1, y1} with x1, y1
// one past the last dot; all -1 for an empty image.
struct Box {
  int x0 = -1, y0 = -1, x1 = -1, y1 = -1;
  bool empty() const { return x0 < 0; }
};
inline Box ink_box(const Image &img)
{
  Box b;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x)
      if (img.at(x, y)) {
        if (b.empty()) {
          b = {x, y, x + 1, y + 1};
        } else {
          b.x0 = std::min(b.x0, x);
          b.y0 = std::min(b.y0, y);
          b.x1 = std::max(b.x1, x + 1);
          b.y1 = std::max(b.y1, y + 1);
        }
      }
  return b;
}

// A fresh folder under the system's temporary folder, removed afterwards.
using zarn::test::TempDir;

} // namespace zarn::emu::test
