// SPDX-License-Identifier: MIT
// The zarn program against the emulator over TCP, serial and USB: output,
// JSON and exit status of each command, --wait outcomes, progress only on a
// terminal, one clear line for bad input, the man page and the install.
#include "cli_test_util.hpp"

#include <nlohmann/json.hpp>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <pwd.h>

#include <cstdint>

namespace zarn::cli::test {
namespace {

using Json = nlohmann::json;

// Width and height from a PNG's header.
std::pair<int, int> png_size(const fs::path &file)
{
  const std::string b = slurp(file);
  if (b.size() < 24)
    return {0, 0};
  auto be32 = [&](std::size_t at) {
    return (static_cast<unsigned char>(b[at]) << 24) |
           (static_cast<unsigned char>(b[at + 1]) << 16) |
           (static_cast<unsigned char>(b[at + 2]) << 8) | static_cast<unsigned char>(b[at + 3]);
  };
  return {be32(16), be32(20)};
}

class Command : public ::testing::Test {
 protected:
  void SetUp() override
  {
    emu = Emulator::tcp(dir.path);
    ZARN_REQUIRE_FAKE(emu != nullptr, "the emulator did not start");
    p = emu->address();
  }
  // Sets the emulator's status byte through the command itself.
  void set_status(const std::string &s)
  {
    const Result r = run_zarn({"-p", p, "send", "-"}, "EMULATOR STATUS " + s + "\r\n");
    ASSERT_EQ(r.status, 0) << r.err;
  }
  fs::path write(const std::string &name, const std::string &bytes)
  {
    std::ofstream(dir.path / name, std::ios::binary) << bytes;
    return dir.path / name;
  }

  TempDir dir;
  std::unique_ptr<Emulator> emu;
  std::string p;
};

TEST_F(Command, StatusAndInfoInWordsAndJson)
{
  Result r = run_zarn({"status", "-p", p});
  EXPECT_EQ(r.out, "ready\n");
  EXPECT_EQ(r.status, 0);
  set_status("paper-out+head-open");
  // The address may come from ZARN_PRINTER; -p wins over it.
  r = run_zarn({"status"}, "", {"ZARN_PRINTER=" + p});
  EXPECT_EQ(r.out, "paper out, head open\n");
  EXPECT_EQ(r.status, 2);
  r = run_zarn({"-p", p, "status"}, "", {"ZARN_PRINTER=tcp://127.0.0.1:1"});
  EXPECT_EQ(r.status, 2) << r.err;

  r = run_zarn({"status", "--json", "-p", p});
  EXPECT_EQ(r.status, 2);
  const Json s = Json::parse(r.out);
  EXPECT_EQ(s["printer"], "tcp://127.0.0.1:" + std::to_string(emu->port()));
  EXPECT_EQ(s["status"], "paper out, head open");
  EXPECT_EQ(s["reply"], "answered");
  EXPECT_EQ(s["byte"], 5);
  EXPECT_EQ(s["ready"], false);
  EXPECT_EQ(s["needs_attention"], true);
  EXPECT_EQ(s["conditions"], Json::array({"paper out", "head open"}));

  set_status("printing"); // busy, not in need of a person
  r = run_zarn({"status", "-p", p});
  EXPECT_EQ(r.out, "printing\n");
  EXPECT_EQ(r.status, 0);

  set_status("ok");
  r = run_zarn({"info", "-p", "tcp://localhost:" + std::to_string(emu->port())});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "printer  tcp://localhost:" + std::to_string(emu->port()) +
                       " (127.0.0.1:" + std::to_string(emu->port()) +
                       ")\nname     ZARN-EMU 203\nserial   ZE00000001\nstatus   ready\n");
  r = run_zarn({"info", "--json", "-p", p});
  const Json i = Json::parse(r.out);
  EXPECT_EQ(i["name"], "ZARN-EMU 203");
  EXPECT_EQ(i["serial"], "ZE00000001");
  EXPECT_EQ(i["status"]["status"], "ready");
  EXPECT_EQ(i["status"]["byte"], 0);
}

TEST_F(Command, QueryUploadAndTextReachThePrinter)
{
  Result r = run_zarn({"query", "OUT \"abc\";\"def\"", "-p", p});
  EXPECT_EQ(r.out, "abcdef\r\n");
  EXPECT_EQ(r.status, 0);

  const fs::path logo = write("logo.bmp", std::string("BM\0\x01\x02", 5) + std::string(3000, 'x'));
  r = run_zarn({"upload", logo.string(), "-p", p});
  EXPECT_EQ(r.status, 0) << r.err;
  r = run_zarn({"upload", logo.string(), "--as", "LOGO2.BMP", "-p", p});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "") << "quiet when not on a terminal";

