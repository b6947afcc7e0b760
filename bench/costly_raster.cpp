// SPDX-License-Identifier: MIT
// The costly files of the render budget (small on disk, minutes or
// gigabytes without it), each rendered once in a child process with the
// default budget on a 4 x 6 in label at 203 dpi: the status, the wall and
// CPU time, and how far the child's peak resident size grew. Figures only.
#include "zarn-raster.h"
#include "raster/costly_files.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

using namespace zarn::test::costly;

long peak_kib()
{
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmHWM:") {
      in >> value;
      return value;
    }
    in.ignore(1 << 10, '\n');
  }
  return 0;
}

struct Result {
  int status;
  double cpu_s;
  long grown_kib;
};

void run(const char *name, const Bytes &file)
{
  int fds[2];
  if (pipe(fds) != 0)
    return;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const long before = peak_kib();
    zarn_raster_options o;
    zarn_raster_options_init(&o);
    o.label_width_mm = 101.6;
    o.label_height_mm = 152.4;
    Result r{};
    zarn_raster_document *doc = nullptr;
    r.status = zarn_raster_open_memory(file.data(), file.size(), "costly", &doc);
    if (r.status == ZARN_RASTER_OK) {
      zarn_raster_bitmap *b = nullptr;
      r.status = zarn_raster_render(doc, 1, &o, &b);
      zarn_raster_bitmap_free(b);
      zarn_raster_document_close(doc);
    }
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    r.cpu_s = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
              static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    r.grown_kib = peak_kib() - before;
    if (write(fds[1], &r, sizeof r) != sizeof r)
      _exit(2);
    _exit(0);
  }
  close(fds[1]);
  Result r{-1, 0, 0};
  const bool got = read(fds[0], &r, sizeof r) == sizeof r;
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("| %s | %.1f KiB | %s | %.2f s | %.2f s | %.1f MiB |\n", name,
              static_cast<double>(file.size()) / 1024,
              got ? (r.status == ZARN_RASTER_ERR_BUDGET ? "over budget"
                     : r.status == ZARN_RASTER_OK       ? "rendered"
                                                        : "other error")
                  : "child died",
              wall, r.cpu_s, static_cast<double>(r.grown_kib) / 1024);
}

} // namespace

int main()
{
  std::printf(
      "| file | size | outcome | wall | CPU | peak memory growth |\n|---|---|---|---|---|---|\n");
  run("TIFF 8192 x 8192, 16-bit RGBA, one strip", one_strip_tiff(8192, 4, 16));
  run("TIFF 8192 x 8192, 8 samples of 16 bits, one strip", one_strip_tiff(8192, 8, 16));
  run("PDF, a form drawing itself 10 times, 9 levels deep", nested_forms(9, 10));
  run("PDF, a form fanned out 2 ways, 20 levels deep", nested_forms(20, 2));
  run("PDF, one 32000 x 32000 RGB image", huge_image_pdf(32000));
  return 0;
}
