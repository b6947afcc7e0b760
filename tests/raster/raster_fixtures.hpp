// SPDX-License-Identifier: MIT
// What the raster tests make and look at: small pictures in every format
// (written with each format's own library), a Code 128 PDF made with
// cairo, barcode pixels from zint, bitmaps unpacked and read back with
// zbar, and the emulator program as a child process.
#pragma once

#include "child_process.hpp"
#include "zarn-raster.h"
#include "common/handle.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zarn::raster::test {

// 8-bit grey pixels, 0 black .. 255 white.
struct Grey {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> px;
  Grey(int w, int h, std::uint8_t fill = 255)
      : width(w), height(h), px(static_cast<std::size_t>(w) * h, fill)
  {
  }
  std::uint8_t &at(int x, int y) { return px[static_cast<std::size_t>(y) * width + x]; }
  void fill(int x, int y, int w, int h, std::uint8_t v);
  // Pastes a zint symbol (ink black) with its top left at (x, y), each
  // module scale pixels.
  void paste_barcode(int symbology, const std::string &data, int x, int y, int scale,
                     int bar_height = 0);
};

// Encoded files of a picture.
std::vector<std::uint8_t> png_file(const Grey &g);
std::vector<std::uint8_t> png_rgb_file(int w, int h, const std::vector<std::uint8_t> &rgb);
// progressive: in several scans, so a decoder holds every coefficient.
std::vector<std::uint8_t> jpeg_file(const Grey &g, int quality = 95, bool progressive = false);
std::vector<std::uint8_t> bmp_file(const Grey &g);
std::vector<std::uint8_t> gif_file(const Grey &g);
std::vector<std::uint8_t> tiff_file(const Grey &g, const std::filesystem::path &scratch);
std::vector<std::uint8_t> webp_file(const Grey &g);
// One PDF page of w x h points with a Code 128 symbol of data (modules of
// module_pt points) at (x, y) points, and a caption in the page's font.
std::vector<std::uint8_t> code128_pdf(const std::string &data, double w, double h, double x,
                                      double y, double module_pt);
// The same with one page for each text of pages.
std::vector<std::uint8_t> code128_pdf_pages(const std::vector<std::string> &pages, double w,
                                            double h, double x, double y, double module_pt);

void write_file(const std::filesystem::path &path, const std::vector<std::uint8_t> &bytes);

// A bitmap's dots: true where ink.
struct Dots {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> ink;
  bool at(int x, int y) const { return ink[static_cast<std::size_t>(y) * width + x] != 0; }
  double coverage(int x, int y, int w, int h) const; // share of ink in the rectangle
  bool operator==(const Dots &) const = default;
};
Dots unpack(const zarn_raster_bitmap *b);

// Sinks for encodings: one that appends to the std::string at context, and
// one that hands the bytes to libzarn's open connection.
int append_to_string(const unsigned char *bytes, size_t size, void *context);
int send_through_libzarn(const unsigned char *bytes, size_t size, void *context);

// The symbols zbar reads from the dots, as "TYPE:data".
std::vector<std::string> scan(const Dots &dots);

using Bitmap = zarn::Owned<zarn_raster_bitmap, zarn_raster_bitmap_free>;

zarn_raster_options options(double w_mm = 0, double h_mm = 0, int dpi = 203,
                            zarn_raster_dither dither = ZARN_RASTER_DITHER_THRESHOLD);

// Renders bytes of a file; the status, and the bitmap in out on success.
zarn_raster_status render_bytes(const std::vector<std::uint8_t> &bytes,
                                const zarn_raster_options &o, Bitmap &out, int page = 1);

// Renders the grey pixels; the status, and the bitmap in out on success.
zarn_raster_status render_grey(const Grey &g, const zarn_raster_options &o, Bitmap &out);

// zarn-emulator --tcp 127.0.0.1:0 --out DIR as a child process.
class Emulator {
 public:
  explicit Emulator(const std::filesystem::path &dir);
  int port() const { return port_; }
  std::string log() const;
  // Waits until the log holds text (at most 10 s).
  bool wait_for(const std::string &text);
  std::filesystem::path label(int n) const;

 private:
  std::filesystem::path dir_;
  zarn::test::ChildProcess child_;
  int port_ = -1;
};

} // namespace zarn::raster::test
