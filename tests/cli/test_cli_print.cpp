// SPDX-License-Identifier: MIT
// zarn print and Printer::print_image against the emulator over TCP, serial
// and USB: what the emulator prints is the --preview image dot for dot,
// barcodes on it scan, pages are selected, and bad files send nothing.
#include "cli_test_util.hpp"
#include "image.hpp" // the emulator's PNG reader
#include "raster_fixtures.hpp"
#include "zarn.hpp"

#include <zint.h>

#include <cstdlib>

namespace zarn::cli::test {
namespace {

namespace rt = zarn::raster::test;
using zarn::test::FakeTcpPrinter;

emu::Image png(const fs::path &file) { return emu::read_png(file); }

std::vector<std::string> scan(const emu::Image &img)
{
  rt::Dots d;
  d.width = img.width;
  d.height = img.height;
  d.ink = img.px;
  return rt::scan(d);
}

fs::path label_png(const fs::path &out, int n)
{
  char name[32];
  std::snprintf(name, sizeof name, "label-%04d.png", n);
  return out / name;
}

std::string asan_options()
{
  const char *asan = std::getenv("ASAN_OPTIONS");
  return std::string("ASAN_OPTIONS=") + (asan ? asan : "") + (asan && *asan ? ":" : "") +
         "verify_asan_link_order=0";
}

using Codes = std::vector<std::string>;

class Print : public ::testing::Test {
 protected:
  void SetUp() override
  {
    rt::Grey g(400, 240);
    g.paste_barcode(BARCODE_CODE128, "ZARN-PNG-1", 20, 20, 2, 90);
    g.paste_barcode(BARCODE_QRCODE, "https://example.org/t/1", 260, 110, 4);
    png_file = put("label.png", rt::png_file(g)).string();
    rt::Grey j(400, 240);
    j.paste_barcode(BARCODE_CODE128, "ZARN-JPG-2", 20, 60, 2, 90);
    jpeg_file = put("photo.jpg", rt::jpeg_file(j)).string();
    // 4 x 3 in pages with bars of 1 pt.
    pdf_file = put("ship.pdf", rt::code128_pdf_pages({"PAGE-ONE", "PAGE-TWO", "PAGE-THREE"}, 288,
                                                     216, 20, 40, 1.0))
                   .string();
  }
  // The PNG cut in half: the header is whole, the pixels end early.
  fs::path cut_png()
  {
    const std::string whole = slurp(png_file);
    return put("cut.png",
               std::vector<std::uint8_t>(whole.begin(), whole.begin() + whole.size() / 2));
  }
  fs::path put(const std::string &name, const std::vector<std::uint8_t> &bytes)
  {
    rt::write_file(dir.path / name, bytes);
    return dir.path / name;
  }
  // zarn print JOB... to the printer at address, with --wait.
  static Result print(const std::string &address, const std::vector<std::string> &job)
  {
    std::vector<std::string> args{"print", "-p", address, "--wait"};
    args.insert(args.end(), job.begin(), job.end());
    return run_zarn(args);
  }
  // The previews of a job, in dir/name: the files zarn print says it wrote.
  std::vector<fs::path> preview(const std::vector<std::string> &job, const std::string &name)
  {
    fs::create_directories(dir.path / name);
    std::vector<std::string> args{"print", "--preview", (dir.path / name / "p.png").string()};
    args.insert(args.end(), job.begin(), job.end());
    const Result r = run_zarn(args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<fs::path> files;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
      files.emplace_back(line);
    return files;
  }
  // Each preview printed copies times, in order, and nothing after them.
  static void expect_printed(const fs::path &out, const std::vector<fs::path> &previews,
                             int copies = 1)
  {
    int n = 1;
    for (const fs::path &p : previews)
      for (int c = 0; c < copies; ++c, ++n)
        EXPECT_TRUE(png(label_png(out, n)) == png(p)) << "label " << n << " is not " << p;
    EXPECT_FALSE(fs::exists(label_png(out, n))) << "label " << n << " is one too many";
  }
  static Codes codes(const fs::path &out, int n) { return scan(png(label_png(out, n))); }

  TempDir dir;
  std::string png_file, jpeg_file, pdf_file;
};

TEST_F(Print, PngJpegAndPdfPagesOverTcpAreThePreviewDotForDotAndScan)
{
  auto emu = Emulator::tcp(dir.path / "tcp");
  ZARN_REQUIRE_FAKE(emu != nullptr, "the emulator did not start");
  // Pages print in the file's order whatever the order in the list; the
  // pictures print their one page.
  const std::vector<std::string> job{png_file, jpeg_file, pdf_file, "--pages",
                                     "3,2",    "--label", "4x3in"};
  const std::vector<fs::path> previews = preview(job, "preview");
  const fs::path base = dir.path / "preview";
  ASSERT_EQ(previews, (std::vector<fs::path>{base / "p-1.png", base / "p-2.png", base / "p-3.png",
                                             base / "p-4.png"}));
  const Result r = print(emu->address(), job);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "printed\n");
  EXPECT_EQ(r.err, "") << "no progress when not on a terminal";
  ASSERT_TRUE(emu->wait_for("label 4:")) << emu->log();
  expect_printed(emu->out(), previews);
  const emu::Image first = png(label_png(emu->out(), 1));
  EXPECT_EQ(first.width, 813); // 4 x 3 in at 8 dots/mm
  EXPECT_EQ(first.height, 610);
  EXPECT_EQ(scan(first), (Codes{"CODE-128:ZARN-PNG-1", "QR-Code:https://example.org/t/1"}));
  EXPECT_EQ(codes(emu->out(), 2), (Codes{"CODE-128:ZARN-JPG-2"}));
  EXPECT_EQ(codes(emu->out(), 3), (Codes{"CODE-128:PAGE-TWO"}));
  EXPECT_EQ(codes(emu->out(), 4), (Codes{"CODE-128:PAGE-THREE"}));

