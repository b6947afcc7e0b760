// SPDX-License-Identifier: MIT
// What the printer application's end-to-end tests share: documents with a
// Code 128, the emulator with its control port, the app as a server process
// on a free loopback port with its own HOME and spool folder, ipptool
// requests, and the labels the emulator printed, read with zbar.
#pragma once

#include "fake_printer.hpp" // in_ci, ZARN_REQUIRE_FAKE
#include "loopback.hpp"
#include "loopback_peer.hpp"
#include "test_emulator_program.hpp"
#include "test_emulator_util.hpp"
#include <cairo-pdf.h>
#include <cairo.h>
#include <cups/raster.h>
#include <zint.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include <optional>
#include <string>
#include <vector>

namespace zarn::emu::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using zarn::test::slurp;

inline constexpr auto kJobLimit = 20s;
inline const std::string kBarcodeText = "ZARN-LBL-0042";

// Polls check every 20 ms until it holds or limit passes.
template <typename Check>
inline bool eventually(Check check, std::chrono::milliseconds limit = kJobLimit)
{
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (check())
      return true;
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(20ms);
  }
}

struct Outcome {
  int status = -1;
  std::string output;
};

// Runs a command to its end and returns its status and output.
inline Outcome run(const std::vector<std::string> &argv, const fs::path &dir,
                   const std::vector<std::string> &env = {})
{
  static std::atomic<int> counter{0};
  const fs::path log = dir / ("run-" + std::to_string(++counter) + ".log");
  ChildProcess child(argv, log, env);
  Outcome r;
  r.status = child.wait(30s);
  r.output = child.log();
  return r;
}

// "name (type) = value" lines of ipptool -tv: the last value of each name.
inline std::map<std::string, std::string> ipp_values(const std::string &output)
{
  std::map<std::string, std::string> values;
  static const std::regex line(R"(^\s+([a-z0-9-]+) \([^)]*\) = (.*)$)");
  std::istringstream in(output);
  std::string l;
  std::smatch m;
  while (std::getline(in, l))
    if (std::regex_match(l, m, line))
      values[m[1]] = m[2];
  return values;
}

// ---- Documents with a Code 128 barcode ----------------------------------

// The barcode's modules, quiet zones included: true is a bar.
inline std::vector<bool> code128_modules(const std::string &text)
{
  zint_symbol *symbol = ZBarcode_Create();
  symbol->symbology = BARCODE_CODE128;
  symbol->show_hrt = 0;
  symbol->height = 1;
  std::vector<bool> modules(10, false);
  if (ZBarcode_Encode(symbol, reinterpret_cast<const unsigned char *>(text.data()),
                      static_cast<int>(text.size())) < ZINT_ERROR) {
    for (int x = 0; x < symbol->width; ++x)
      modules.push_back(((symbol->encoded_data[0][x >> 3] >> (x & 7)) & 1) != 0);
  }
  ZBarcode_Delete(symbol);
  modules.insert(modules.end(), 10, false);
  return modules;
}

// Draws the barcode across w x h (in the surface's units).
inline void draw_barcode(cairo_t *cr, double w, double h, const std::string &text = kBarcodeText)
{
  const auto modules = code128_modules(text);
  const double module = w / static_cast<double>(modules.size());
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);
  for (size_t i = 0; i < modules.size(); ++i)
    if (modules[i])
      cairo_rectangle(cr, static_cast<double>(i) * module, h * 0.1, module, h * 0.8);
  cairo_fill(cr);
}

inline void write_png(const fs::path &path, int module_px = 3,
                      const std::string &text = kBarcodeText)
{
  const int w = static_cast<int>(code128_modules(text).size()) * module_px;
  cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, w / 3);
  cairo_t *cr = cairo_create(s);
  draw_barcode(cr, w, w / 3.0, text);
  cairo_surface_write_to_png(s, path.c_str());
  cairo_destroy(cr);
  cairo_surface_destroy(s);
}

