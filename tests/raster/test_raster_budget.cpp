// SPDX-License-Identifier: MIT
// Files small on disk that would cost minutes or gigabytes: each is made
// here byte by byte and must end within its page budget, with the budget's
// status and message, in a child process whose memory growth is measured.
#include "zarn-raster.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A zlib stream of n zero bytes without compressing n bytes: one
// full-flushed deflate segment of zeros repeated (each stands alone).
std::string zeros_zlib(std::uint64_t n)
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
Bytes one_strip_tiff(std::uint32_t side, std::uint16_t samples, std::uint16_t bits)
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
Bytes pdf(const std::string &page_extra, const std::vector<std::string> &objects, double w = 288,
          double h = 432)
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

std::string stream(const std::string &dict, const std::string &data)
{
  return "<< " + dict + " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data +
         "\nendstream";
}

// Forms 4 .. 4 + depth - 1: each draws the next fan times, the last a box.
Bytes nested_forms(int depth, int fan)
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

Bytes huge_image_pdf(int side)
{
  const std::string data = zeros_zlib(std::uint64_t(side) * side * 3);
  return pdf("/Resources << /XObject << /I 4 0 R >> >> /Contents 5 0 R",
             {stream("/Type /XObject /Subtype /Image /Width " + std::to_string(side) + " /Height " +
                         std::to_string(side) +
                         " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode",
                     data),
              stream("", "q 288 0 0 432 0 0 cm /I Do Q\n")});
}

struct Outcome {
  zarn_raster_status status = ZARN_RASTER_OK;
  double cpu_seconds = 0;
  long grown_kib = 0; // peak resident size over the size before rendering
  char message[400] = "";
};

