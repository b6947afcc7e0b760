// SPDX-License-Identifier: MIT
// libzarn-raster against the tools people use for the same job, in one run:
//  - a 4 x 6 in shipping label (812 x 1218 dots at 203 dpi) from a PNG:
//    decode, fit, Floyd-Steinberg, pack; the peer is Pillow (open, resize,
//    convert('1'), tobytes), timed inside its own interpreter;
//  - the same label as a one-page PDF to 1 bit at 203 dpi: in process, and
//    as a whole process beside `pdftoppm -r 203 -mono`;
//  - peak resident size of a process printing an A6 page at 600 dpi.
// The inputs are made here: text, a Code 128 and a QR code (zint), a frame
// and a logo, drawn with cairo.
//
// Run with `--render-once FILE DPI W_MM H_MM` it renders one page and exits:
// the process the PDF and memory cases start (peak memory is the counter
// peak_rss_MiB). `--write-label-pdf FILE` writes the PDF label only;
// `--exit` only starts and ends, the baseline of a process.
#include "zarn-raster.h"

#include <benchmark/benchmark.h>
#include <cairo-pdf.h>
#include <cairo.h>
#include <png.h>
#include <zint.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;

fs::path work_dir;
std::string self_path;

// The label drawn at dots x dots_h, scale pixels per 1/203 in.
void draw_label(cairo_t *cr, double scale, bool colour_logo)
{
  cairo_scale(cr, scale, scale);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_line_width(cr, 4);
  cairo_rectangle(cr, 8, 8, 796, 1202);
  cairo_stroke(cr);
  for (double y : {250.0, 560.0, 900.0}) {
    cairo_move_to(cr, 8, y);
    cairo_line_to(cr, 804, y);
    cairo_stroke(cr);
  }
  // The logo: a disc with a shaded ring and the carrier's initials.
  cairo_pattern_t *shade = cairo_pattern_create_radial(110, 120, 10, 110, 120, 90);
  if (colour_logo) {
    cairo_pattern_add_color_stop_rgb(shade, 0, 0.95, 0.75, 0.1);
    cairo_pattern_add_color_stop_rgb(shade, 1, 0.45, 0.2, 0.05);
  } else {
    cairo_pattern_add_color_stop_rgb(shade, 0, 0.85, 0.85, 0.85);
    cairo_pattern_add_color_stop_rgb(shade, 1, 0.25, 0.25, 0.25);
  }
  cairo_arc(cr, 110, 120, 90, 0, 2 * M_PI);
  cairo_set_source(cr, shade);
  cairo_fill(cr);
  cairo_pattern_destroy(shade);
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_set_font_size(cr, 64);
  cairo_move_to(cr, 62, 145);
  cairo_show_text(cr, "ZX");
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_font_size(cr, 44);
  cairo_move_to(cr, 240, 100);
  cairo_show_text(cr, "ZARN EXPRESS");
  cairo_set_font_size(cr, 28);
  cairo_move_to(cr, 240, 150);
  cairo_show_text(cr, "PRIORITY OVERNIGHT");
  const char *lines[] = {"SHIP TO:", "ADA LOVELACE", "12 ANALYTICAL ENGINE ROW", "LONDON NW1 2DB",
                         "UNITED KINGDOM"};
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  double y = 300;
  for (const char *line : lines) {
    cairo_move_to(cr, 40, y);
    cairo_show_text(cr, line);
    y += 48;
  }
  cairo_set_font_size(cr, 18);
  cairo_move_to(cr, 40, 1180);
  cairo_show_text(cr, "REF 4711-0815  WEIGHT 2.3 KG  DIMS 30x20x10 CM  PIECE 1 OF 1");
  // Code 128 tracking number and a QR code with zint's modules.
  const auto symbol = [&](int type, const char *data, double x0, double y0, double module,
                          double bar_h) {
    zint_symbol *s = ZBarcode_Create();
    s->symbology = type;
    ZBarcode_Encode(s, reinterpret_cast<const unsigned char *>(data),
                    static_cast<int>(std::strlen(data)));
    for (int r = 0; r < s->rows; ++r)
      for (int c = 0; c < s->width; ++c)
        if ((s->encoded_data[r][c >> 3] >> (c & 7)) & 1)
          cairo_rectangle(cr, x0 + c * module, y0 + r * (s->rows == 1 ? 0 : module), module,
                          s->rows == 1 ? bar_h : module);
    cairo_fill(cr);
    ZBarcode_Delete(s);
  };
  symbol(BARCODE_CODE128, "1Z999AA10123456784", 100, 600, 3, 240);
  symbol(BARCODE_QRCODE, "https://track.example/1Z999AA10123456784", 560, 940, 6, 0);
}