inline void write_pdf(const fs::path &path, double width_pt, double height_pt)
{
  cairo_surface_t *s = cairo_pdf_surface_create(path.c_str(), width_pt, height_pt);
  cairo_t *cr = cairo_create(s);
  draw_barcode(cr, width_pt, height_pt);
  cairo_show_page(cr);
  cairo_destroy(cr);
  cairo_surface_destroy(s);
}

// A one-page 8-bit grey PWG raster of the barcode, written with libcups;
// cut_at > 0 keeps only that many bytes of the file.
inline void write_pwg(const fs::path &path, const char *media, long cut_at = 0)
{
  cups_page_header2_t h;
  ASSERT_TRUE(cupsRasterInitPWGHeader(&h, pwgMediaForPWG(media), "sgray_8", 203, 203, "one-sided",
                                      nullptr));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  cups_raster_t *r = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  ASSERT_TRUE(cupsRasterWriteHeader2(r, &h));
  const auto modules = code128_modules(kBarcodeText);
  const unsigned dots = h.cupsWidth / static_cast<unsigned>(modules.size());
  std::vector<unsigned char> bars(h.cupsBytesPerLine, 255);
  for (unsigned x = 0; x < modules.size() * dots; ++x)
    if (modules[x / dots])
      bars[x] = 0;
  const std::vector<unsigned char> blank(h.cupsBytesPerLine, 255);
  for (unsigned y = 0; y < h.cupsHeight; ++y) {
    const bool bar_row = y > h.cupsHeight / 10 && y < h.cupsHeight * 9 / 10;
    cupsRasterWritePixels(r, const_cast<unsigned char *>(bar_row ? bars.data() : blank.data()),
                          h.cupsBytesPerLine);
  }
  cupsRasterClose(r);
  ::close(fd);
  if (cut_at > 0)
    fs::resize_file(path, static_cast<std::uintmax_t>(cut_at));
}

// ---- The emulator with its control port ----------------------------------

// The emulator with a control port, so that a test can change the printer's
// status while the app holds the connection.
class ControlledEmulator {
 public:
  ControlledEmulator(const fs::path &out, const std::string &status)
      : child_(zarn::emu::test::run_emulator(
            {"--tcp", "0", "--control", "0", "--status", status, "--out", out.string()},
            // The control port is announced before the printer's own port:
            // ready is the later line, so both ports are known.
            out.parent_path() / (out.filename().string() + "-emulator.log"), "listening on"))
  {
  }

  int port() const { return zarn::emu::test::tcp_port(*child_); }
  // Status names as --status takes them ("ok", "paper-out", "paused").
  void set_status(const std::string &names)
  {
    zarn::emu::test::ControlClient control(zarn::emu::test::control_port(*child_));
    EXPECT_EQ(control.say("EMULATOR STATUS " + names), "ok\r\n");
  }

 private:
  std::unique_ptr<ChildProcess> child_;
};

// ---- The app as a server ----------------------------------------------------

class AppServer {
 public:
  // prefix: a command that runs the server (the emulator's --usb --).
  explicit AppServer(const fs::path &dir, const std::vector<std::string> &options = {},
                     const std::vector<std::string> &prefix = {})
      : dir_(dir), home_(dir / "home"), log_(dir / "app.log")
  {
    fs::create_directories(home_);
    fs::create_directories(dir / "spool");
    // PAPPL names its local socket after the program: a name of its own
    // keeps this server apart from any other instance on the machine.
    program_ = dir / ("zarn-printer-app-test-" + std::to_string(::getpid()) + "-" +
                      std::to_string(++instances_));
    fs::create_symlink(ZARN_PRINTER_APP_BIN, program_);
    std::vector<std::string> argv = prefix;
    if (!prefix.empty())
      argv.insert(argv.end(), {"/usr/bin/env", "HOME=" + home_.string()});
    argv.insert(argv.end(), {program_.string(), "server", "-o", "server-port=0", "-o",
                             "spool-directory=" + (dir / "spool").string(), "-o",
                             "log-file=" + log_.string(), "-o", "log-level=info"});
    argv.insert(argv.end(), options.begin(), options.end());
    // Under the USB emulator umockdev's library is preloaded ahead of the
    // sanitizer runtime of a sanitizer build.
    argv_ = argv;
    start();
  }
  // Stops the server with SIGTERM and starts it again on the same state
  // (its port changes); false when it did not come back.
  bool restart()
  {
    terminate(20s);
    port_ = 0;
    start();
    return started();
  }
  ~AppServer()
  {
    // The USB emulator does not pass SIGTERM on to the command it runs, so
    // the app under it is stopped itself; the emulator then ends with it.
    for (const pid_t child : server_->children())
      ::kill(child, SIGTERM);
    server_->stop(10s);
    fs::remove(program_);
    // PAPPL leaves its local socket behind (root's lives in /run).
    std::error_code ec;
    fs::remove("/run/" + program_.filename().string() + ".sock", ec);
  }

