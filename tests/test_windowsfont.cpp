// SPDX-License-Identifier: MIT
// windowsfont end to end: TrueType text arrives as a BITMAP block on a
// loopback TCP printer.
#include "common/handle.hpp"
#include "fake_printer.hpp"
#include "wire.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <future>
#include <sys/stat.h>
#include <string>
#include <vector>
#include <unistd.h>

using namespace zarn::test;

namespace {

// AddressSanitizer holds freed memory back on purpose, so resident memory
// says nothing there; its leak checker covers that build instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

const std::string kFont = ZARN_TEST_FONT;

// What the printer should get for `s`: rendered here on its own and turned
// into bits pixel by pixel, as the printer's bitmap rule is written.
std::string expected_block(int x, int y, int size, const std::string &s)
{
  std::string out;
  EXPECT_EQ(TTF_Init(), 0);
  {
    const zarn::Owned<TTF_Font, TTF_CloseFont> font(TTF_OpenFont(kFont.c_str(), size));
    EXPECT_NE(font, nullptr);
    const zarn::Owned<SDL_Surface, SDL_FreeSurface> surface(
        font ? TTF_RenderUTF8_Solid(font.get(), s.c_str(), SDL_Color{0, 0, 0, 0}) : nullptr);
    if (surface) {
      const int width_bytes = (surface->w + 7) / 8;
      std::string bits(static_cast<std::size_t>(width_bytes * surface->h), '\xFF');
      for (int j = 0; j < surface->h; ++j)
        for (int i = 0; i < surface->w; ++i) {
          Uint8 r, g, b;
          SDL_GetRGB(static_cast<const Uint8 *>(surface->pixels)[surface->pitch * j + i],
                     surface->format, &r, &g, &b);
          const double sum = 0.3 * static_cast<float>(r) + 0.59 * static_cast<float>(g) +
                             0.11 * static_cast<float>(b);
          if (static_cast<int>(sum) == 0)
            bits[static_cast<std::size_t>(width_bytes * j + i / 8)] ^=
                static_cast<char>(0x80 >> (i % 8));
        }
      out = "BITMAP " + std::to_string(x) + "," + std::to_string(y) + "," +
            std::to_string(width_bytes) + "," + std::to_string(surface->h) + ",0," + bits;
    }
  }
  TTF_Quit();
  return out;
}

// Resident memory of this process in bytes.
long resident_bytes()
{
  long pages_total = 0, pages_resident = 0;
  const zarn::Owned<FILE, std::fclose> f(std::fopen("/proc/self/statm", "r"));
  if (f && std::fscanf(f.get(), "%ld %ld", &pages_total, &pages_resident) != 2)
    pages_resident = 0;
  return pages_resident * sysconf(_SC_PAGESIZE);
}

// Everything written to stdout and stderr while `body` runs.
template <typename Body>
std::string console_output(Body body)
{
  std::fflush(stdout);
  std::fflush(stderr);
  char path[] = "/tmp/zarn-console-XXXXXX";
  const int sink = mkstemp(path);
  unlink(path);
  const int saved_out = dup(1), saved_err = dup(2);
  dup2(sink, 1);
  dup2(sink, 2);
  body();
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  std::string captured;
  char buf[512];
  ssize_t n;
  lseek(sink, 0, SEEK_SET);
  while ((n = read(sink, buf, sizeof buf)) > 0)
    captured.append(buf, static_cast<std::size_t>(n));
  close(sink);
  return captured;
}

class WindowsFont : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ZARN_REQUIRE_FAKE(access(kFont.c_str(), R_OK) == 0,
                      "no TrueType font found by fc-match (fonts-dejavu-core): '" + kFont + "'");
    ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);
  }
  void TearDown() override { closeport(); }

  void expect_wire(const std::string &expected) { zarn::test::expect_wire(printer, expected); }

  FakeTcpPrinter printer;
};

TEST_F(WindowsFont, SendsTheHeaderAndExactlyTheRenderedBits)
{
  struct Case {
    int x, y, size;
    std::string s;
  };
  const Case cases[] = {{10, 20, 24, "Hello"},
                        {0, 0, 12, "l"},
                        {-5, 300, 48, "Grüße, ÆØÅ & 0123"},
                        {7, 8, 9, std::string(80, 'W')}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.s);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(windowsfont(c.x, c.y, c.size, 123, text(kFont), text(c.s)), 1);
    EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "en_US.utf8");
    const std::string block = expected_block(c.x, c.y, c.size, c.s);
    ASSERT_FALSE(block.empty());
    expect_wire(block);
  }
}

TEST_F(WindowsFont, NoFontOrNoTextSendsNothingAndShutsDown)
{
  EXPECT_EQ(windowsfont(0, 0, 12, 0, text("/nonexistent.ttf"), text("x")), 0);
  EXPECT_EQ(windowsfont(0, 0, 12, 0, text(kFont), text("")), 0);
  EXPECT_EQ(SDL_WasInit(0), 0u);
  EXPECT_EQ(TTF_WasInit(), 0);
  expect_wire("");
}