  // One label: the preview is the name given. A picture on standard input.
  const fs::path one = dir.path / "one.png";
  const Result s =
      run_zarn({"print", "-", "--label", "4x3in", "--preview", one.string()}, slurp(png_file));
  EXPECT_EQ(s.out, one.string() + "\n") << s.err;
  EXPECT_TRUE(png(one) == first);
}

TEST_F(Print, WithoutALabelThePageKeepsItsOwnSize)
{
  // A PDF page at its size (4 x 3 in), a picture one pixel a dot.
  const std::vector<fs::path> own = preview({pdf_file, "--pages", "2-", png_file}, "own");
  ASSERT_EQ(own.size(), 3u);
  EXPECT_EQ(std::make_pair(png(own[0]).width, png(own[0]).height), std::make_pair(813, 610));
  EXPECT_EQ(scan(png(own[0])), (Codes{"CODE-128:PAGE-TWO"}));
  EXPECT_EQ(std::make_pair(png(own[2]).width, png(own[2]).height), std::make_pair(400, 240));
}

// One meaning everywhere: a page named twice is printed once, in file order.
TEST_F(Print, APageNamedTwiceIsPrintedOnce)
{
  EXPECT_EQ(preview({pdf_file, "--pages", "1,1"}, "twice").size(), 1u);
  const auto order = preview({pdf_file, "--pages", "3,1"}, "order");
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(scan(png(order[0])), (Codes{"CODE-128:PAGE-ONE"}));
}

// Paper for two labels and a job of four: two print, --wait reports paper
// out with exit status 2, and the labels after it are not printed.
TEST_F(Print, WaitReportsPaperRunningOutInTheMiddleOfAJob)
{
  auto emu = Emulator::tcp(dir.path / "tcp", {"--paper", "2"});
  ZARN_REQUIRE_FAKE(emu != nullptr, "the emulator did not start");
  const std::vector<std::string> job{png_file, jpeg_file, pdf_file, "--pages",
                                     "1-2",    "--label", "4x3in"};
  const std::vector<fs::path> previews = preview(job, "preview");
  ASSERT_EQ(previews.size(), 4u);
  const Result r = print(emu->address(), job);
  EXPECT_EQ(r.out, "paper out\n");
  EXPECT_EQ(r.status, 2) << r.err;
  ASSERT_TRUE(emu->wait_for("label 2:")) << emu->log();
  expect_printed(emu->out(), {previews[0], previews[1]});
  const std::string log = emu->log();
  const std::string refused = "not printed: the printer reports status 0x04";
  EXPECT_NE(log.find(refused, log.find(refused) + 1), std::string::npos) << "labels 3 and 4" << log;
}

// A 300-dpi printer: the job made at 300 dpi prints as previewed and scans.
TEST_F(Print, At300DpiOnA300DpiPrinterTheLabelScans)
{
  auto emu = Emulator::tcp(dir.path / "tcp", {"--dpi", "300"});
  ZARN_REQUIRE_FAKE(emu != nullptr, "the emulator did not start");
  const std::vector<std::string> job{png_file,  pdf_file, "--pages", "2",
                                     "--label", "4x3in",  "--dpi",   "300"};
  const std::vector<fs::path> previews = preview(job, "preview");
  ASSERT_EQ(previews.size(), 2u);
  const Result r = print(emu->address(), job);
  EXPECT_EQ(r.out, "printed\n");
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(emu->wait_for("label 2:")) << emu->log();
  expect_printed(emu->out(), previews);
  const emu::Image first = png(label_png(emu->out(), 1));
  EXPECT_EQ(first.width, 1219); // 4 x 3 in at 12 dots/mm
  EXPECT_EQ(first.height, 914);
  EXPECT_EQ(scan(first), (Codes{"CODE-128:ZARN-PNG-1", "QR-Code:https://example.org/t/1"}));
  EXPECT_EQ(codes(emu->out(), 2), (Codes{"CODE-128:PAGE-TWO"}));
}

TEST_F(Print, SerialAndUsbPrintThePreviewWithCopies)
{
  const std::vector<std::string> job{png_file,  jpeg_file, pdf_file,   "--pages", "1",
                                     "--label", "4x3in",   "--copies", "2"};
  const std::vector<fs::path> previews = preview(job, "preview");
  ASSERT_EQ(previews.size(), 3u);

  ZARN_REQUIRE_FAKE(::geteuid() == 0, "not root: cannot link the emulator's pty under /dev");
  auto serial = Emulator::serial(dir.path / "serial");
  ZARN_REQUIRE_FAKE(serial != nullptr, "the emulator's serial line did not start");
  Result r = print("serial:" + serial->serial_name(), job);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "printed\n");
  ASSERT_TRUE(serial->wait_for("label 6:")) << serial->log();
  expect_printed(serial->out(), previews, 2);