void write_png(const fs::path &path, int w, int h, bool grey, bool colour_logo, double scale)
{
  cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  cairo_t *cr = cairo_create(s);
  draw_label(cr, scale, colour_logo);
  cairo_destroy(cr);
  cairo_surface_flush(s);
  const unsigned char *data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  std::vector<unsigned char> px;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const unsigned char *p = data + y * stride + x * 4; // B, G, R, unused
      if (grey)
        px.push_back(static_cast<unsigned char>((p[2] * 54 + p[1] * 183 + p[0] * 19) >> 8));
      else
        px.insert(px.end(), {p[2], p[1], p[0]});
    }
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  img.width = static_cast<png_uint_32>(w);
  img.height = static_cast<png_uint_32>(h);
  img.format = grey ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
  png_image_write_to_file(&img, path.c_str(), 0, px.data(), 0, nullptr);
  cairo_surface_destroy(s);
}

void write_pdf(const fs::path &path, double w_pt, double h_pt)
{
  cairo_surface_t *s = cairo_pdf_surface_create(path.c_str(), w_pt, h_pt);
  cairo_t *cr = cairo_create(s);
  draw_label(cr, w_pt / 812.0, true);
  cairo_destroy(cr);
  cairo_surface_finish(s);
  cairo_surface_destroy(s);
}

zarn_raster_options label_options(double w_mm, double h_mm, int dpi)
{
  zarn_raster_options o;
  zarn_raster_options_init(&o);
  o.label_width_mm = w_mm;
  o.label_height_mm = h_mm;
  o.dpi = dpi;
  o.dither = ZARN_RASTER_DITHER_FLOYD_STEINBERG;
  return o;
}

// 812 x 1218 dots at 8 dots/mm.
constexpr double kLabelW = 101.5, kLabelH = 152.25;

void render_path(benchmark::State &state, const fs::path &path)
{
  const zarn_raster_options o = label_options(kLabelW, kLabelH, 203);
  for (auto _ : state) {
    zarn_raster_bitmap *b = nullptr;
    if (zarn_raster_render_file(path.c_str(), 1, &o, &b) != ZARN_RASTER_OK) {
      state.SkipWithError(zarn_raster_last_error());
      return;
    }
    benchmark::DoNotOptimize(zarn_raster_bitmap_data(b));
    zarn_raster_bitmap_free(b);
  }
  state.counters["peak_rss_MiB"] =
      0; // measured for whole processes only (the CSV wants it everywhere)
}

// Pillow in a Python process of its own, asked for one run at a time.
struct Peer {
  pid_t pid = -1;
  std::FILE *to = nullptr;
  std::FILE *from = nullptr;
};

