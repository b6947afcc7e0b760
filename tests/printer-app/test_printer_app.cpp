// SPDX-License-Identifier: MIT
// zarn-printer-app end to end: the app runs as a server process on a free
// loopback port with its own HOME and spool folder, the emulator is its
// printer over TCP (and over USB through umockdev), and jobs go in through
// ipptool and the app's own PAPPL command line. Labels are checked by
// decoding the emulator's PNGs with zbar.
#include "app_harness.hpp"
#include "common/protocol.hpp"
#include "raster/costly_files.hpp"

#include <gtest/gtest.h>

#include <grp.h>

namespace zarn::emu::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// ---- One server and one emulator for the printing tests -------------------

class PrinterAppTest : public ::testing::Test {
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

  // The next label the emulator prints.
  std::optional<Image> next_label() { return label(labels_, ++printed_); }

  static inline TempDir *dir_ = nullptr;
  static inline fs::path labels_;
  static inline std::unique_ptr<ChildProcess> emulator_;
  static inline int emulator_port_ = 0;
  static inline AppServer *app_ = nullptr;
  static inline int printed_ = 0;
};

TEST_F(PrinterAppTest, AdvertisesWhatTheDriverPrints)
{
  auto attrs = ipp_values(app_->ipptool(app_->printer_uri("Labels"), R"({
  OPERATION Get-Printer-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR keyword requested-attributes document-format-supported,pwg-raster-document-type-supported,pwg-raster-document-resolution-supported,media-supported,media-tracking-supported,print-darkness-supported,printer-darkness-supported,print-speed-supported,print-quality-supported,printer-kind,printer-make-and-model
  STATUS successful-ok
})")
                              .output);
  for (const char *format : {"application/pdf", "image/png", "image/jpeg", "image/pwg-raster",
                             "image/urf", "application/vnd.zarn-label"})
    EXPECT_NE(attrs["document-format-supported"].find(format), std::string::npos) << format;
  // Only the raster type whose lines PAPPL hands over as described.
  EXPECT_EQ(attrs["pwg-raster-document-type-supported"], "sgray_8");
  EXPECT_EQ(attrs["pwg-raster-document-resolution-supported"], "203dpi");
  EXPECT_EQ(attrs["media-supported"],
            "oe_4x6-label_4x6in,oe_4x4-label_4x4in,oe_4x2-label_4x2in,oe_2x1-label_2x1in,"
            "om_100x150mm_100x150mm,om_100x50mm_100x50mm,om_62x29mm_62x29mm,om_57x32mm_57x32mm,"
            "roll_min_12x6mm,roll_max_108x1000mm");
  EXPECT_EQ(attrs["media-tracking-supported"], "continuous,gap,mark");
  EXPECT_EQ(attrs["printer-darkness-supported"], "16");
  EXPECT_FALSE(attrs["print-darkness-supported"].empty());
  EXPECT_EQ(attrs["print-speed-supported"], "2540-15240");
  EXPECT_EQ(attrs["print-quality-supported"], "draft,normal,high");
  EXPECT_EQ(attrs["printer-kind"], "label,roll");
  EXPECT_EQ(attrs["printer-make-and-model"], "Zarn Label Printer 203 dpi");
}

TEST_F(PrinterAppTest, PngPrintsOnTheMediaAsked)
{
  const fs::path png = dir_->path / "barcode.png";
  write_png(png);
  const int job = app_->submit("Labels", png, {"media=oe_4x2-label_4x2in", "print-scaling=fit"});
  ASSERT_GT(job, 0);
  ASSERT_EQ(app_->wait_job("Labels", job), "completed") << app_->server_log();
  const auto image = next_label();
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 813); // 101.6 mm at 8 dots per mm
  EXPECT_EQ(image->height, 406);
  expect_barcode(*image);
}

TEST_F(PrinterAppTest, PwgRasterPrintsOnTheMediaAsked)
{
  const fs::path pwg = dir_->path / "barcode.pwg";
  write_pwg(pwg, "oe_2x1-label_2x1in");
  const Outcome r = app_->print_job("Labels", pwg, "image/pwg-raster");
  const int job = job_id_of(r);
  ASSERT_GT(job, 0) << r.output;
  ASSERT_EQ(app_->wait_job("Labels", job), "completed") << app_->server_log();
  const auto image = next_label();
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 406); // 50.8 x 25.4 mm
  EXPECT_EQ(image->height, 203);
  expect_barcode(*image);
}