  r = run_zarn({"text", "Hello", "--font", ZARN_TEST_FONT, "--size", "30", "-p", p, "--wait"});
  EXPECT_EQ(r.out, "printed\n");
  EXPECT_EQ(r.status, 0) << r.err;
  r = run_zarn({"text", "Hi", "--font", ZARN_TEST_FONT, "--size", "30", "--label", "50x30mm",
                "--at", "16,8", "-p", p, "--wait"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(emu->out() / "files" / "logo.bmp"), slurp(logo));
  EXPECT_EQ(slurp(emu->out() / "files" / "LOGO2.BMP"), slurp(logo));
  EXPECT_EQ(png_size(emu->out() / "label-0001.png"), std::make_pair(800, 480));
  EXPECT_EQ(png_size(emu->out() / "label-0002.png"), std::make_pair(400, 240));
}

TEST_F(Command, WaitReportsTheOutcomeAndItsExitStatus)
{
  const std::string job = "SIZE 20 mm,10 mm\r\nCLS\r\nBAR 8,8,40,20\r\n";
  struct Case {
    std::string ending, out;
    int status;
  } cases[] = {
      {"PRINT 1\r\n", "printed\n", 0},
      {"EMULATOR STATUS paper-out\r\nPRINT 1\r\n", "paper out\n", 2},
      {"EMULATOR STATUS head-open\r\nPRINT 1\r\n", "head or cover open\n", 2},
      {"EMULATOR STATUS ok\r\nPRINT 1\r\n", "printed\n", 0},
  };
  for (const Case &c : cases) {
    const fs::path file = write("job.txt", job + c.ending);
    const Result r = run_zarn({"send", file.string(), "--wait", "-p", p});
    EXPECT_EQ(r.out, c.out) << c.ending << r.err;
    EXPECT_EQ(r.status, c.status) << c.ending;
  }
  EXPECT_TRUE(emu->wait_for("label 2:"));
  EXPECT_FALSE(has(emu->log(), "label 3:")) << "a blocked label was printed";

  const auto t0 = std::chrono::steady_clock::now();
  Result r = run_zarn({"send", "-", "--wait", "--timeout", "0.3", "-p", p},
                      "EMULATOR STATUS printing\r\n");
  EXPECT_EQ(r.out, "timed out\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);

  VanishingPeer gone(false); // takes the job, then hangs up on the status request
  r = run_zarn({"send", "-", "--wait", "-p", "tcp://127.0.0.1:" + std::to_string(gone.port())},
               job + "PRINT 1\r\n");
  EXPECT_EQ(r.out, "no reply\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(Command, ProgressOnATerminalOnly)
{
  std::string big = "CLS\r\n";
  while (big.size() < 64 * 1024)
    big += "TEXT 10,10,\"2\",0,1,1,\"progress progress progress progress\"\r\n";
  const fs::path file = write("big.txt", big);
  const std::string size = std::to_string(big.size() / 1024) + ".";

  Result r = run_zarn_on_terminal({"send", file.string(), "-p", p});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "\r")) << r.out;
  EXPECT_TRUE(has(r.out, " KiB of " + size)) << r.out;
  EXPECT_TRUE(has(r.out, "/s  ")) << r.out;
  EXPECT_TRUE(has(r.out, " s left")) << r.out;
  EXPECT_TRUE(has(r.out, "sent " + size)) << r.out;
  r = run_zarn_on_terminal({"upload", file.string(), "-p", p});
  EXPECT_TRUE(has(r.out, "sent " + size)) << r.out;

  r = run_zarn({"send", file.string(), "-p", p});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(run_zarn({"status", "-p", p}).out, "ready\n"); // the stream is whole
  EXPECT_EQ(slurp(emu->out() / "files" / "big.txt"), big);
}

TEST_F(Command, BadInputGivesOneLineAndExitStatus1)
{
  std::uint16_t unused = 0;
  ::close(zarn::test::listen_on_loopback(unused));
  const std::string refused = "tcp://127.0.0.1:" + std::to_string(unused);
  const std::string font = ZARN_TEST_FONT;
  std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"status", "-p", "lpt1"}, "bad printer address 'lpt1'"},
      {{"status", "-p", "serial:ttyUSB0?baud=7"}, "baud must be one of"},
      {{"status", "-p", "serial:ttyZCLINONE"}, "/dev/ttyZCLINONE: No such file or directory"},
      {{"status", "-p", refused}, "Connection refused"},
      {{"status", "-p", "tcp://no-such-printer.invalid"}, "'no-such-printer.invalid'"},
      {{"send", "/nonexistent/labels.txt", "-p", p}, "cannot read /nonexistent/labels.txt"},
      {{"upload", "/nonexistent/logo.bmp", "-p", p}, "cannot read /nonexistent/logo.bmp"},
      {{"text", "x", "--font", "/nonexistent.ttf", "--size", "9", "-p", p}, "the font"},
      {{"text", "x", "--font", font, "--size", "9", "--label", "0x5", "-p", p}, "bad label size"},
      {{"text", "x", "--font", font, "--size", "9", "--at", "1;2", "-p", p}, "bad position"},
      {{"text", "x", "--size", "9", "-p", p}, "--font is required"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{}, "no command given"},
      {{"status", "--bogus"}, "--bogus"},
      // Numbers that make no wait, empty names, and a text no label holds.
      {{"send", "-", "--wait", "--timeout", "9.3e9", "-p", p}, "seconds from 0.001 to 86400"},
      {{"send", "-", "--wait", "--timeout", "1e300", "-p", p}, "seconds from 0.001 to 86400"},
      {{"send", "-", "--wait", "--timeout", "nan", "-p", p}, "seconds from 0.001 to 86400"},
      {{"status", "--timeout", "nan", "-p", p}, "seconds from 0.001 to 60"},
      {{"print", "x.png", "--max-seconds", "nan", "-p", p}, "seconds from 0.001 to 86400"},
      {{"status", "-p", ""}, "the printer address is empty"},
      {{"print", font, "--preview", "", "-p", p}, "the --preview file name is empty"},
      {{"text", std::string(400, 'W'), "--font", font, "--size", "2000", "-p", p},
       "label holds at most 2362 x 1417"},
  };
  const std::string plain = "/dev/ttyZCLIFILE" + std::to_string(::getpid());
  if (::geteuid() == 0) {
    std::ofstream(plain) << "not a terminal";
    cases.push_back(
        {{"status", "-p", "serial:" + plain.substr(5)}, plain + ": it is not a terminal"});
    // A terminal, but a screen: nothing may be written to it.
    struct stat st {};
    if (::stat("/dev/tty0", &st) == 0 && S_ISCHR(st.st_mode))
      cases.push_back({{"status", "-p", "serial:tty0"}, "/dev/tty0: it is a console"});
  }
  for (const auto &[args, why] : cases)
    expect_refused(args, why);
  fs::remove(plain);
  // Nothing of the bad commands reached the printer.
  EXPECT_FALSE(has(emu->log(), "label 1:"));
}

