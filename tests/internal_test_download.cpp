// SPDX-License-Identifier: MIT
// The download's read loop and status query, with the system calls replaced
// by scripted ones: short reads, interrupted reads, a read failing halfway,
// a failing fstat. A real regular file never shows these on demand.
#include "commands/download.hpp"
#include "fake_printer.hpp"
#include "wire.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace zarn::test;
namespace fs = std::filesystem;

namespace {

// What each read call does, in order: a positive count (at most that many
// bytes of the real file), 0 for end of file, or -errno. Past the end of
// the script reads go to the real file.
std::vector<long> g_script;
std::size_t g_next = 0;
std::vector<std::size_t> g_asked; // count asked by each call
bool g_status_fails = false;

ssize_t scripted_read(int fd, void *buf, size_t count)
{
  g_asked.push_back(count);
  if (g_next >= g_script.size())
    return ::read(fd, buf, count);
  const long step = g_script[g_next++];
  if (step < 0) {
    errno = static_cast<int>(-step);
    return -1;
  }
  return ::read(fd, buf, std::min(count, static_cast<size_t>(step)));
}

int scripted_status(int fd, struct stat *st)
{
  if (g_status_fails) {
    errno = EIO;
    return -1;
  }
  return ::fstat(fd, st);
}

const zarn::commands::FileAccess kScripted{scripted_status, scripted_read};

class ScriptedDownload : public ::testing::Test {
 protected:
  void SetUp() override
  {
    g_script.clear();
    g_next = 0;
    g_asked.clear();
    g_status_fails = false;
    path = (fs::temp_directory_path() / ("zarn-idl-" + std::to_string(getpid()))).string();
    for (int i = 0; i < 1000; ++i)
      content += static_cast<char>(i * 7);
    std::ofstream(path, std::ios::binary) << content;
    ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
    expect_wire(""); // accepted: every descriptor of the fake is open now
    descriptors = open_descriptor_count();
  }
  void TearDown() override
  {
    closeport();
    fs::remove(path);
  }

  int download(std::string &out)
  {
    ::testing::internal::CaptureStdout();
    const int result = zarn::commands::download_file(path.c_str(), "F", kScripted);
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(open_descriptor_count(), descriptors) << "the file was left open";
    return result;
  }

  void expect_wire(const std::string &expected) { zarn::test::expect_wire(printer, expected); }

  std::string path, content;
  int descriptors = 0;
  FakeTcpPrinter printer;
};

TEST_F(ScriptedDownload, ShortReadsAreContinuedUntilTheFileIsWhole)
{
  g_script = {1, 3, -EINTR, 100, 500};
  std::string out;
  EXPECT_EQ(download(out), 1);
  EXPECT_EQ(out, "");
  // Each call asks for exactly what is still missing; the interrupted one
  // is repeated, and the loop stops at the size without a further read.
  EXPECT_EQ(g_asked, (std::vector<std::size_t>{1000, 999, 996, 996, 896, 396}));
  expect_wire("DOWNLOAD F,\"F\",1000," + content + "\r\n\r\n");
}

TEST_F(ScriptedDownload, EarlyEndOfFileSendsWhatWasRead)
{
  // A file that shrank after its size was taken.
  g_script = {300, 0};
  std::string out;
  EXPECT_EQ(download(out), 1);
  EXPECT_EQ(g_asked.size(), 2u);
  expect_wire("DOWNLOAD F,\"F\",300," + content.substr(0, 300) + "\r\n\r\n");
}

TEST_F(ScriptedDownload, ReadFailingHalfwaySendsNothing)
{
  g_script = {400, -EIO};
  std::string out;
  EXPECT_EQ(download(out), 0);
  EXPECT_EQ(out, "errno: " + std::to_string(EIO) + "\n");
  expect_wire("");
}

TEST_F(ScriptedDownload, FailingStatusSendsNothingAndReadsNothing)
{
  g_status_fails = true;
  std::string out;
  EXPECT_EQ(download(out), 0);
  EXPECT_EQ(out, "");
  EXPECT_TRUE(g_asked.empty());
  expect_wire("");
}

TEST_F(ScriptedDownload, EmptyFileStillMakesOneRead)
{
  // The one read is what makes a directory of size 0 fail as a directory.
  std::ofstream(path, std::ios::trunc);
  g_script = {-EISDIR};
  std::string out;
  EXPECT_EQ(download(out), 0);
  EXPECT_EQ(out, "errno: " + std::to_string(EISDIR) + "\n");
  EXPECT_EQ(g_asked, (std::vector<std::size_t>{0}));
  expect_wire("");
}

} // namespace