  const fs::path usb = dir.path / "usb";
  std::vector<std::string> argv{emulator_bin(), "--out", usb.string(), "--usb", "--",
                                zarn_bin(),     "print", "-p",         "usb",   "--wait"};
  argv.insert(argv.end(), job.begin(), job.end());
  r = run_program(argv, {"ZARN_PRINTER", asan_options()});
  ZARN_REQUIRE_FAKE(r.status == 0 || !has(r.out, "USB:"),
                    "umockdev testbed not available: " + r.out);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.out.ends_with("\nprinted\n")) << r.out;
  expect_printed(usb, previews, 2);
}

TEST_F(Print, BadFilesAndOptionsGiveOneLineAndSendNothing)
{
  FakeTcpPrinter printer;
  const std::string p = "tcp://127.0.0.1:" + std::to_string(printer.port());
  const std::string good = png_file, pdf = pdf_file;
  const std::string cut = cut_png().string();
  const std::string text = put("notes.txt", {'h', 'e', 'l', 'l', 'o', '\n'}).string();
  const std::string empty = put("empty.png", {}).string();
  const std::string missing = (dir.path / "missing.png").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      // A damaged second file stops the job before the first is sent.
      {{good, cut}, cut + ": damaged PNG"},
      {{good, text}, text + ": not a picture or PDF"},
      {{empty}, empty + ": "},
      {{good, missing}, missing + ": cannot open: No such file or directory"},
      {{good, dir.path.string()}, dir.path.string() + ": is a folder"},
      {{good, pdf, "--pages", "2,5"}, pdf + ": there is no page 5 (it has 3 pages)"},
      {{pdf, "--pages", "4-"}, "there is no page 4"},
      {{pdf, "--pages", "3-1"}, "bad page list '3-1': the range 3-1 runs backwards"},
      {{pdf, "--pages", "1,x"}, "bad page list '1,x'"},
      {{good, "--threshold", "150%"}, "bad threshold '150%'"},
      {{good, "--threshold", "40%", "--dither", "atkinson"}, "--threshold goes with --dither"},
      {{good, "--label", "0x5mm"}, "bad label size '0x5mm'"},
      {{good, "--margin", "2"}, "--margin requires --label"},
      {{good, "--label", "50x30mm", "--margin", "1,2,3"}, "bad margin '1,2,3'"},
      {{good, "--label", "50x30mm", "--margin", "15"}, "the margins leave no room on the label"},
      {{good, "--dpi", "250"}, "--dpi"},
      // A page over its memory budget, and budgets that make no sense.
      {{good, "--label", "200x200mm", "--dpi", "600", "--max-mib", "1"},
       good + ": page 1 needs more than 1 MiB"},
      {{good, "--max-seconds", "0"}, "--max-seconds"},
      {{good, "--max-mib", "0"}, "--max-mib"},
      {{good, "--preview", "x.png", "--wait"}, "excludes"},
      {{"-", "-"}, "standard input (-) can be given only once"},
      {{}, "FILE is required"},
  };
  for (const auto &[files, why] : cases) {
    std::vector<std::string> args{"print", "-p", p};
    args.insert(args.end(), files.begin(), files.end());
    expect_refused(args, why);
  }
  EXPECT_EQ(printer.accepted(), 0) << "a bad job connected to the printer";
  EXPECT_EQ(printer.received().size(), 0u);
}