TEST_F(PrinterAppTest, PdfIsRenderedAndPrintedOnTheMediaAsked)
{
  const fs::path pdf = dir_->path / "barcode.pdf";
  write_pdf(pdf, 57 / 25.4 * 72, 32 / 25.4 * 72);
  const int job = app_->submit("Labels", pdf, {"media=om_57x32mm_57x32mm"});
  ASSERT_GT(job, 0);
  ASSERT_EQ(app_->wait_job("Labels", job), "completed") << app_->server_log();
  const auto image = next_label();
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 456);
  EXPECT_EQ(image->height, 256);
  expect_barcode(*image);
}

TEST_F(PrinterAppTest, ALabelInThePrintersLanguageGoesAsItIs)
{
  const fs::path raw = dir_->path / "label.zarn";
  std::ofstream(raw, std::ios::binary)
      << "SIZE 60 mm,30 mm\r\nCLS\r\nBARCODE 40,40,\"128\",120,0,0,2,2,\"" << kBarcodeText
      << "\"\r\nPRINT 1,1\r\n";
  const int job = job_id_of(app_->print_job("Labels", raw, "application/vnd.zarn-label"));
  ASSERT_GT(job, 0);
  ASSERT_EQ(app_->wait_job("Labels", job), "completed") << app_->server_log();
  const auto image = next_label();
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 480);
  EXPECT_EQ(image->height, 240);
  expect_barcode(*image);
}

TEST_F(PrinterAppTest, BadJobsEndWithAReasonAndThePrinterGoesOn)
{
  // A PNG whose data is damaged after a valid header.
  const fs::path png = dir_->path / "barcode.png";
  write_png(png);
  std::string bytes = slurp(png);
  for (size_t i = 40; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
  const fs::path corrupt = dir_->path / "corrupt.png";
  std::ofstream(corrupt, std::ios::binary) << bytes;
  // A PWG raster stream that ends in the middle of its page.
  const fs::path pwg = dir_->path / "whole.pwg";
  write_pwg(pwg, "oe_2x1-label_2x1in");
  const fs::path truncated = dir_->path / "truncated.pwg";
  write_pwg(truncated, "oe_2x1-label_2x1in", static_cast<long>(fs::file_size(pwg) / 2));

  // And a format the printer does not take: PAPPL accepts the job and ends it.
  const fs::path text = dir_->path / "note.txt";
  std::ofstream(text) << "plain text\n";

  // A 3 MB PDF whose one image has a thousand million pixels: over the
  // render budget, so it is refused before it is decoded.
  const fs::path costly = dir_->path / "costly.pdf";
  {
    const auto bytes = zarn::test::costly::huge_image_pdf(32000);
    std::ofstream(costly, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(bytes.size()));
  }

  // A raster page a little over a metre long: past the longest label, so
  // the printer would refuse its SIZE.
  const fs::path tall = dir_->path / "tall.pwg";
  write_pwg(tall, "custom_tall_50x1001mm");

  for (const auto &[file, format] : {std::pair{corrupt, "image/png"},
                                     {truncated, "image/pwg-raster"},
                                     {tall, "image/pwg-raster"},
                                     {text, "text/plain"},
                                     {costly, "application/pdf"}}) {
    SCOPED_TRACE(file.filename().string());
    const Outcome r = app_->print_job("Labels", file, format);
    const int job = job_id_of(r);
    ASSERT_GT(job, 0) << r.output;
    EXPECT_EQ(app_->wait_job("Labels", job), "aborted") << app_->server_log();
    const auto attrs = app_->job_attributes("Labels", job);
    EXPECT_NE(attrs.at("job-state-reasons"), "none");
    EXPECT_FALSE(attrs.at("job-state-reasons").empty());
    if (file == tall) {
      EXPECT_NE(attrs.at("job-state-message").find("1001 mm long; labels are at most 1000 mm"),
                std::string::npos)
          << attrs.at("job-state-message");
    }
    if (file == costly) {
      EXPECT_NE(attrs.at("job-state-message").find("page 1 needs more than 256 MiB"),
                std::string::npos)
          << attrs.at("job-state-message");
    }
  }

  // Nothing of them was printed, and the printer prints the next job.
  const int good = app_->submit("Labels", png, {"media=oe_2x1-label_2x1in", "print-scaling=fit"});
  ASSERT_EQ(app_->wait_job("Labels", good), "completed") << app_->server_log();
  const auto image = next_label();
  ASSERT_TRUE(image);
  expect_barcode(*image);
  EXPECT_EQ(labels_in(labels_), printed_);
  EXPECT_EQ(app_->printer_attributes("Labels")["printer-state"], "idle");
}

TEST_F(PrinterAppTest, ADeviceThatCannotWorkIsRefusedWhenAdded)
{
  for (const char *uri : {"zarn-serial:/etc/passwd", "zarn-serial:/dev/null",
                          "zarn-serial:/dev/ttyUSB0?baud=abc", "zarn-tcp://[::1]:9100",
                          "zarn-tcp://user@host", "zarn-tcp://127.0.0.1:-1", "zarn-usb://x"}) {
    const Outcome r = app_->add_printer("Bad", uri);
    EXPECT_NE(r.status, 0) << uri << "\n" << r.output;
  }
  // The command says why, in one line.
  const Outcome r = app_->add_printer("Bad", "zarn-serial:/dev/ttyUSB0?baud=abc");
  EXPECT_EQ(r.output, app_->program().filename().string() +
                          ": bad device 'zarn-serial:/dev/ttyUSB0?baud=abc': bad printer address "
                          "'serial:ttyUSB0?baud=abc': baud must be one of 115200, 38400, 19200, "
                          "9600, 4800, 2400, 1200, 300\n");
  // None of them became a printer; the good one still prints.
  EXPECT_EQ(app_->printer_attributes("Bad").count("printer-state"), 0u);
  // An IPP client that asks the server itself is refused as well.
  const Outcome created = app_->ipptool(app_->system_uri(), R"({
  OPERATION Create-Printer
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri system-uri $uri
  ATTR keyword printer-service-type print
  ATTR keyword smi55357-driver label203
  ATTR uri smi55357-device-uri zarn-serial:/etc/passwd
  GROUP printer-attributes-tag
  ATTR name printer-name Bad
  STATUS successful-ok
})");
  EXPECT_NE(created.status, 0) << created.output;
  EXPECT_NE(app_->server_log().find("Bad device \\'zarn-serial:/etc/passwd\\': the serial device "
                                    "must be /dev/tty"),
            std::string::npos)
      << app_->server_log();
  EXPECT_EQ(app_->printer_attributes("Labels")["printer-state"], "idle");
}