// AddressSanitizer keeps freed blocks in a quarantine of up to 256 MiB and
// pads every block, so there resident memory runs past what was used.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kSanitizerSlackKib = 512 * 1024;
#else
constexpr long kSanitizerSlackKib = 0;
#endif

// Runs zarn with standard input from stdin_path; its exit status and the
// most memory it held (KiB), or -1 when it did not end within a minute.
std::pair<int, long> run_zarn_measured(const std::vector<std::string> &args,
                                       const fs::path &stdin_path, const fs::path &err)
{
  std::vector<std::string> argv{zarn_bin()};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = zarn::test::spawn_logged(argv, environment({"ZARN_PRINTER"}), stdin_path,
                                             fs::path(err).replace_extension(".out"), err);
  if (pid <= 0)
    return {-2, 0};
  for (int i = 0; i < 6000; ++i) {
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, WNOHANG, &usage) == pid)
      return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), usage.ru_maxrss};
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return {-1, 0};
}

TEST_F(Command, StreamsAreSentAsTheyAreReadAndBoundedWhereHeldWhole)
{
  // 256 MiB to send: read and sent a chunk at a time, so far less is held.
  const fs::path big = dir.path / "big.bin";
  fs::resize_file((std::ofstream(big), big), 256u << 20); // zero bytes, which the printer skips
  const auto [sent, sent_kib] =
      run_zarn_measured({"send", big.string(), "-p", p}, "/dev/null", dir.path / "send.err");
  EXPECT_EQ(sent, 0) << slurp(dir.path / "send.err");
  EXPECT_LT(sent_kib, 96 * 1024 + kSanitizerSlackKib) << "KiB held to send 256 MiB";
  EXPECT_EQ(run_zarn({"status", "-p", p}).out, "ready\n"); // every byte arrived

  // A picture from a stream is held whole: refused past 1 GiB, not read
  // until memory runs out.
  const auto [printed, printed_kib] =
      run_zarn_measured({"print", "-", "--preview", (dir.path / "zero.png").string()}, "/dev/zero",
                        dir.path / "print.err");
  EXPECT_EQ(printed, 1);
  EXPECT_EQ(slurp(dir.path / "print.err"),
            "zarn: standard input is larger than 1 GiB, the most a picture or PDF may be\n");
  EXPECT_LT(printed_kib, 1200 * 1024 + kSanitizerSlackKib);
}