long resident_kib()
{
  long pages = 0, resident = 0;
  if (FILE *f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
      resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Renders page 1 in a child process, so that its peak memory is its own.
Outcome render_in_child(const Bytes &file, zarn_raster_options o)
{
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Outcome out;
    zarn_raster_document *doc = nullptr;
    const long before = resident_kib();
    out.status = zarn_raster_open_memory(file.data(), file.size(), "hostile", &doc);
    if (out.status == ZARN_RASTER_OK) {
      zarn_raster_bitmap *b = nullptr;
      out.status = zarn_raster_render(doc, 1, &o, &b);
      zarn_raster_bitmap_free(b);
      zarn_raster_document_close(doc);
    }
    std::snprintf(out.message, sizeof out.message, "%s", zarn_raster_last_error());
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    out.grown_kib = ru.ru_maxrss - before;
    out.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                      (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    const ssize_t n = write(fds[1], &out, sizeof out);
    _exit(n == sizeof out ? 0 : 1);
  }
  close(fds[1]);
  Outcome out;
  const ssize_t n = read(fds[0], &out, sizeof out);
  close(fds[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  EXPECT_EQ(n, static_cast<ssize_t>(sizeof out));
  return out;
}

zarn_raster_options label_4x6(int dpi, double seconds)
{
  zarn_raster_options o;
  zarn_raster_options_init(&o);
  o.label_width_mm = 101.6;
  o.label_height_mm = 152.4;
  o.dpi = dpi;
  o.max_seconds = seconds;
  return o;
}

constexpr long kBudgetKib = 256 * 1024;

TEST(RasterBudget, TiffsWhoseOneStripIsOverTheMemoryAreRefusedBeforeDecoding)
{
  for (std::uint16_t samples : {4, 8}) {
    SCOPED_TRACE(samples);
    const Outcome out = render_in_child(one_strip_tiff(8192, samples, 16), label_4x6(203, 0));
    EXPECT_EQ(out.status, ZARN_RASTER_ERR_BUDGET);
    EXPECT_STREQ(out.message, "hostile: page 1 needs more than 256 MiB");
    EXPECT_LT(out.grown_kib, kBudgetKib);
    EXPECT_LT(out.cpu_seconds, 10.0);
  }
}

TEST(RasterBudget, PdfFormsDrawnAThousandMillionTimesStopAtTheTimeBudget)
{
  // 10 levels each drawing the next 10 times; and 2 ways 20 deep.
  for (auto [depth, fan] : {std::pair{10, 10}, std::pair{21, 2}}) {
    SCOPED_TRACE(depth);
    const Outcome out = render_in_child(nested_forms(depth, fan), label_4x6(203, 1));
    EXPECT_EQ(out.status, ZARN_RASTER_ERR_BUDGET);
    EXPECT_STREQ(out.message, "hostile: page 1 takes more than 1 s to render");
    EXPECT_LT(out.cpu_seconds, 3.0);
    EXPECT_LT(out.grown_kib, kBudgetKib);
  }
}

TEST(RasterBudget, PdfImageOfThousandMillionPixelsIsRefusedUndecoded)
{
  const Outcome out = render_in_child(huge_image_pdf(32000), label_4x6(600, 0));
  EXPECT_EQ(out.status, ZARN_RASTER_ERR_BUDGET);
  EXPECT_STREQ(out.message, "hostile: page 1 needs more than 256 MiB");
  EXPECT_LT(out.cpu_seconds, 10.0);
  EXPECT_LT(out.grown_kib, kBudgetKib);
}

// The pages inside their budget print as they always did: the same dots
// under the default budget as under a budget far larger.
TEST(RasterBudget, PagesInsideTheBudgetPrintTheSameDots)
{
  const Bytes forms = nested_forms(4, 3);
  const Bytes image = huge_image_pdf(2000); // 16 MB of image data: inside 256 MiB
  for (const Bytes *file : {&forms, &image}) {
    zarn_raster_document *doc = nullptr;
    ASSERT_EQ(zarn_raster_open_memory(file->data(), file->size(), "page", &doc), ZARN_RASTER_OK);
    zarn_raster_options tight = label_4x6(203, 0), loose = tight;
    loose.max_seconds = 1e6;
    loose.max_bytes = 1ULL << 40;
    zarn_raster_bitmap *a = nullptr, *b = nullptr;
    EXPECT_EQ(zarn_raster_render(doc, 1, &tight, &a), ZARN_RASTER_OK) << zarn_raster_last_error();
    EXPECT_EQ(zarn_raster_render(doc, 1, &loose, &b), ZARN_RASTER_OK);
    ASSERT_TRUE(a && b);
    const std::size_t n = static_cast<std::size_t>(zarn_raster_bitmap_bytes_per_row(a)) *
                          zarn_raster_bitmap_height(a);
    EXPECT_EQ(std::memcmp(zarn_raster_bitmap_data(a), zarn_raster_bitmap_data(b), n), 0);
    zarn_raster_bitmap_free(a);
    zarn_raster_bitmap_free(b);
    zarn_raster_document_close(doc);
  }
}

TEST(RasterBudget, ALabelJustInsideTheMemoryBudgetRendersAndOneByteLessIsRefused)
{
  // 100 x 100 grey pixels one dot each: the canvas and its packed bitmap.
  const std::vector<std::uint8_t> grey(100 * 100, 0);
  zarn_raster_options o;
  zarn_raster_options_init(&o);
  o.dither = ZARN_RASTER_DITHER_THRESHOLD;
  const unsigned long long needed = 100 * 100 + (100 * 100 / 8 + 100);
  zarn_raster_bitmap *b = nullptr;
  o.max_bytes = needed;
  EXPECT_EQ(zarn_raster_render_pixels(grey.data(), 100, 100, 100, ZARN_RASTER_GREY8, &o, &b),
            ZARN_RASTER_OK)
      << zarn_raster_last_error();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(zarn_raster_bitmap_data(b)[0], 0); // all ink
  zarn_raster_bitmap_free(b);
  b = nullptr;
  o.max_bytes = needed - 1;
  EXPECT_EQ(zarn_raster_render_pixels(grey.data(), 100, 100, 100, ZARN_RASTER_GREY8, &o, &b),
            ZARN_RASTER_ERR_BUDGET);
  EXPECT_STREQ(zarn_raster_last_error(), "pixels: page 1 needs more than 11.1 KiB");
  EXPECT_EQ(b, nullptr);
  o.max_seconds = -1;
  EXPECT_EQ(zarn_raster_render_pixels(grey.data(), 100, 100, 100, ZARN_RASTER_GREY8, &o, &b),
            ZARN_RASTER_ERR_ARGUMENT);
}

} // namespace