TEST_F(PrinterAppTest, ListensOnLoopbackOnlyAndKeepsItsStateUnderHome)
{
  // Every listening socket on the app's port is bound to a loopback address.
  int sockets = 0;
  for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      const auto colon = local.rfind(':');
      if (state != "0A" || std::stoi(local.substr(colon + 1), nullptr, 16) != app_->port())
        continue;
      ++sockets;
      const std::string addr = local.substr(0, colon);
      EXPECT_TRUE(addr == "0100007F" || addr == "00000000000000000000000001000000") << addr;
    }
  }
  EXPECT_GT(sockets, 0);
  // Admin pages need no login on this machine.
  EXPECT_EQ(http_status(app_->port(), "/config"), 200);

  const fs::path state =
      app_->home() / ".config" / (app_->program().filename().string() + ".state");
  ASSERT_TRUE(eventually([&] { return slurp(state).find("Labels") != std::string::npos; }, 10s))
      << state;
}

// ---- Paper out: the job waits and goes on --------------------------------

// The app with one printer, "Stalled": an emulator out of paper whose
// status the test changes through its control port.
class PrinterAppStatus : public ::testing::Test {
 protected:
  void SetUp() override
  {
    fs::create_directories(out_);
    printer_ = std::make_unique<ControlledEmulator>(out_, "paper-out");
    app_ = std::make_unique<AppServer>(dir_.path / "app");
    ASSERT_TRUE(app_->started()) << app_->server_log();
    const Outcome added =
        app_->add_printer("Stalled", "zarn-tcp://127.0.0.1:" + std::to_string(printer_->port()));
    ASSERT_EQ(added.status, 0) << added.output;
    write_png(png_);
  }

  // Submits the barcode label and waits until the job waits for the printer.
  int submit_until_waiting(const std::vector<std::string> &options)
  {
    const int job = app_->submit("Stalled", png_, options);
    EXPECT_TRUE(eventually([&] {
      return app_->job_attributes("Stalled", job)["job-state-reasons"] == "printer-stopped";
    })) << app_->server_log();
    return job;
  }

  TempDir dir_;
  const fs::path out_ = dir_.path / "labels";
  const fs::path png_ = dir_.path / "barcode.png";
  std::unique_ptr<ControlledEmulator> printer_;
  std::unique_ptr<AppServer> app_;
};