TEST_F(Print, ProgressOnATerminalOnly)
{
  auto emu = Emulator::tcp(dir.path / "tcp");
  ZARN_REQUIRE_FAKE(emu != nullptr, "the emulator did not start");
  const Result r =
      run_zarn_on_terminal({"print", png_file, pdf_file, "--label", "4x3in", "-p", emu->address()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "\rlabel 1 of 4  ")) << r.out;
  EXPECT_TRUE(has(r.out, "\rlabel 4 of 4  ")) << r.out;
  EXPECT_TRUE(has(r.out, " KiB of ")) << r.out;
  EXPECT_TRUE(has(r.out, "\rsent 4 labels, ")) << r.out;
  EXPECT_TRUE(emu->wait_for("label 4:")) << emu->log();
}

TEST_F(Print, AStopSignalMidLabelLetsThatLabelEndWhole)
{
  ZARN_REQUIRE_FAKE(::geteuid() == 0, "not root: cannot link the printer's pty under /dev");
  zarn::test::FakeSerialPrinter fake;
  ZARN_REQUIRE_FAKE(fake.problem().empty(), fake.problem());
  // Two labels of 480 KB each; the printer takes nothing for a while, so
  // the first is in the middle of its BITMAP when the signal comes.
  rt::Grey g(1600, 2400);
  g.paste_barcode(BARCODE_CODE128, "ZARN-STOP", 40, 40, 4, 200);
  const std::string big = put("big.png", rt::png_file(g)).string();
  fake.pause_reading(true);
  const pid_t pid = zarn::test::spawn_logged(
      {zarn_bin(), "print", "-p", "serial:" + fake.port_name(), big, big},
      environment({"ZARN_PRINTER"}), {}, dir.path / "stop.out", dir.path / "stop.err");
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(1500ms);
  ::kill(pid, SIGTERM);
  std::this_thread::sleep_for(300ms);
  fake.pause_reading(false);
  EXPECT_EQ(wait_exit(pid, 60s), 128 + SIGTERM) << slurp(dir.path / "stop.err");
  EXPECT_EQ(slurp(dir.path / "stop.err"),
            "zarn: stopped by signal 15: label 1 of 2 was sent whole, 1 not sent\n");

  // One whole label: its BITMAP has every byte its header declares, then
  // its PRINT, and nothing of the second.
  ASSERT_TRUE(fake.wait_for_text("PRINT 1,1\r\n", 10s)) << fake.received().size();
  const std::string got = fake.received();
  const std::size_t at = got.find("BITMAP ");
  ASSERT_NE(at, std::string::npos);
  int x = 0, y = 0, w = 0, h = 0;
  ASSERT_EQ(std::sscanf(got.c_str() + at, "BITMAP %d,%d,%d,%d,0,", &x, &y, &w, &h), 4);
  const std::size_t data = got.find(",0,", at) + 3;
  EXPECT_EQ(got.substr(data + static_cast<std::size_t>(w) * static_cast<std::size_t>(h)),
            "PRINT 1,1\r\n");
}

