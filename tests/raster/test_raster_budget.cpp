// SPDX-License-Identifier: MIT
// Files small on disk that would cost minutes or gigabytes: each is made
// here byte by byte and must end within its page budget, with the budget's
// status and message, in a child process whose memory growth is measured.
#include "zarn-raster.h"
#include "costly_files.hpp"
#include "raster_fixtures.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace zarn::test::costly;

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
// AddressSanitizer keeps freed blocks in a quarantine of up to 256 MiB and
// pads every block, so there resident memory runs past what was used.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kSanitizerSlackKib = 512 * 1024;
#else
constexpr long kSanitizerSlackKib = 0;
#endif

TEST(RasterBudget, TiffsWhoseOneStripIsOverTheMemoryAreRefusedBeforeDecoding)
{
  for (std::uint16_t samples : {4, 8}) {
    SCOPED_TRACE(samples);
    const Outcome out = render_in_child(one_strip_tiff(8192, samples, 16), label_4x6(203, 0));
    EXPECT_EQ(out.status, ZARN_RASTER_ERR_BUDGET);
    EXPECT_STREQ(out.message, "hostile: page 1 needs more than 256 MiB");
    EXPECT_LT(out.grown_kib, kBudgetKib + kSanitizerSlackKib);
    EXPECT_LT(out.cpu_seconds, 10.0);
  }
}

TEST(RasterBudget, AProgressiveJpegIsRefusedBeforeItsCoefficientsOutgrowTheMemory)
{
  // 4096 x 4096: about 48 MiB of coefficients. Refused under a budget of
  // 32 MiB, printed within the default one.
  zarn::raster::test::Grey picture(4096, 4096);
  for (int x = 0; x < 4096; ++x)
    picture.at(x, 0) = static_cast<std::uint8_t>(x);
  const Bytes jpeg = zarn::raster::test::jpeg_file(picture, 95, true);
  zarn_raster_options small = label_4x6(203, 0);
  small.max_bytes = 32u << 20;
  const Outcome refused = render_in_child(jpeg, small);
  EXPECT_EQ(refused.status, ZARN_RASTER_ERR_BUDGET);
  EXPECT_STREQ(refused.message, "hostile: page 1 needs more than 32 MiB");
  EXPECT_LT(refused.grown_kib, 32 * 1024 + kSanitizerSlackKib);
  const Outcome printed = render_in_child(jpeg, label_4x6(203, 0));
  EXPECT_EQ(printed.status, ZARN_RASTER_OK) << printed.message;
  EXPECT_LT(printed.grown_kib, kBudgetKib + kSanitizerSlackKib);
}

TEST(RasterBudget, PdfFormsDrawnAThousandMillionTimesStopAtTheTimeBudget)
{
  // 10 levels each drawing the next 10 times; and 2 ways 20 deep.
  for (auto [depth, fan] : {std::pair{10, 10}, std::pair{21, 2}}) {
    SCOPED_TRACE(depth);
    const Outcome out = render_in_child(nested_forms(depth, fan), label_4x6(203, 1));
    EXPECT_EQ(out.status, ZARN_RASTER_ERR_BUDGET);
    EXPECT_STREQ(out.message, "hostile: page 1 takes more than 1 s to render");
    // The budget, and a little for starting and reading the file.
    EXPECT_LT(out.cpu_seconds, 1.3);
    EXPECT_LT(out.grown_kib, kBudgetKib + kSanitizerSlackKib);
  }
}

TEST(RasterBudget, APdfPageReportedRenderedStayedInsideItsTimeBudget)
{
  // Forms drawn from a thousand to a quarter of a million times, in steps
  // of at most 1.5 times: whatever this machine's speed, some of them cost
  // close to the budget. Each either is refused or took no more than its budget
  // (with room for starting the process); none renders far past it.
  const double budget = 0.5;
  int refused = 0, rendered = 0;
  for (auto [fan, from, to] : {std::tuple{2, 11, 19}, {3, 7, 12}, {5, 5, 9}}) {
    for (int depth = from; depth < to; ++depth) {
      SCOPED_TRACE(std::to_string(fan) + " ways, " + std::to_string(depth) + " deep");
      const Outcome out = render_in_child(nested_forms(depth, fan), label_4x6(203, budget));
      if (out.status == ZARN_RASTER_ERR_BUDGET) {
        ++refused;
        continue;
      }
      ++rendered;
      EXPECT_EQ(out.status, ZARN_RASTER_OK) << out.message;
      EXPECT_LE(out.cpu_seconds, budget * 1.3);
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(rendered, 0);
}

TEST(RasterBudget, PdfImageOfThousandMillionPixelsIsRefusedUndecoded)
{
  const Outcome out = render_in_child(huge_image_pdf(32000), label_4x6(600, 0));
  EXPECT_EQ(out.status, ZARN_RASTER_ERR_BUDGET);
  EXPECT_STREQ(out.message, "hostile: page 1 needs more than 256 MiB");
  EXPECT_LT(out.cpu_seconds, 10.0);
  EXPECT_LT(out.grown_kib, kBudgetKib + kSanitizerSlackKib);
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