TEST_F(PrinterAppStatus, PaperOutHoldsTheJobUntilThePrinterIsReady)
{
  // A job that meets paper out_ waits, and can be cancelled while it waits.
  const int cancelled = submit_until_waiting({"media=oe_2x1-label_2x1in"});
  EXPECT_EQ(app_->printer_attributes("Stalled")["printer-state-reasons"], "media-empty");
  ASSERT_EQ(
      app_->cli({"cancel", "-j", std::to_string(cancelled)}, app_->printer_uri("Stalled")).status,
      0);
  EXPECT_EQ(app_->wait_job("Stalled", cancelled), "canceled");

  const int job = app_->submit("Stalled", png_, {"media=oe_2x1-label_2x1in", "print-scaling=fit"});
  ASSERT_TRUE(eventually([&] {
    const auto attrs = app_->job_attributes("Stalled", job);
    return attrs.at("job-state") == "processing" &&
           attrs.at("job-state-reasons") == "printer-stopped";
  })) << app_->server_log();
  const auto waiting = app_->job_attributes("Stalled", job);
  EXPECT_NE(waiting.at("job-state-message").find("media-empty"), std::string::npos);
  EXPECT_EQ(app_->printer_attributes("Stalled")["printer-state-reasons"], "media-empty");
  EXPECT_EQ(labels_in(out_), 0);

  printer_->set_status("ok");
  EXPECT_EQ(app_->wait_job("Stalled", job), "completed") << app_->server_log();
  const auto image = label(out_, 1);
  ASSERT_TRUE(image);
  expect_barcode(*image);
  EXPECT_EQ(labels_in(out_), 1);
  EXPECT_TRUE(eventually(
      [&] { return app_->printer_attributes("Stalled")["printer-state-reasons"] == "none"; }));

  // Paused at the printer: the queue is paused, and resumed with it.
  printer_->set_status("paused");
  EXPECT_TRUE(eventually([&] {
    auto attrs = app_->printer_attributes("Stalled");
    return attrs["printer-state"] == "stopped" && attrs["printer-state-reasons"] == "paused";
  })) << app_->server_log();
  printer_->set_status("ok");
  EXPECT_TRUE(eventually([&] {
    auto attrs = app_->printer_attributes("Stalled");
    return attrs["printer-state"] == "idle" && attrs["printer-state-reasons"] == "none";
  })) << app_->server_log();
}

// A stop does not wait for paper: the job waiting for it ends, and so does
// the server.
TEST_F(PrinterAppStatus, StopsWhileAJobWaitsForPaper)
{
  submit_until_waiting({"media=oe_2x1-label_2x1in"});
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(app_->terminate(10s), 0) << app_->server_log();
  EXPECT_NE(app_->server_log().find(
                "The printer application is stopping; the printer was not ready: media-empty."),
            std::string::npos)
      << app_->server_log();
  EXPECT_EQ(labels_in(out_), 0);
}

// The status byte 0x52 (paper jam, paused, cover open) is the printer's
// answer, not a failed receive: its conditions show, and the queue pauses.
TEST_F(PrinterAppStatus, StatusByte0x52IsReadAsItsConditions)
{
  printer_->set_status("0x52");
  std::map<std::string, std::string> attrs;
  EXPECT_TRUE(eventually([&] {
    attrs = app_->printer_attributes("Stalled");
    return attrs["printer-state"] == "stopped";
  })) << app_->server_log();
  const std::string reasons = attrs["printer-state-reasons"];
  for (const char *reason : {"media-jam", "cover-open", "paused"})
    EXPECT_NE(reasons.find(reason), std::string::npos) << reason << " in " << reasons;
  EXPECT_EQ(reasons.find("offline"), std::string::npos) << reasons;
}

