// SPDX-License-Identifier: MIT
// zarn print: pictures and PDF pages through libzarn-raster. Every page of
// every file is rendered before the printer is even opened, so a damaged
// file or a missing page stops the job before the printer sees a byte.
#include "commands.hpp"
#include "progress.hpp"

#include "common/handle.hpp"
#include "zarn-raster.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::cli {
namespace {

using Document = Owned<zarn_raster_document, zarn_raster_document_close>;
using Bitmap = Owned<zarn_raster_bitmap, zarn_raster_bitmap_free>;

// Rendered labels kept between checking and sending (about 2000 labels of
// 4 x 6 in at 203 dpi); pages past it are rendered a second time when their
// turn comes, from the same bytes.
constexpr std::size_t kKeptBytes = std::size_t{256} << 20;

std::string trimmed(const std::string &s)
{
  const std::size_t a = s.find_first_not_of(' ');
  const std::size_t b = s.find_last_not_of(' ');
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

bool parse_number(const std::string &text, double &v)
{
  const std::string t = trimmed(text);
  const auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  return !t.empty() && ec == std::errc() && p == t.data() + t.size();
}

std::vector<std::string> split(const std::string &text, char sep)
{
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string::npos)
      return parts;
    start = at + 1;
  }
}

// The pages of a file of count pages that the list names, in the file's
// order and each once. A page the file does not have is an error.
std::vector<int> select_pages(const std::string &list, int count, const std::string &name)
{
  try {
    return zarn::parse_pages(list, count);
  } catch (const AddressError &e) {
    throw Error(name + ": " + e.what());
  }
}

// "2", "2,4" (top and bottom, left and right) or "1,2,3,4" (top, right,
// bottom, left, clockwise as in CSS), in mm.
void parse_margin(const std::string &text, ImageOptions &o)
{
  std::vector<double> v;
  bool numbers = true;
  for (std::string part : split(text, ',')) {
    part = trimmed(part);
    if (part.ends_with("mm"))
      part.resize(part.size() - 2);
    double mm = 0;
    numbers = numbers && parse_number(part, mm) && mm >= 0 && mm <= 1000;
    v.push_back(mm);
  }
  if (v.size() == 1)
    v = {v[0], v[0], v[0], v[0]};
  else if (v.size() == 2)
    v = {v[0], v[1], v[0], v[1]};
  if (!numbers || v.size() != 4)
    throw Error("bad margin '" + text +
                "': expected MM, or V,H, or TOP,RIGHT,BOTTOM,LEFT in mm, such as 2 or 2,4");
  o.margin_top_mm = v[0];
  o.margin_right_mm = v[1];
  o.margin_bottom_mm = v[2];
  o.margin_left_mm = v[3];
}

ImageOptions image_options(const PrintOptions &p)
{
  ImageOptions o;
  if (!p.label.empty()) {
    const LabelSize size = parse_label_size(p.label);
    o.label_width_mm = size.width_mm;
    o.label_height_mm = size.height_mm;
  }
  o.dpi = p.dpi;
  o.max_seconds = p.max_seconds;
  o.max_bytes = static_cast<unsigned long long>(p.max_mib) << 20;
  // --threshold alone means threshold dithering: what else would it be for.
  const std::string dither = p.dither.empty() && !p.threshold.empty() ? "threshold" : p.dither;
  if (!p.threshold.empty() && dither != "threshold")
    throw Error("--threshold goes with --dither threshold, not --dither " + dither);
  if (dither == "threshold")
    o.dither = Dither::threshold;
  else if (dither == "atkinson")
    o.dither = Dither::atkinson;
  else if (dither == "ordered")
    o.dither = Dither::ordered;
  if (!p.threshold.empty())
    o.threshold = zarn::parse_threshold(p.threshold);
  if (p.rotate == "auto")
    o.rotate = Rotate::automatic;
  else if (p.rotate == "90")
    o.rotate = Rotate::cw_90;
  else if (p.rotate == "180")
    o.rotate = Rotate::cw_180;
  else if (p.rotate == "270")
    o.rotate = Rotate::cw_270;
  if (p.fit == "shrink")
    o.fit = Fit::shrink;
  else if (p.fit == "none")
    o.fit = Fit::none;
  if (!p.margin.empty())
    parse_margin(p.margin, o);
  o.copies = p.copies;
  return o;
}

// out.png for one label; out-1.png, out-2.png, ... for several.
std::vector<std::string> preview_names(const std::string &preview, std::size_t count)
{
  if (count == 1)
    return {preview};
  const std::filesystem::path path(preview);
  const std::string stem = path.stem().string(), ext = path.extension().string();
  std::vector<std::string> names;
  for (std::size_t i = 1; i <= count; ++i)
    names.push_back((path.parent_path() / (stem + "-" + std::to_string(i) + ext)).string());
  return names;
}

// One label of the job: a page of an open document.
struct Label {
  zarn_raster_document *document = nullptr;
  int page = 1;
  std::string what; // "label.pdf page 2", "logo.png"
  Bitmap bitmap;    // null once sent, or when it was over kKeptBytes
};