TEST_F(Command, PrinterTextReachesATerminalWithoutItsControlBytes)
{
  // A name and serial that would retitle, recolour and turn round the
  // terminal they are shown on.
  zarn::test::FakeTcpPrinter fake;
  fake.on({protocol::kStatusRequest, {{std::string(1, '\0')}}});
  fake.on({protocol::kNameRequest, {{"ZP\x1b]0;owned\x07\x1b[31m\xe2\x80\xae\r\n"}}});
  fake.on({protocol::kSerialRequest,
           {{"S\x9b"
             "2J\\1\r\n"}}});
  const std::string at = "tcp://127.0.0.1:" + std::to_string(fake.port());
  Result r = run_zarn({"info", "-p", at});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "name     ZP\\x1b]0;owned\\x07\\x1b[31m\\xe2\\x80\\xae\n")) << r.out;
  EXPECT_TRUE(has(r.out, "serial   S\\x9b2J\\\\1\n")) << r.out;
  EXPECT_EQ(r.out.find_first_of("\x1b\x07\x9b"), std::string::npos) << r.out;
}

TEST_F(Command, UploadRefusesANameThatWouldEndItsHeader)
{
  // A file's own name, or the one given with --as, goes between quotes in
  // the DOWNLOAD header; these would let the file's bytes run as commands.
  const std::string payload = "PRINT 1,2\r\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"upload", write("logo\",9,.pcx", payload).string(), "-p", p}, "a double quote (\")"},
      {{"upload", write("a\nPRINT 1,2\nb", payload).string(), "-p", p}, "a line break (LF)"},
      {{"upload", write("c\rd", payload).string(), "-p", p}, "a line break (CR)"},
      {{"upload", write("plain.txt", payload).string(), "--as", "x\"y", "-p", p},
       "a double quote (\")"},
      {{"upload", write("plain.txt", payload).string(), "--as", "x\r\nPRINT 1,3", "-p", p},
       "a line break (CR)"},
  };
  for (const auto &[args, why] : cases) {
    SCOPED_TRACE(args[1]);
    const Result r = run_zarn(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, why)) << r.err;
    EXPECT_TRUE(has(r.err, "--as")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
  }
  // Nothing reached the printer: no file stored, no label printed.
  const Result r = run_zarn({"-p", p, "send", "-"}, "CLS\r\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(has(emu->log(), "stored"));
  EXPECT_FALSE(has(emu->log(), "label 1:"));
}

