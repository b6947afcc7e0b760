// SPDX-License-Identifier: MIT
// What a job gets when it asks for nothing: a picture fitted whole and
// crisp, a queue that CUPS makes with -m everywhere printing at full size,
// Identify-Printer feeding a blank label, and the ribbon as a supply.
#include "app_harness.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

namespace zarn::emu::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class PrinterAppDefaultsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite()
  {
    dir_ = new TempDir;
    labels_ = dir_->path / "labels";
    fs::create_directories(labels_);
    emulator_ =
        run_emulator({"--tcp", "0", "--out", labels_.string()}, dir_->path / "emulator.log");
    emulator_port_ = tcp_port(*emulator_);
    app_ = new AppServer(dir_->path / "app");
  }
  static void TearDownTestSuite()
  {
    delete app_;
    emulator_.reset();
    delete dir_;
  }

  void SetUp() override
  {
    ZARN_REQUIRE_FAKE(emulator_port_ > 0, "the emulator did not start: " + emulator_->log());
    ASSERT_TRUE(app_->started()) << app_->server_log();
    static bool added = false;
    if (!added) {
      const Outcome r =
          app_->add_printer("Labels", "zarn-tcp://127.0.0.1:" + std::to_string(emulator_port_));
      ASSERT_EQ(r.status, 0) << r.output << app_->server_log();
      added = true;
    }
  }

  std::optional<Image> next_label() { return label(labels_, ++printed_); }

  static inline TempDir *dir_ = nullptr;
  static inline fs::path labels_;
  static inline std::unique_ptr<ChildProcess> emulator_;
  static inline int emulator_port_ = 0;
  static inline AppServer *app_ = nullptr;
  static inline int printed_ = 0;
};

struct Box {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0; // x1, y1 one past the last ink
  int width() const { return x1 - x0; }
  int height() const { return y1 - y0; }
};

Box ink_box(const Image &image)
{
  Box b{image.width, image.height, 0, 0};
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x)
      if (image.px[static_cast<std::size_t>(y) * image.width + x]) {
        b.x0 = std::min(b.x0, x);
        b.y0 = std::min(b.y0, y);
        b.x1 = std::max(b.x1, x + 1);
        b.y1 = std::max(b.y1, y + 1);
      }
  return b;
}

bool ink(const Image &image, int x, int y)
{
  return image.px[static_cast<std::size_t>(y) * image.width + x] != 0;
}

// Lines across the bars (along the barcode) that differ from the middle
// one: a ragged bar edge makes them differ.
int ragged_lines(const Image &image, const Box &b)
{
  const bool along_x = b.width() > b.height(); // the barcode lies across the label
  const int lines = along_x ? b.height() : b.width();
  const int length = along_x ? b.width() : b.height();
  const auto at = [&](int line, int i) {
    return along_x ? ink(image, b.x0 + i, b.y0 + line) : ink(image, b.x0 + line, b.y0 + i);
  };
  int ragged = 0;
  // The bars' ends may be cut unevenly: only the inner lines count.
  for (int line = lines / 10; line < lines - lines / 10; ++line)
    for (int i = 0; i < length; ++i)
      if (at(line, i) != at(lines / 2, i)) {
        ++ragged;
        break;
      }
  return ragged;
}

TEST_F(PrinterAppDefaultsTest, APngWithNoOptionsIsFittedWholeAndCrisp)
{
  const fs::path png = dir_->path / "barcode.png";
  write_png(png);
  const int job = app_->submit("Labels", png);
  ASSERT_GT(job, 0);
  ASSERT_EQ(app_->wait_job("Labels", job), "completed") << app_->server_log();
  const auto image = next_label();
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 813); // the default label, 4 x 6 in
  EXPECT_EQ(image->height, 1219);
  expect_barcode(*image);
  // Whole: the quiet zones keep the bars off the label's edges.
  const Box b = ink_box(*image);
  EXPECT_GT(b.x0, 0);
  EXPECT_GT(b.y0, 0);
  EXPECT_LT(b.x1, image->width);
  EXPECT_LT(b.y1, image->height);
  // Crisp: every line across the bars is the same.
  EXPECT_EQ(ragged_lines(*image, b), 0);

  // Asked for, fill still fills the label and cuts the picture's ends.
  const int filled = app_->submit("Labels", png, {"print-scaling=fill"});
  ASSERT_EQ(app_->wait_job("Labels", filled), "completed") << app_->server_log();
  const auto cut = next_label();
  ASSERT_TRUE(cut);
  // Fitted, the quiet zones leave a tenth of the label's length blank;
  // filled, they are cut off with the ends of the bars.
  const Box c = ink_box(*cut);
  EXPECT_GT(std::max(c.width() / double(cut->width), c.height() / double(cut->height)), 0.97)
      << c.x0 << "," << c.y0 << " to " << c.x1 << "," << c.y1;
  EXPECT_LT(std::max(b.width() / double(image->width), b.height() / double(image->height)), 0.95);
}