// Only a regular file is read as a font: a FIFO without a writer would hold
// the call forever, a device would be read as one.
TEST_F(WindowsFont, FontPathThatIsNoRegularFileGivesZeroAtOnce)
{
  char dir[] = "/tmp/zarn-fontdir-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/font.ttf";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto call = std::async(std::launch::async,
                         [&] { return windowsfont(0, 0, 12, 0, text(fifo), text("x")); });
  if (call.wait_for(2s) != std::future_status::ready) {
    const int writer = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    call.wait();
    close(writer);
    unlink(fifo.c_str());
    rmdir(dir);
    FAIL() << "windowsfont blocked on a FIFO without a writer";
  }
  EXPECT_EQ(call.get(), 0);
  EXPECT_EQ(windowsfont(0, 0, 12, 0, text("/dev/zero"), text("x")), 0);
  EXPECT_EQ(windowsfont(0, 0, 12, 0, text(dir), text("x")), 0);
  unlink(fifo.c_str());
  rmdir(dir);
  EXPECT_EQ(SDL_WasInit(0), 0u);
  expect_wire("");
}

// A host that keeps the default action for SIGTERM dies of it, also while
// windowsfont has SDL running: the library leaves the host's signals alone.
TEST(WindowsFontSignals, SigtermDuringTheCallEndsAHostWithTheDefaultAction)
{
  FakeTcpPrinter printer;
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const std::string host = ZARN_SIGNAL_HOST_BIN, port = std::to_string(printer.port());
  std::vector<char *> argv = {text(host), text(port), text(kFont), nullptr};
  pid_t child = -1;
  const int spawned = posix_spawn(&child, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(out[1]);
  ASSERT_EQ(spawned, 0);

  std::string said;
  char buf[64];
  ssize_t n;
  while (said.find("rendering\n") == std::string::npos && (n = read(out[0], buf, sizeof buf)) > 0)
    said.append(buf, static_cast<std::size_t>(n));
  close(out[0]);
  ASSERT_EQ(said, "rendering\n") << "the host never reached the rendering";
  ASSERT_EQ(kill(child, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
      << "the host survived SIGTERM (exit status " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1)
      << ")";
}

TEST(WindowsFontClosed, NoConnectionLeavesSdlAndTheLocaleAlone)
{
  // SDL started by the host stays up only if windowsfont never reached SDL_Quit.
  ASSERT_EQ(SDL_Init(SDL_INIT_TIMER), 0);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(windowsfont(0, 0, 12, 0, text(kFont), text("x")), 0);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_TIMER), static_cast<Uint32>(SDL_INIT_TIMER));
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
  EXPECT_EQ(TTF_WasInit(), 0);
  EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
  SDL_Quit();
}

// Headless, SDL's default video drivers complain on stderr; the library asks
// for the offscreen one, unless the host picked a driver itself.
TEST_F(WindowsFont, SilentHeadlessYetTheHostsVideoDriverWins)
{
  for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "SDL_VIDEODRIVER"})
    unsetenv(name);
  int result = -1;
  EXPECT_EQ(console_output([&] { result = windowsfont(1, 2, 16, 0, text(kFont), text("quiet")); }),
            "");
  EXPECT_EQ(result, 1);

  // Wayland without a runtime directory reports that itself: proof it was tried.
  setenv("SDL_VIDEODRIVER", "wayland", 1);
  EXPECT_NE(console_output([&] { result = windowsfont(1, 2, 16, 0, text(kFont), text("quiet")); }),
            "");
  unsetenv("SDL_VIDEODRIVER");
  EXPECT_EQ(result, 1);
  const std::string block = expected_block(1, 2, 16, "quiet");
  expect_wire(block + block);
}

TEST_F(WindowsFont, TwoThousandCallsKeepDescriptorsAndMemoryFlat)
{
  // Warm up first: the allocator and the libraries settle on their own sizes.
  for (int i = 0; i < 50; ++i)
    ASSERT_EQ(windowsfont(0, 0, 14, 0, text(kFont), text("Leak?")), 1);
  ASSERT_TRUE(printer.wait_for_text("BITMAP"));
  const int fds_before = open_descriptor_count();
  const long rss_before = resident_bytes();
  std::size_t sent = 0;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(windowsfont(0, 0, 14, 0, text(kFont), text("Leak?")), 1) << "call " << i;
    ASSERT_EQ(open_descriptor_count(), fds_before) << "call " << i;
    if (i % 200 == 199) {
      // Keep what the fake printer holds small, so only the library shows.
      sendcommand(text("~MARK~"));
      ASSERT_TRUE(printer.wait_for_text("~MARK~"));
      sent += printer.received().size();
      printer.clear_received();
    }
  }
  EXPECT_GT(sent, 2000u * 20u);
  // About 0.15 MiB of drift is normal; a leaked surface alone adds 5 MiB.
  const long growth = resident_bytes() - rss_before;
  if (!kAddressSanitizer) {
    EXPECT_LT(growth, 1L << 20) << "resident memory grew by " << growth << " bytes";
  }
}

} // namespace