std::string python()
{
  // Debian's interpreter is the one python3-pil belongs to.
  return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

Peer start_pillow(const fs::path &file)
{
  int in[2], out[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0)
    return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string script = (fs::path(ZARN_BENCH_SOURCE_DIR) / "pillow_peer.py").string();
  std::vector<std::string> argv = {python(), script, file.string(), "812", "1218"};
  std::vector<char *> args;
  for (auto &a : argv)
    args.push_back(a.data());
  args.push_back(nullptr);
  Peer p;
  if (posix_spawnp(&p.pid, args[0], &actions, nullptr, args.data(), environ) != 0)
    p.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  p.to = ::fdopen(in[1], "w");
  p.from = ::fdopen(out[0], "r");
  return p;
}

void stop(Peer &p)
{
  if (p.to)
    std::fclose(p.to);
  if (p.from)
    std::fclose(p.from);
  if (p.pid > 0)
    ::waitpid(p.pid, nullptr, 0);
}

void pillow(benchmark::State &state, const fs::path &path)
{
  Peer p = start_pillow(path);
  for (auto _ : state) {
    long long ns = -1;
    if (p.pid <= 0 || std::fputs("go\n", p.to) < 0 || std::fflush(p.to) != 0 ||
        std::fscanf(p.from, "%lld", &ns) != 1) {
      state.SkipWithError("the Pillow peer did not answer (is python3-pil installed?)");
      break;
    }
    state.SetIterationTime(static_cast<double>(ns) * 1e-9);
  }
  state.counters["peak_rss_MiB"] = 0;
  stop(p);
}

struct Run {
  double seconds = -1;
  int status = -1;
};

// Starts argv (standard error to err_file), waits, and gives its wall time.
Run run_process(std::vector<std::string> argv, const fs::path &err_file)
{
  std::vector<char *> args;
  for (auto &a : argv)
    args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  Run r;
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return r;
}

// The peak resident size a --render-once child reported, in KiB. (The
// parent's rusage cannot tell: a spawned child starts out counting the
// parent's pages until it execs, and ru_maxrss keeps that.)
long reported_peak_kib(const fs::path &err_file)
{
  long kib = 0;
  if (std::FILE *f = std::fopen(err_file.c_str(), "r")) {
    if (std::fscanf(f, "VmHWM: %ld kB", &kib) != 1)
      kib = 0;
    std::fclose(f);
  }
  return kib;
}

void process(benchmark::State &state, const std::vector<std::string> &argv)
{
  const fs::path err_file = work_dir / "child-stderr.txt";
  long peak = 0;
  for (auto _ : state) {
    const Run r = run_process(argv, err_file);
    if (r.status != 0) {
      state.SkipWithError(("failed: " + argv[0]).c_str());
      return;
    }
    peak = std::max(peak, reported_peak_kib(err_file));
    state.SetIterationTime(r.seconds);
  }
  state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024;
}

// This process's own high-water mark of resident memory, from the kernel.
long own_peak_kib()
{
  long kib = 0;
  if (std::FILE *f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
        break;
    std::fclose(f);
  }
  return kib;
}

int render_once(int argc, char **argv)
{
  if (argc != 6)
    return 2;
  const zarn_raster_options o =
      label_options(std::atof(argv[4]), std::atof(argv[5]), std::atoi(argv[3]));
  zarn_raster_bitmap *b = nullptr;
  if (zarn_raster_render_file(argv[2], 1, &o, &b) != ZARN_RASTER_OK) {
    std::fprintf(stderr, "%s\n", zarn_raster_last_error());
    return 1;
  }
  // Written like pdftoppm's output, so both processes do the same work.
  const int bpr = zarn_raster_bitmap_bytes_per_row(b);
  std::printf("P4\n%d %d\n", zarn_raster_bitmap_width(b), zarn_raster_bitmap_height(b));
  std::vector<unsigned char> row(static_cast<std::size_t>(bpr));
  for (int y = 0; y < zarn_raster_bitmap_height(b); ++y) {
    const unsigned char *src = zarn_raster_bitmap_data(b) + static_cast<std::size_t>(y) * bpr;
    for (int i = 0; i < bpr; ++i)
      row[static_cast<std::size_t>(i)] = static_cast<unsigned char>(~src[i]); // PBM: 1 is ink
    std::fwrite(row.data(), 1, row.size(), stdout);
  }
  zarn_raster_bitmap_free(b);
  std::fflush(stdout);
  std::fprintf(stderr, "VmHWM: %ld kB\n", own_peak_kib());
  return 0;
}

} // namespace