TEST_F(Print, PrintImageThroughTheCppInterface)
{
  auto emu = Emulator::tcp(dir.path / "tcp");
  ZARN_REQUIRE_FAKE(emu != nullptr, "the emulator did not start");
  ImageOptions o;
  o.label_width_mm = 101.6;
  o.label_height_mm = 152.4;
  o.dpi = 203;
  o.dither = Dither::atkinson;
  o.rotate = Rotate::automatic;
  o.fit = Fit::shrink;
  o.margin_top_mm = 10;
  o.margin_left_mm = 4;
  o.copies = 2;
  // The same label as the C interface makes it from its own options.
  zarn_raster_options c;
  zarn_raster_options_init(&c);
  c.label_width_mm = 101.6;
  c.label_height_mm = 152.4;
  c.dither = ZARN_RASTER_DITHER_ATKINSON;
  c.rotate = ZARN_RASTER_ROTATE_AUTO;
  c.fit = ZARN_RASTER_FIT_SHRINK;
  c.margin_top_mm = 10;
  c.margin_left_mm = 4;
  zarn_raster_bitmap *expected = nullptr;
  ASSERT_EQ(zarn_raster_render_file(pdf_file.c_str(), 2, &c, &expected), ZARN_RASTER_OK);
  const rt::Bitmap owned(expected);
  const fs::path want = dir.path / "want.png";
  ASSERT_EQ(zarn_raster_bitmap_write_png(expected, want.c_str()), ZARN_RASTER_OK);

  std::size_t done = 0, total = 0;
  {
    Printer printer = Printer::tcp("127.0.0.1", emu->port());
    printer.print_image(pdf_file, 2, o, [&](std::size_t d, std::size_t t) {
      done = d;
      total = t;
    });
    EXPECT_EQ(printer.wait_until_printed(std::chrono::seconds(10)), WaitOutcome::printed);
  }
  EXPECT_GT(total, 0u);
  EXPECT_EQ(done, total);
  ASSERT_TRUE(emu->wait_for("label 2:")) << emu->log();
  EXPECT_TRUE(png(label_png(emu->out(), 1)) == png(want));
  EXPECT_TRUE(png(label_png(emu->out(), 2)) == png(want));
  // The page is turned to fit the tall label: its bars run down and still scan.
  EXPECT_EQ(scan(png(label_png(emu->out(), 1))), (std::vector<std::string>{"CODE-128:PAGE-TWO"}));
}

TEST_F(Print, PrintImageThrowsTheRasterMessageAndSendsNothing)
{
  FakeTcpPrinter fake;
  Printer printer = Printer::tcp("127.0.0.1", fake.port());
  try {
    printer.print_image(pdf_file, 4);
    ADD_FAILURE() << "printed a page the PDF does not have";
  } catch (const ImageError &e) {
    EXPECT_EQ(e.status(), ZARN_RASTER_ERR_PAGE);
    EXPECT_STREQ(e.what(),
                 (pdf_file + ": page 4: there is no page 4 (the PDF has 3 pages)").c_str());
  }
  EXPECT_THROW(printer.print_image(cut_png()), FileError); // ImageError is a FileError
  ImageOptions bad;
  bad.dpi = 250; // the options' fault, not the file's: an Error, not an ImageError
  try {
    printer.print_image(png_file, 1, bad);
    ADD_FAILURE() << "printed at 250 dpi";
  } catch (const ImageError &e) {
    ADD_FAILURE() << e.what();
  } catch (const Error &e) {
    EXPECT_TRUE(has(e.what(), "dpi must be 203, 300 or 600")) << e.what();
  }
  EXPECT_EQ(fake.received().size(), 0u) << "bytes went out for a job that failed";
}

} // namespace
} // namespace zarn::cli::test