TEST_F(PrinterAppDefaultsTest, IdentifyFeedsOneBlankLabel)
{
  auto attrs = ipp_values(app_->ipptool(app_->printer_uri("Labels"), R"({
  OPERATION Get-Printer-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR keyword requested-attributes identify-actions-supported,identify-actions-default
  STATUS successful-ok
})")
                              .output);
  EXPECT_EQ(attrs["identify-actions-supported"], "flash");
  EXPECT_EQ(attrs["identify-actions-default"], "flash");

  const int before = labels_in(labels_);
  ASSERT_EQ(before, printed_);
  const Outcome r = app_->ipptool(app_->printer_uri("Labels"), R"({
  OPERATION Identify-Printer
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR name requesting-user-name test
  ATTR keyword identify-actions flash
  STATUS successful-ok
})");
  ASSERT_EQ(r.status, 0) << r.output;
  const auto fed = next_label();
  ASSERT_TRUE(fed) << app_->server_log();
  EXPECT_EQ(std::count(fed->px.begin(), fed->px.end(), 0), static_cast<long>(fed->px.size()))
      << "the label fed is not blank";
  EXPECT_NE(slurp(dir_->path / "emulator.log").find("FORMFEED"), std::string::npos);
  // One label only, and the printer is idle after it.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(labels_in(labels_), before + 1);
  EXPECT_EQ(app_->printer_attributes("Labels")["printer-state"], "idle");
}

TEST_F(PrinterAppDefaultsTest, TheRibbonIsASupplyThatFollowsTheStatus)
{
  const fs::path out = dir_->path / "ribbon-labels";
  fs::create_directories(out);
  ControlledEmulator emulator(out, "ok");
  ZARN_REQUIRE_FAKE(emulator.port() > 0, "the emulator with a control port did not start");
  const Outcome r =
      app_->add_printer("Ribbon", "zarn-tcp://127.0.0.1:" + std::to_string(emulator.port()));
  ASSERT_EQ(r.status, 0) << r.output << app_->server_log();
  const auto supplies = [&] {
    return ipp_values(app_->ipptool(app_->printer_uri("Ribbon"), R"({
  OPERATION Get-Printer-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR keyword requested-attributes marker-names,marker-levels,marker-types,printer-supply-info-uri,printer-state-reasons
  STATUS successful-ok
})")
                          .output);
  };
  std::map<std::string, std::string> attrs;
  const auto level_becomes = [&](const std::string &level) {
    return eventually(
        [&] {
          attrs = supplies();
          return attrs["marker-levels"] == level;
        },
        10s);
  };
  EXPECT_TRUE(level_becomes("-1")) << attrs["marker-levels"]; // present, how much unknown
  EXPECT_EQ(attrs["marker-names"], "Ribbon");
  EXPECT_EQ(attrs["marker-types"], "ink-ribbon");
  // The supplies page it points to is there.
  const std::string uri = attrs["printer-supply-info-uri"];
  const auto path = uri.find("/ipp/") == std::string::npos ? uri.find('/', uri.find("//") + 2)
                                                           : std::string::npos;
  ASSERT_NE(path, std::string::npos) << uri;
  EXPECT_EQ(http_status(app_->port(), uri.substr(path)), 200) << uri;

  emulator.set_status("ribbon-out");
  EXPECT_TRUE(level_becomes("0")) << attrs["marker-levels"];
  EXPECT_NE(attrs["printer-state-reasons"].find("marker-supply-empty"), std::string::npos);
  emulator.set_status("ok");
  EXPECT_TRUE(level_becomes("-1")) << attrs["marker-levels"];
  app_->cli({"delete", "-d", "Ribbon"}, app_->system_uri());
}

// ---- CUPS's -m everywhere queue against the app ----------------------------

