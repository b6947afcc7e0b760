// SPDX-License-Identifier: MIT
// Files small on disk that cost minutes or gigabytes to decode or render,
// made byte by byte (nothing of them is stored): TIFFs of one huge strip,
// PDFs of self-nesting forms or of one huge image.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zarn::test::costly {

using Bytes = std::vector<std::uint8_t>;

// A zlib stream of n zero bytes without compressing n bytes: one
// full-flushed deflate segment of zeros repeated (each stands alone).
inline std::string zeros_zlib(std::uint64_t n)
{
  constexpr std::size_t kChunk = 1 << 20;
  const std::vector<unsigned char> zero(kChunk, 0);
  auto raw = [&](std::size_t size, int flush) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    std::string out(size / 100 + 64, '\0');
    z.next_in = const_cast<unsigned char *>(zero.data());
    z.avail_in = static_cast<uInt>(size);
    z.next_out = reinterpret_cast<unsigned char *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
  };
  std::string s = "\x78\x01";
  const std::string segment = raw(kChunk, Z_FULL_FLUSH);
  for (std::uint64_t i = 0; i < n / kChunk; ++i)
    s += segment;
  s += raw(static_cast<std::size_t>(n % kChunk), Z_FINISH);
  const std::uint32_t b = static_cast<std::uint32_t>(n % 65521), a = 1;
  const std::uint32_t adler = (b << 16) | a;
  for (int shift : {24, 16, 8, 0})
    s += static_cast<char>((adler >> shift) & 0xff);
  return s;
}

// A little-endian TIFF, one deflate strip of zeros.
inline Bytes one_strip_tiff(std::uint32_t side, std::uint16_t samples, std::uint16_t bits)
{
  const std::string strip = zeros_zlib(std::uint64_t{side} * side * samples * (bits / 8));
  Bytes t = {'I', 'I', 42, 0, 8, 0, 0, 0};
  struct Entry {
    std::uint16_t tag, type;
    std::uint32_t count, value;
  };
  const std::uint32_t ifd_size = 2 + 12 * 10 + 4;
  const std::uint32_t bits_at = 8 + ifd_size, strip_at = bits_at + 2u * samples;
  std::vector<Entry> e = {
      {256, 4, 1, side},
      {257, 4, 1, side},
      {258, 3, samples,
       samples <= 2 ? std::uint32_t{bits} | (samples == 2 ? bits << 16 : 0) : bits_at},
      {259, 3, 1, 8}, // Adobe deflate
      {262, 3, 1, 2}, // RGB
      {273, 4, 1, strip_at},
      {277, 3, 1, samples},
      {278, 4, 1, side},
      {279, 4, 1, static_cast<std::uint32_t>(strip.size())},
      {338, 3, 1, 2}, // the first extra sample is alpha
  };
  auto put16 = [&](std::uint32_t v) {
    t.push_back(static_cast<std::uint8_t>(v));
    t.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  auto put32 = [&](std::uint32_t v) {
    put16(v & 0xffff);
    put16(v >> 16);
  };
  put16(static_cast<std::uint32_t>(e.size()));
  for (const Entry &x : e) {
    put16(x.tag);
    put16(x.type);
    put32(x.count);
    if (x.type == 3 && x.count == 1) {
      put16(x.value);
      put16(0);
    } else {
      put32(x.value);
    }
  }
  put32(0);
  for (int i = 0; i < samples; ++i)
    put16(bits);
  t.insert(t.end(), strip.begin(), strip.end());
  return t;
}

// A one-page PDF from its objects (1 catalog, 2 pages, 3 page, then the
// caller's), with a correct cross-reference table.
inline Bytes pdf(const std::string &page_extra, const std::vector<std::string> &objects,
                 double w = 288, double h = 432)
{
  std::vector<std::string> all = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(w) + " " + std::to_string(h) +
          "] " + page_extra + " >>"};
  all.insert(all.end(), objects.begin(), objects.end());
  std::string s = "%PDF-1.4\n";
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < all.size(); ++i) {
    at.push_back(s.size());
    s += std::to_string(i + 1) + " 0 obj\n" + all[i] + "\nendobj\n";
  }
  const std::size_t xref = s.size();
  s += "xref\n0 " + std::to_string(all.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t o : at) {
    char line[24];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
    s += line;
  }
  s += "trailer\n<< /Size " + std::to_string(all.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
       std::to_string(xref) + "\n%%EOF\n";
  return Bytes(s.begin(), s.end());
}

inline std::string stream(const std::string &dict, const std::string &data)
{
  return "<< " + dict + " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data +
         "\nendstream";
}

// Forms 4 .. 4 + depth - 1: each draws the next fan times, the last a box.
inline Bytes nested_forms(int depth, int fan)
{
  std::vector<std::string> forms;
  for (int i = 0; i < depth; ++i) {
    const int self = 4 + i;
    std::string content, resources;
    if (i + 1 < depth) {
      for (int k = 0; k < fan; ++k)
        content += "q 0.9 0 0 0.9 1 1 cm /F Do Q\n";
      resources = "/Resources << /XObject << /F " + std::to_string(self + 1) + " 0 R >> >>";
    } else {
      content = "0 0 10 10 re f\n";
    }
    forms.push_back(
        stream("/Type /XObject /Subtype /Form /BBox [0 0 288 432] " + resources, content));
  }
  // The page's content is the last object.
  forms.push_back(stream("", "/F Do\n"));
  const std::string contents = std::to_string(4 + depth) + " 0 R";
  return pdf("/Resources << /XObject << /F 4 0 R >> >> /Contents " + contents, forms);
}

inline Bytes huge_image_pdf(int side)
{
  const std::string data = zeros_zlib(std::uint64_t(side) * side * 3);
  return pdf("/Resources << /XObject << /I 4 0 R >> >> /Contents 5 0 R",
             {stream("/Type /XObject /Subtype /Image /Width " + std::to_string(side) + " /Height " +
                         std::to_string(side) +
                         " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode",
                     data),
              stream("", "q 288 0 0 432 0 0 cm /I Do Q\n")});
}

} // namespace zarn::test::costly