TEST_F(Command, PermissionDeniedOnASerialDevice)
{
  ZARN_REQUIRE_FAKE(::geteuid() == 0, "not root: cannot run as another user");
  const passwd *nobody = ::getpwnam("nobody");
  ZARN_REQUIRE_FAKE(nobody != nullptr, "no user nobody");
  auto serial = Emulator::serial(dir.path / "serial");
  ZARN_REQUIRE_FAKE(serial != nullptr, "the emulator's serial line did not start");
  const fs::path err = dir.path / "err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ::dup2(fd, 2);
    ::setgroups(0, nullptr);
    if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)
      ::_exit(99);
    const std::string address = "serial:" + serial->serial_name();
    ::execl(zarn_bin().c_str(), "zarn", "status", "-p", address.c_str(), nullptr);
    ::_exit(98);
  }
  EXPECT_EQ(wait_exit(pid, 30s), 1);
  EXPECT_EQ(slurp(err), "zarn: cannot open the serial printer /dev/" + serial->serial_name() +
                            ": Permission denied\n");
}

TEST_F(Command, SerialLineSettingsAndWait)
{
  ZARN_REQUIRE_FAKE(::geteuid() == 0, "not root: cannot link the emulator's pty under /dev");
  auto serial = Emulator::serial(dir.path / "serial", {"--status", "paper-out"});
  ZARN_REQUIRE_FAKE(serial != nullptr, "the emulator's serial line did not start");
  const std::string address = "serial:" + serial->serial_name() + "?baud=9600";
  Result r = run_zarn({"status", "-p", address});
  EXPECT_EQ(r.out, "paper out\n");
  EXPECT_EQ(r.status, 2);
  const fs::path job = write("job.txt", "EMULATOR STATUS ok\r\nCLS\r\nPRINT 1\r\n");
  r = run_zarn({"send", job.string(), "--wait", "-p", address});
  EXPECT_EQ(r.out, "printed\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(serial->wait_for("label 1:"));
}

TEST_F(Command, UsbThroughTheEmulator)
{
  const char *asan = std::getenv("ASAN_OPTIONS");
  const std::string asan_options = std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                                   (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
  auto under_usb = [&](std::vector<std::string> args, const std::string &status = "ok") {
    std::vector<std::string> argv{emulator_bin(), "--out",   (dir.path / "usb").string(),
                                  "--status",     status,    "--usb",
                                  "--",           zarn_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, {"ZARN_PRINTER", asan_options});
  };
  Result r = under_usb({"status", "-p", "usb"});
  ZARN_REQUIRE_FAKE(r.status == 0 || !has(r.out, "USB:"),
                    "umockdev testbed not available: " + r.out);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "\nready\n")) << r.out;
  r = under_usb({"status"}, "0x52");
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_TRUE(has(r.out, "\npaper jam, cover open, paused\n")) << r.out;
  r = under_usb({"list", "--json"});
  EXPECT_EQ(r.status, 0) << r.out;
  const Json list = Json::parse(r.out.substr(r.out.find('{')));
  ASSERT_EQ(list["usb"].size(), 1u) << r.out;
  EXPECT_EQ(list["usb"][0]["vendor"], "1203");
  EXPECT_EQ(list["usb"][0]["product"], "Zarn Label Printer");
  EXPECT_EQ(list["usb"][0]["serial"], "ZT0001");
  EXPECT_EQ(list["usb"][0]["can_open"], true);
  r = under_usb({"list"});
  EXPECT_TRUE(has(r.out, "  bus 001 address 002  1203:0001  Zarn Zarn Label Printer  serial ZT0001 "
                         " /dev/bus/usb/001/002  you may open it\n"))
      << r.out;
}