  bool started() const { return port_ > 0; }
  // SIGTERM, as systemd stops the service: the exit status, or -1 when the
  // server was still running after limit (it is then killed).
  int terminate(std::chrono::milliseconds limit)
  {
    server_->signal(SIGTERM);
    return server_->wait(limit);
  }
  int port() const { return port_; }
  pid_t pid() const { return server_->pid(); }
  std::string server_log() const { return slurp(log_) + server_->log(); }
  const fs::path &home() const { return home_; }
  const fs::path &program() const { return program_; }
  std::vector<std::string> env() const { return {"HOME=" + home_.string()}; }
  std::string system_uri() const
  {
    return "ipp://127.0.0.1:" + std::to_string(port_) + "/ipp/system";
  }
  std::string printer_uri(const std::string &name) const
  {
    return "ipp://127.0.0.1:" + std::to_string(port_) + "/ipp/print/" + name;
  }

  // The app's own command line, against this server.
  Outcome cli(std::vector<std::string> args, const std::string &uri) const
  {
    args.insert(args.begin(), program_.string());
    args.insert(args.begin() + 2, {"-u", uri});
    return run(args, dir_, env());
  }

  Outcome add_printer(const std::string &name, const std::string &device_uri) const
  {
    return cli({"add", "-d", name, "-m", "label203", "-v", device_uri}, system_uri());
  }

  // Submits file with -o options; the job ID, or 0.
  int submit(const std::string &printer, const fs::path &file,
             const std::vector<std::string> &options = {}) const
  {
    std::vector<std::string> args{"submit"};
    for (const auto &o : options)
      args.insert(args.end(), {"-o", o});
    args.push_back(file.string());
    const Outcome r = cli(args, printer_uri(printer));
    EXPECT_EQ(r.status, 0) << r.output;
    return r.status == 0 ? std::atoi(r.output.c_str()) : 0;
  }

  // ipptool with a test file written for the occasion.
  Outcome ipptool(const std::string &uri, const std::string &test,
                  const std::vector<std::string> &extra = {}) const
  {
    static std::atomic<int> counter{0};
    const fs::path file = dir_ / ("request-" + std::to_string(++counter) + ".test");
    std::ofstream(file) << test;
    std::vector<std::string> argv{ZARN_IPPTOOL_BIN, "-tv"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {uri, file.string()});
    return run(argv, dir_);
  }