// cupsd in the foreground with its own files under dir, on a free loopback
// port. Run as root it hands filters to the lp user, so dir is opened up.
class Cupsd {
 public:
  explicit Cupsd(const fs::path &dir) : dir_(dir)
  {
    std::uint16_t port = 0;
    const int fd = zarn::test::listen_on_loopback(port);
    ::close(fd);
    port_ = port;
    for (const char *sub : {"", "/spool", "/cache", "/state", "/log", "/tmp", "/ppd"})
      fs::create_directories(dir.string() + sub);
    // Only the test's own folders, up to the temporary directory.
    const fs::path top = fs::temp_directory_path();
    for (fs::path p = dir; ::geteuid() == 0 && p != top && p != p.root_path(); p = p.parent_path())
      fs::permissions(p, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
    fs::permissions(dir / "tmp", fs::perms::all | fs::perms::sticky_bit);
    std::ofstream(dir / "cupsd.conf") << "Listen 127.0.0.1:" << port_ << "\n"
                                      << "LogLevel debug\nBrowsing Off\nDefaultAuthType None\n"
                                      << "<Location />\n  Order allow,deny\n  Allow all\n"
                                      << "</Location>\n"
                                      << "<Location /admin>\n  Order allow,deny\n  Allow all\n"
                                      << "</Location>\n";
    std::ofstream(dir / "cups-files.conf")
        << "ServerRoot " << dir.string() << "\nRequestRoot " << (dir / "spool").string()
        << "\nCacheDir " << (dir / "cache").string() << "\nStateDir " << (dir / "state").string()
        << "\nTempDir " << (dir / "tmp").string() << "\nErrorLog "
        << (dir / "log/error_log").string() << "\nAccessLog " << (dir / "log/access_log").string()
        << "\nPageLog " << (dir / "log/page_log").string()
        << "\nServerBin /usr/lib/cups\nDataDir /usr/share/cups\n"
        << "FileDevice No\nSandboxing Relaxed\n";
    child_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{kCupsd, "-f", "-c", (dir / "cupsd.conf").string(), "-s",
                                 (dir / "cups-files.conf").string()},
        dir / "cupsd.out");
    eventually([&] { return http_status(port_, "/") == 200 || !child_->running(); }, 10s);
  }

  bool running() const { return child_->running(); }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string log() const { return slurp(dir_ / "log/error_log") + child_->log(); }

  static inline const char *kCupsd = "/usr/sbin/cupsd";

 private:
  fs::path dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> child_;
};

// The *PageSize option names in a PPD.
std::vector<std::string> page_sizes(const std::string &ppd)
{
  std::vector<std::string> names;
  static const std::regex size(R"(^\*PageSize ([^/: ]+))");
  std::istringstream in(ppd);
  std::string line;
  std::smatch m;
  while (std::getline(in, line))
    if (std::regex_search(line, m, size))
      names.push_back(m[1]);
  return names;
}

TEST_F(PrinterAppDefaultsTest, CupsEverywhereQueueDefaultsToTheLabelAndPrintsFullSize)
{
  if (!fs::exists(Cupsd::kCupsd) || !fs::exists("/usr/sbin/lpadmin") || !fs::exists("/usr/bin/lp"))
    ZARN_REQUIRE_FAKE(false, "cupsd, lpadmin or lp is not installed (cups-daemon, cups-client)");
  Cupsd cupsd(dir_->path / "cups");
  ZARN_REQUIRE_FAKE(cupsd.running(), "cupsd did not start: " + cupsd.log());

  const std::vector<std::string> env{"CUPS_SERVER=" + cupsd.server(),
                                     "HOME=" + app_->home().string()};
  const Outcome added = run({"/usr/sbin/lpadmin", "-p", "Zarn", "-E", "-v",
                             app_->printer_uri("Labels"), "-m", "everywhere"},
                            dir_->path, env);
  ASSERT_EQ(added.status, 0) << added.output << cupsd.log();
  // cupsd writes the queue's PPD a moment after lpadmin returns.
  std::string ppd;
  eventually(
      [&] {
        ppd = slurp(dir_->path / "cups/ppd/Zarn.ppd");
        return ppd.find("*CloseUI: *PageSize") != std::string::npos;
      },
      10s);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(ppd, m, std::regex(R"(\*DefaultPageSize: (\S+))"))) << ppd;
  const std::string default_size = m[1];
  const auto sizes = page_sizes(ppd);
  EXPECT_EQ(default_size, "4x6");
  EXPECT_NE(std::find(sizes.begin(), sizes.end(), default_size), sizes.end())
      << "the default " << default_size << " is none of the PPD's sizes";

  // A 4 x 6 in PDF printed with no options fills the default label.
  const fs::path pdf = dir_->path / "label-4x6.pdf";
  write_pdf(pdf, 4 * 72, 6 * 72);
  fs::permissions(dir_->path, fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(pdf, fs::perms::others_read, fs::perm_options::add);
  const Outcome printed = run({"/usr/bin/lp", "-d", "Zarn", pdf.string()}, dir_->path, env);
  ASSERT_EQ(printed.status, 0) << printed.output << cupsd.log();
  const auto image = next_label();
  ASSERT_TRUE(image) << cupsd.log() << app_->server_log();
  EXPECT_EQ(image->width, 813);
  EXPECT_EQ(image->height, 1219);
  expect_barcode(*image);
  // The barcode spans the page but its quiet zones: 10 of its modules at
  // each end. Shrunk onto a Letter page it would be under half as wide.
  const auto modules = code128_modules(kBarcodeText).size();
  const double expected = 813.0 * static_cast<double>(modules - 20) / static_cast<double>(modules);
  EXPECT_NEAR(ink_box(*image).width(), expected, 813 * 0.02);

  run({"/usr/sbin/lpadmin", "-x", "Zarn"}, dir_->path, env);
}

} // namespace
} // namespace zarn::emu::test