TEST(CommandHelp, EveryCommandHasHelpAndTheManPageCoversIt)
{
  const Result top = run_zarn({"--help"});
  EXPECT_EQ(top.status, 0);
  const std::string man = slurp(fs::path(ZARN_SOURCE_DIR) / "cli" / "zarn.1");
  for (const std::string cmd :
       {"status", "info", "send", "query", "upload", "text", "print", "list", "doctor"}) {
    EXPECT_TRUE(has(top.out, "  " + cmd + " ")) << cmd;
    const Result r = run_zarn({cmd, "--help"});
    EXPECT_EQ(r.status, 0) << cmd;
    EXPECT_TRUE(has(r.out, "Exit status:")) << cmd;
    EXPECT_TRUE(has(man, ".B zarn " + cmd)) << cmd;
  }
  for (const std::string code : {".B 0\n", ".B 1\n", ".B 2\n", ".B 3\n"})
    EXPECT_TRUE(has(man, code)) << code;
  EXPECT_TRUE(has(top.out, "3  --wait: still printing when the time-out ran out"));
}

TEST(CommandInstall, InstallPlacesCommandManPageHeaderAndUdevRule)
{
  TempDir dir;
  const Result r = run_program(
      {ZARN_CMAKE, "--install", ZARN_BINARY_DIR, "--prefix", (dir.path / "usr").string()});
  ASSERT_EQ(r.status, 0) << r.out;
  const fs::path usr = dir.path / "usr";
  EXPECT_TRUE(fs::exists(usr / "bin" / "zarn")) << r.out;
  EXPECT_TRUE(fs::exists(usr / "include" / "zarn.hpp")) << r.out;
  EXPECT_TRUE(fs::exists(usr / "share" / "man" / "man1" / "zarn.1")) << r.out;
  EXPECT_EQ(slurp(usr / "lib" / "udev" / "rules.d" / "70-zarn.rules"),
            slurp(fs::path(ZARN_SOURCE_DIR) / "cli" / "70-zarn.rules"))
      << r.out;
}

// A silent printer is "no reply" after the command's reply timeout (2 s, or
// --timeout), not after the library's 10 s receive wait.
TEST(CommandSilence, SilentPrinterIsNoReplyAfterTheTimeout)
{
  zarn::test::FakeTcpPrinter silent;
  const std::string address = "tcp://127.0.0.1:" + std::to_string(silent.port());
  for (const auto &[args, wait] :
       {std::pair{std::vector<std::string>{"status", "-p", address}, 2000ms},
        std::pair{std::vector<std::string>{"status", "--timeout", "0.5", "-p", address}, 500ms}}) {
    const auto t0 = std::chrono::steady_clock::now();
    const Result r = run_zarn(args);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(r.out, "no reply\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_GE(took, wait - 20ms);
    EXPECT_LT(took, wait + 2s) << "the library's 10 s receive wait was taken";
  }
  const Result bad = run_zarn({"status", "--timeout", "0", "-p", address});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("--timeout"), std::string::npos) << bad.err;
}

} // namespace
} // namespace zarn::cli::test