  std::map<std::string, std::string> printer_attributes(const std::string &printer) const
  {
    return ipp_values(ipptool(printer_uri(printer), R"({
  OPERATION Get-Printer-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR keyword requested-attributes printer-state,printer-state-reasons,printer-state-message
  STATUS successful-ok
})")
                          .output);
  }

  std::map<std::string, std::string> job_attributes(const std::string &printer, int job) const
  {
    return ipp_values(ipptool(printer_uri(printer), R"({
  OPERATION Get-Job-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR integer job-id $job
  ATTR keyword requested-attributes job-state,job-state-reasons,job-state-message
  STATUS successful-ok
})",
                              {"-d", "job=" + std::to_string(job)})
                          .output);
  }

  // Print-Job with an explicit document format; the ipptool run.
  Outcome print_job(const std::string &printer, const fs::path &file, const std::string &format,
                    const std::string &media = "oe_2x1-label_2x1in") const
  {
    return ipptool(printer_uri(printer), R"({
  OPERATION Print-Job
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR name requesting-user-name test
  ATTR mimeMediaType document-format $format
  GROUP job-attributes-tag
  ATTR keyword media $media
  FILE $filename
  STATUS successful-ok
})",
                   {"-d", "format=" + format, "-d", "media=" + media, "-f", file.string()});
  }

  // Waits for the job to end; its final job-state (9 completed, 8 aborted,
  // 7 canceled), or "" when it did not end in time.
  std::string wait_job(const std::string &printer, int job) const
  {
    std::string state;
    eventually([&] {
      state = job_attributes(printer, job)["job-state"];
      return state == "completed" || state == "aborted" || state == "canceled";
    });
    return state;
  }

 private:
  void start()
  {
    std::vector<std::string> server_env = env();
    server_env.push_back(zarn::test::asan_options_for_preload());
    const std::size_t logged = fs::exists(log_) ? fs::file_size(log_) : 0;
    server_ = std::make_unique<ChildProcess>(
        argv_, dir_ / ("server-" + std::to_string(++starts_) + ".out"), server_env);
    static const std::regex listening(R"(Listening for connections on '[^']*:(\d+)')");
    eventually(
        [&] {
          std::smatch m;
          const std::string log = slurp(log_);
          const std::string fresh = log.size() > logged ? log.substr(logged) : std::string();
          if (std::regex_search(fresh, m, listening))
            port_ = std::stoi(m[1]);
          return port_ > 0 || !server_->running();
        },
        10s);
  }

  static inline std::atomic<int> instances_{0};
  int starts_ = 0;
  std::vector<std::string> argv_;
  fs::path dir_, home_, log_, program_;
  std::unique_ptr<ChildProcess> server_;
  int port_ = 0;
};

inline int job_id_of(const Outcome &r)
{
  const auto values = ipp_values(r.output);
  const auto found = values.find("job-id");
  return found == values.end() ? 0 : std::atoi(found->second.c_str());
}

// The label PNG number n in dir, once the printer has written it whole.
inline std::optional<Image> label(const fs::path &dir, int n)
{
  char name[32];
  std::snprintf(name, sizeof name, "label-%04d.png", n);
  std::optional<Image> image;
  eventually(
      [&] {
        try {
          if (fs::exists(dir / name))
            image = read_png(dir / name);
        } catch (const std::exception &) {
          // still being written
        }
        return image.has_value();
      },
      5s);
  return image;
}

inline int labels_in(const fs::path &dir)
{
  int n = 0;
  for (const auto &e : fs::directory_iterator(dir))
    n += e.path().extension() == ".png";
  return n;
}

inline void expect_barcode(const Image &image)
{
  const auto found = decode_barcodes(image);
  if (found.size() != 1) {
    // Kept for a look at what was printed.
    const fs::path keep = fs::temp_directory_path() /
                          ("zarn-printer-app-unreadable-" + std::to_string(::getpid()) + ".png");
    zarn::emu::write_png(keep, image);
    ADD_FAILURE() << found.size() << " barcodes found in the label, kept as " << keep;
    return;
  }
  EXPECT_EQ(found[0].type, "CODE-128");
  EXPECT_EQ(found[0].data, kBarcodeText);
}

// "GET path" over HTTP/1.1: the status code.
inline int http_status(int port, const std::string &path)
{
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  char buf[64] = "";
  const ssize_t n = ::recv(fd, buf, sizeof buf - 1, MSG_WAITALL);
  ::close(fd);
  int code = -1;
  if (n > 12)
    std::sscanf(buf, "HTTP/%*s %d", &code);
  return code;
}

} // namespace
} // namespace zarn::emu::test