// A TCP printer that takes the connection and never answers is offline
// after the app's reply timeout, not after libzarn's 10 s receive wait.
TEST(PrinterAppSilent, ASilentTcpPrinterIsOfflineWithinTheReplyTimeout)
{
  TempDir dir;
  zarn::test::LoopbackPeer silent; // reads everything, answers nothing
  AppServer app(dir.path / "app");
  ASSERT_TRUE(app.started()) << app.server_log();
  ASSERT_EQ(
      app.add_printer("Silent", "zarn-tcp://127.0.0.1:" + std::to_string(silent.port())).status, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(eventually([&] {
    return app.printer_attributes("Silent")["printer-state-reasons"] == "offline";
  })) << app.server_log();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
  EXPECT_GT(silent.connections(), 0);
}

TEST(PrinterAppSilent, AJobWaitsForASilentPrinterAndPrintsWhenItAnswers)
{
  TempDir dir;
  zarn::test::FakeTcpPrinter quiet; // reads, and answers nothing until told to
  AppServer app(dir.path / "app");
  ASSERT_TRUE(app.started()) << app.server_log();
  ASSERT_EQ(app.add_printer("Quiet", "zarn-tcp://127.0.0.1:" + std::to_string(quiet.port())).status,
            0);
  const fs::path png = dir.path / "label.png";
  write_png(png);
  const int job = app.submit("Quiet", png, {"media=oe_2x1-label_2x1in"});
  ASSERT_GT(job, 0) << app.server_log();
  // Longer than a status request waits for its answer, several times over.
  ASSERT_TRUE(eventually(
      [&] {
        return app.job_attributes("Quiet", job)["job-state-reasons"].find("printer-stopped") !=
               std::string::npos;
      },
      20s))
      << app.server_log();
  std::this_thread::sleep_for(6s);
  EXPECT_EQ(app.job_attributes("Quiet", job)["job-state"], "processing") << app.server_log();
  EXPECT_NE(app.job_attributes("Quiet", job)["job-state-message"].find("no reply"),
            std::string::npos);

  // It answers again: ready. The label is sent.
  quiet.on({protocol::kStatusRequest, {{std::string(1, '\0')}}});
  EXPECT_EQ(app.wait_job("Quiet", job), "completed") << app.server_log();
  EXPECT_TRUE(quiet.wait_for_text("PRINT 1")) << quiet.received().size();
}

// ---- USB through umockdev ------------------------------------------------------

TEST(PrinterAppUsb, PrintsToTheUsbPrinter)
{
  TempDir dir;
  const fs::path out = dir.path / "labels";
  fs::create_directories(out);
  AppServer app(dir.path / "app", {}, {ZARN_EMULATOR_BIN, "--out", out.string(), "--usb", "--"});
  ZARN_REQUIRE_FAKE(app.started(),
                    "the app did not start under the USB emulator: " + app.server_log());
  const Outcome added = app.add_printer("Usb", "zarn-usb://");
  ASSERT_EQ(added.status, 0) << added.output;
  const fs::path pwg = dir.path / "barcode.pwg";
  write_pwg(pwg, "oe_2x1-label_2x1in");
  const int job = job_id_of(app.print_job("Usb", pwg, "image/pwg-raster"));
  ASSERT_GT(job, 0);
  ASSERT_EQ(app.wait_job("Usb", job), "completed") << app.server_log();
  const auto image = label(out, 1);
  ASSERT_TRUE(image);
  expect_barcode(*image);
}

// ---- On the network the admin pages ask for a login ---------------------------

TEST(PrinterAppNetwork, ListeningOnTheNetworkTurnsAuthenticationOn)
{
  TempDir dir;
  // Bound to every address; the test itself only talks to 127.0.0.1.
  AppServer app(dir.path / "app", {"-o", "listen-hostname=*"});
  ASSERT_TRUE(app.started()) << app.server_log();
  EXPECT_EQ(http_status(app.port(), "/"), 200);
  EXPECT_EQ(http_status(app.port(), "/config"), 401);
  const Outcome added = app.add_printer("Open", "zarn-tcp://127.0.0.1:9");
  EXPECT_NE(added.status, 0);
  EXPECT_NE(added.output.find("Unauthorized"), std::string::npos) << added.output;
  // Not every account PAM accepts administers: a group does, by default
  // Debian's printer administrators.
  const std::string group = ::getgrnam("lpadmin") != nullptr ? "lpadmin" : "root";
  EXPECT_NE(app.server_log().find("Administration is for the group " + group + "."),
            std::string::npos)
      << app.server_log();
}

TEST(PrinterAppNetwork, AnAdminGroupThatDoesNotExistIsRefused)
{
  // PAPPL would let every account in, as if no group were given.
  TempDir dir;
  AppServer app(dir.path / "app",
                {"-o", "listen-hostname=*", "-o", "admin-group=zarn-no-such-group"});
  EXPECT_FALSE(app.started());
  EXPECT_NE(app.server_log().find("bad admin-group value 'zarn-no-such-group': there is no such "
                                  "group"),
            std::string::npos)
      << app.server_log();
}

} // namespace
} // namespace zarn::emu::test
