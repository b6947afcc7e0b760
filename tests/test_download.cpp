// SPDX-License-Identifier: MIT
// downloadpcx over a loopback TCP connection: the DOWNLOAD block byte for
// byte, and every way a file can fail to be read.
#include "fake_printer.hpp"
#include "wire.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zarn::test;
namespace fs = std::filesystem;

namespace {

std::string block(const std::string &name, const std::string &bytes)
{
  return "DOWNLOAD F,\"" + name + "\"," + std::to_string(bytes.size()) + "," + bytes + "\r\n\r\n";
}

class Download : public ::testing::Test {
 protected:
  void SetUp() override
  {
    std::string tmpl = (fs::temp_directory_path() / "zarn-download-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
    ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
  }
  void TearDown() override
  {
    closeport();
    fs::remove_all(dir);
  }

  std::string make_file(const std::string &name, const std::string &bytes)
  {
    const std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // downloadpcx, with what it printed on standard output.
  int download(const std::string &path, const std::string &name, std::string &out)
  {
    ::testing::internal::CaptureStdout();
    const int result = downloadpcx(text(path), text(name));
    out = ::testing::internal::GetCapturedStdout();
    return result;
  }

  void expect_wire(const std::string &expected, std::chrono::milliseconds limit = 5s)
  {
    zarn::test::expect_wire(printer, expected, limit);
  }

  fs::path dir;
  FakeTcpPrinter printer;
};

TEST_F(Download, BinaryContentGoesOutUnchanged)
{
  const std::string bytes("\0\x01\r\n\0\xFF\"DOWNLOAD\0", 15);
  std::string out;
  EXPECT_EQ(download(make_file("logo.pcx", bytes), "LOGO.PCX", out), 1);
  EXPECT_EQ(out, "");
  expect_wire(block("LOGO.PCX", bytes));
}

TEST_F(Download, EmptyFileSendsHeaderAndLineBreakOnly)
{
  std::string out;
  EXPECT_EQ(download(make_file("empty", ""), "E", out), 1);
  EXPECT_EQ(out, "");
  expect_wire("DOWNLOAD F,\"E\",0,\r\n\r\n");
}

TEST_F(Download, FiveMegabytesArriveWhole)
{
  std::string bytes(5 << 20, '\0');
  unsigned x = 12345;
  for (char &c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 23);
  }
  std::string out;
  EXPECT_EQ(download(make_file("big.bin", bytes), "BIG.BIN", out), 1);
  expect_wire(block("BIG.BIN", bytes), 30s);
}

TEST_F(Download, NameIsInsertedUnchangedAndAHeaderThatDoesNotFitSendsNothing)
{
  std::string out;
  const std::string path = make_file("f", "xyz");
  download(path, "A 'B' %s,\xC3\xA9.BAS", out);
  expect_wire(block("A 'B' %s,\xC3\xA9.BAS", "xyz"));

  // A quote ends the name early and a line break ends the header: either
  // would let the printer run the file's bytes as commands.
  for (const char *name : {"logo\",9,.pcx", "\"", "a\r\nPRINT 1,2\r\nX", "a\rb", "a\nb", "ab\n"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(download(path, name, out), 0);
    EXPECT_EQ(out, "");
    expect_wire("");
  }

  // DOWNLOAD F,"<name>",3, is 16 bytes around the name and must fit 99
  // bytes whole: a cut header would lose its count, and the printer would
  // read the file's bytes as commands.
  for (std::size_t total : {98u, 99u, 100u, 101u, 400u}) {
    SCOPED_TRACE(total);
    std::string name(total - 16, 'n');
    name.back() = 'Z';
    const bool fits = total <= 99;
    EXPECT_EQ(download(path, name, out), fits ? 1 : 0);
    EXPECT_EQ(out, "");
    expect_wire(fits ? block(name, "xyz") : "");
  }
}

TEST_F(Download, MissingFileGivesZeroSilently)
{
  std::string out;
  EXPECT_EQ(download((dir / "absent").string(), "X", out), 0);
  EXPECT_EQ(out, "");
  expect_wire("");
}

TEST_F(Download, DirectoryFailsToReadWithTheErrnoLine)
{
  std::string out;
  EXPECT_EQ(download(dir.string(), "X", out), 0);
  EXPECT_EQ(out, "errno: " + std::to_string(EISDIR) + "\n");
  expect_wire("");
}

TEST_F(Download, FileOf2GiBIsRefused)
{
  const std::string path = (dir / "sparse").string();
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const bool sized = ftruncate(fd, off_t{1} << 31) == 0;
  close(fd);
  ZARN_REQUIRE_FAKE(sized, "this file system cannot hold a sparse 2 GiB file");
  std::string out;
  EXPECT_EQ(download(path, "X", out), 0);
  EXPECT_EQ(out, "");
  expect_wire("");
}

// A FIFO or a device is no file to store: 0 at once, nothing sent, whether
// a writer is there or not (without one, opening a FIFO would wait forever).
TEST_F(Download, FifosAndDevicesAreRefusedAtOnce)
{
  const std::string path = (dir / "fifo").string();
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::string out;
  auto lonely = std::async(std::launch::async, [&] { return downloadpcx(text(path), text("P")); });
  if (lonely.wait_for(2s) != std::future_status::ready) {
    // Free the blocked call, so the failure is reported instead of a hang.
    const int writer = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    lonely.wait();
    close(writer);
    FAIL() << "downloadpcx blocked on a FIFO without a writer";
  }
  EXPECT_EQ(lonely.get(), 0);

  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "abc", 3), 3);
  EXPECT_EQ(download(path, "P", out), 0);
  close(fd);
  EXPECT_EQ(out, "");
  EXPECT_EQ(download("/dev/zero", "Z", out), 0);
  EXPECT_EQ(download("/dev/null", "N", out), 0);
  EXPECT_EQ(out, "");
  expect_wire("");
}

TEST_F(Download, NoConnectionLeavesTheFileUnopened)
{
  const std::string path = make_file("watched", "data");
  const int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(in, 0);
  ASSERT_GE(inotify_add_watch(in, path.c_str(), IN_OPEN), 0);
  ASSERT_EQ(closeport(), 1);

  std::string out;
  EXPECT_EQ(download(path, "X", out), 0);
  EXPECT_EQ(out, "");
  alignas(inotify_event) char events[4096];
  EXPECT_EQ(read(in, events, sizeof events), -1) << "the file was opened";
  EXPECT_EQ(errno, EAGAIN);

  // The watch does see an open made while connected.
  ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
  EXPECT_EQ(download(path, "X", out), 1);
  EXPECT_GT(read(in, events, sizeof events), 0);
  close(in);
  expect_wire(block("X", "data"));
}

TEST_F(Download, EveryPathReleasesTheFile)
{
  const std::string file = make_file("f", "abc");
  std::string out;
  expect_wire(""); // the fake printer has accepted: its descriptors are all open
  const int before = open_descriptor_count();
  for (int i = 0; i < 20; ++i) {
    download(file, "X", out);
    download(dir.string(), "X", out);
    download((dir / "absent").string(), "X", out);
  }
  EXPECT_EQ(open_descriptor_count(), before);
  closeport();
  const int closed = open_descriptor_count();
  download(file, "X", out);
  EXPECT_LE(open_descriptor_count(), closed) << "the printer's side closes on its own time";
}

TEST_F(Download, FailedSendsStillGiveOne)
{
  ASSERT_TRUE(hang_up_until_a_send_fails(printer)) << "the hang-up never made a send fail";
  std::string out;
  EXPECT_EQ(download(make_file("f", "abc"), "X", out), 1);
}

} // namespace