Bitmap render(const Label &label, const zarn_raster_options &options)
{
  zarn_raster_bitmap *b = nullptr;
  detail::check_raster(zarn_raster_render(label.document, label.page, &options, &b));
  return Bitmap(b);
}

// The header of a PDF may stand anywhere in its first kilobyte.
bool pdf_head(std::string_view head)
{
  return head.substr(0, 1024).find("%PDF-") != std::string_view::npos;
}

constexpr std::size_t kMaxInputBytes = std::size_t{1} << 30;

struct Opened {
  Document document;
  bool pdf = false; // --pages picks pages of PDFs; a picture is its one page
};

Opened open_document(const std::string &file)
{
  zarn_raster_document *d = nullptr;
  Opened o;
  if (file == "-") {
    // Held whole, so bounded as libzarn-raster bounds a file.
    std::string bytes;
    char chunk[65536];
    while (std::cin.read(chunk, sizeof chunk) || std::cin.gcount() > 0) {
      if (bytes.size() + static_cast<std::size_t>(std::cin.gcount()) > kMaxInputBytes)
        throw FileError("standard input is larger than 1 GiB, the most a picture or PDF may be");
      bytes.append(chunk, static_cast<std::size_t>(std::cin.gcount()));
    }
    if (std::cin.bad())
      throw FileError("cannot read standard input");
    detail::check_raster(zarn_raster_open_memory(bytes.data(), bytes.size(), "standard input", &d));
    o.pdf = pdf_head(bytes);
  } else {
    detail::check_raster(zarn_raster_open_file(file.c_str(), &d));
    char head[1024];
    std::ifstream in(file, std::ios::binary);
    in.read(head, sizeof head);
    o.pdf = pdf_head(std::string_view(head, static_cast<std::size_t>(in.gcount())));
  }
  o.document.reset(d);
  return o;
}

} // namespace

int run_print(const Address &address, const PrintOptions &options)
{
  const ImageOptions image = image_options(options);
  const zarn_raster_options raster = image.raster();
  if (!options.pages.empty())
    zarn::parse_pages(options.pages, 0x7fff); // a list that is no list is refused up front

  if (std::count(options.files.begin(), options.files.end(), "-") > 1)
    throw Error("standard input (-) can be given only once");
  std::vector<Document> documents;
  std::vector<Label> labels;
  for (const std::string &file : options.files) {
    Opened opened = open_document(file);
    zarn_raster_document *doc = opened.document.get();
    documents.push_back(std::move(opened.document));
    const std::string name = file == "-" ? "standard input" : file;
    const int count = zarn_raster_document_pages(doc);
    const std::vector<int> pages =
        opened.pdf ? select_pages(options.pages, count, name) : std::vector<int>{1};
    for (int page : pages)
      labels.push_back({doc, page, count > 1 ? name + " page " + std::to_string(page) : name, {}});
  }
  std::size_t kept = 0;
  for (Label &label : labels) {
    label.bitmap = render(label, raster);
    const zarn_raster_bitmap *b = label.bitmap.get();
    kept += static_cast<std::size_t>(zarn_raster_bitmap_bytes_per_row(b)) *
            static_cast<std::size_t>(zarn_raster_bitmap_height(b));
    if (kept > kKeptBytes)
      label.bitmap.reset();
  }

  if (!options.preview.empty()) {
    const std::vector<std::string> names = preview_names(options.preview, labels.size());
    for (std::size_t i = 0; i < labels.size(); ++i) {
      const Bitmap again = labels[i].bitmap ? nullptr : render(labels[i], raster);
      const zarn_raster_bitmap *b = again ? again.get() : labels[i].bitmap.get();
      detail::check_raster(zarn_raster_bitmap_write_png(b, names[i].c_str()));
      std::cout << names[i] << '\n';
    }
    return kExitOk;
  }

  Printer printer(address);
  const FinishLabelOnStop finish;
  ProgressMeter meter(STDERR_FILENO);
  std::size_t sent = 0;
  const std::string of = " of " + std::to_string(labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) {
    Label &label = labels[i];
    if (!label.bitmap)
      label.bitmap = render(label, raster);
    meter.set_prefix(labels.size() > 1 ? "label " + std::to_string(i + 1) + of + "  " : "");
    const Progress shown = meter.callback();
    std::size_t bytes = 0;
    Progress counted;
    if (shown)
      counted = [&](std::size_t done, std::size_t total) {
        bytes = total;
        shown(done, total);
      };
    try {
      printer.print_bitmap(*label.bitmap, image.copies, counted);
    } catch (const SendError &e) {
      throw SendError(std::string(e.what()) + " while sending label " + std::to_string(i + 1) + of +
                      " (" + label.what + ")");
    }
    sent += bytes;
    label.bitmap.reset();
    if (const int sig = FinishLabelOnStop::signalled())
      throw Stopped(sig, "label " + std::to_string(i + 1) + of + " was sent whole, " +
                             std::to_string(labels.size() - i - 1) + " not sent");
  }
  meter.finish(sent, labels.size() > 1 ? std::to_string(labels.size()) + " labels, " +
                                             human_bytes(static_cast<double>(sent))
                                       : "");
  return wait_and_report(printer, options.wait);
}

} // namespace zarn::cli