int main(int argc, char **argv)
{
  if (argc > 1 && std::strcmp(argv[1], "--render-once") == 0)
    return render_once(argc, argv);
  if (argc > 1 && std::strcmp(argv[1], "--exit") == 0)
    return 0; // only loading the libraries, for the process baseline
  if (argc == 3 && std::strcmp(argv[1], "--write-label-pdf") == 0) {
    write_pdf(argv[2], 288, 432); // the 4 x 6 in label the README shows
    return 0;
  }
  self_path = fs::read_symlink("/proc/self/exe").string();
  char templ[] = "/tmp/zarn-bench-raster-XXXXXX";
  if (::mkdtemp(templ) == nullptr)
    return 1;
  work_dir = templ;
  const fs::path grey = work_dir / "label-grey.png", rgb = work_dir / "label-rgb.png",
                 grey300 = work_dir / "label-300dpi.png", pdf = work_dir / "label.pdf",
                 a6_png = work_dir / "a6-600dpi.png", a6_pdf = work_dir / "a6.pdf";
  write_png(grey, 812, 1218, true, true, 1.0);
  write_png(rgb, 812, 1218, false, true, 1.0);
  write_png(grey300, 1218, 1827, true, true, 1.5); // a 300-dpi label fitted down
  write_png(a6_png, 2480, 3508, true, true, 2480 / 812.0);
  write_pdf(pdf, 288, 432);
  write_pdf(a6_pdf, 297.6, 419.5);

  benchmark::RegisterBenchmark("raster_png_4x6_grey/zarn", render_path, grey);
  benchmark::RegisterBenchmark("raster_png_4x6_grey/pillow", pillow, grey)->UseManualTime();
  benchmark::RegisterBenchmark("raster_png_4x6_rgb/zarn", render_path, rgb);
  benchmark::RegisterBenchmark("raster_png_4x6_rgb/pillow", pillow, rgb)->UseManualTime();
  benchmark::RegisterBenchmark("raster_png_300dpi_fit/zarn", render_path, grey300);
  benchmark::RegisterBenchmark("raster_png_300dpi_fit/pillow", pillow, grey300)->UseManualTime();
  benchmark::RegisterBenchmark("raster_pdf_4x6_in_process", render_path, pdf);
  // Whole processes: start, read, render, write a PBM, exit.
  const std::string out = (work_dir / "pdftoppm").string();
  benchmark::RegisterBenchmark(
      "raster_pdf_4x6_process/zarn", process,
      std::vector<std::string>{self_path, "--render-once", pdf.string(), "203", "101.5", "152.25"})
      ->UseManualTime();
  benchmark::RegisterBenchmark(
      "raster_pdf_4x6_process/pdftoppm", process,
      std::vector<std::string>{"pdftoppm", "-r", "203", "-mono", pdf.string(), out})
      ->UseManualTime();
  // What starting a process linked to libzarn-raster (and so libzarn, with
  // SDL2 and everything it loads) costs before any work.
  benchmark::RegisterBenchmark("raster_process_start_only", process,
                               std::vector<std::string>{self_path, "--exit"})
      ->UseManualTime();
  benchmark::RegisterBenchmark(
      "raster_a6_600dpi_pdf_process", process,
      std::vector<std::string>{self_path, "--render-once", a6_pdf.string(), "600", "105", "148"})
      ->UseManualTime()
      ->Iterations(3);
  benchmark::RegisterBenchmark(
      "raster_a6_600dpi_png_process", process,
      std::vector<std::string>{self_path, "--render-once", a6_png.string(), "600", "105", "148"})
      ->UseManualTime()
      ->Iterations(3);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(work_dir);
  return 0;
}
