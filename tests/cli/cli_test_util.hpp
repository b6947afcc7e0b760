// SPDX-License-Identifier: MIT
// Helpers for the zarn command's tests: the emulator as a child process on
// loopback TCP or a serial pty, and the zarn program run with its output
// captured (files, or a pseudo-terminal).
#pragma once

#include "child_process.hpp"
#include "common/protocol.hpp"
#include "fake_printer.hpp" // ZARN_REQUIRE_FAKE
#include "loopback.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zarn::cli::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using zarn::test::ChildProcess;
using zarn::test::environment;
using zarn::test::slurp;
using zarn::test::spawn;
using zarn::test::spawn_logged;
using zarn::test::TempDir;
using zarn::test::wait_exit;

struct Result {
  int status = -1;
  std::string out, err;
};

inline std::string zarn_bin() { return ZARN_CLI_BIN; }
inline std::string emulator_bin() { return ZARN_EMULATOR_BIN; }

// Runs any program with stdout and stderr together in Result::out.
inline Result run_program(const std::vector<std::string> &argv,
                          const std::vector<std::string> &env_changes = {})
{
  TempDir dir;
  const pid_t pid = spawn_logged(argv, environment(env_changes), {}, dir.path / "log");
  Result r;
  r.status = pid > 0 ? wait_exit(pid, 60s) : -1;
  r.out = slurp(dir.path / "log");
  return r;
}

// Runs zarn with args; stdin from input, stdout and stderr captured. A
// ZARN_PRINTER of the machine running the tests never leaks in.
inline Result run_zarn(const std::vector<std::string> &args, const std::string &input = "",
                       const std::vector<std::string> &env_changes = {})
{
  TempDir dir;
  std::ofstream(dir.path / "in", std::ios::binary) << input;
  std::vector<std::string> argv{zarn_bin()}, changes{"ZARN_PRINTER"};
  argv.insert(argv.end(), args.begin(), args.end());
  changes.insert(changes.end(), env_changes.begin(), env_changes.end());
  const pid_t pid =
      spawn_logged(argv, environment(changes), dir.path / "in", dir.path / "out", dir.path / "err");
  Result r;
  r.status = pid > 0 ? wait_exit(pid, 60s) : -1;
  r.out = slurp(dir.path / "out");
  r.err = slurp(dir.path / "err");
  return r;
}

inline bool has(const std::string &text, const std::string &part)
{
  return text.find(part) != std::string::npos;
}

// Runs zarn with args and checks that it failed as the command fails on bad
// input: exit status 1, nothing on standard output, and one line on
// standard error that begins "zarn: " and holds why.
inline void expect_refused(const std::vector<std::string> &args, const std::string &why)
{
  const Result r = run_zarn(args);
  std::string shown;
  for (const auto &a : args)
    shown += a + " ";
  EXPECT_EQ(r.status, 1) << shown << r.err;
  EXPECT_EQ(r.out, "") << shown;
  EXPECT_TRUE(r.err.starts_with("zarn: ")) << shown << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << shown << r.err;
  EXPECT_TRUE(has(r.err, why)) << shown << r.err;
}

// Runs zarn with stdout and stderr on a pseudo-terminal; returns all it wrote.
inline Result run_zarn_on_terminal(const std::vector<std::string> &args)
{
  int master = -1, slave = -1;
  Result r;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
    return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, slave, 1);
  posix_spawn_file_actions_adddup2(&actions, slave, 2);
  posix_spawn_file_actions_addclose(&actions, master);
  std::vector<std::string> argv{zarn_bin()};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = spawn(argv, environment({"ZARN_PRINTER"}), &actions);
  posix_spawn_file_actions_destroy(&actions);
  ::close(slave);
  // Read until the child's side closes (EIO on the master), so the
  // terminal's buffer never fills and blocks it.
  char buf[4096];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0)
      break;
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0)
      break;
    r.out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(master);
  if (pid > 0)
    r.status = wait_exit(pid, 30s);
  return r;
}

// One TCP connection on loopback that the peer ends in its own way once the
// status request has arrived: quietly (FIN) or with a reset (RST).
class VanishingPeer {
 public:
  explicit VanishingPeer(bool reset)
  {
    listen_ = zarn::test::listen_on_loopback(port_);
    worker_ = std::thread([this, reset] {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1)
        return; // nobody came
      const int fd = ::accept(listen_, nullptr, nullptr);
      std::string got;
      char buf[256];
      while (got.find(zarn::protocol::kStatusRequest) == std::string::npos) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
          break;
        got.append(buf, static_cast<std::size_t>(n));
      }
      if (reset) {
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      }
      ::close(fd);
    });
  }
  ~VanishingPeer()
  {
    worker_.join();
    ::close(listen_);
  }
  std::uint16_t port() const { return port_; }

 private:
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::thread worker_;
};

// zarn-emulator as a child: on TCP (port()) or on a serial pty linked as
// /dev/NAME (serial_name()).
class Emulator {
 public:
  static std::unique_ptr<Emulator> tcp(const fs::path &dir, std::vector<std::string> options = {})
  {
    std::vector<std::string> argv{emulator_bin(), "--tcp", "127.0.0.1:0"};
    auto e = std::unique_ptr<Emulator>(new Emulator(dir, argv, options));
    if (!e->wait_for("listening on"))
      return nullptr;
    e->port_ = e->child_.number_after("listening on 127.0.0.1:");
    return e;
  }
  static std::unique_ptr<Emulator> serial(const fs::path &dir,
                                          std::vector<std::string> options = {})
  {
    static int count = 0;
    const std::string name = "ttyZCLI" + std::to_string(::getpid()) + "x" + std::to_string(++count);
    std::vector<std::string> argv{emulator_bin(), "--serial", name};
    auto e = std::unique_ptr<Emulator>(new Emulator(dir, argv, options));
    e->serial_name_ = name;
    if (!e->wait_for("linked as /dev/" + name))
      return nullptr;
    return e;
  }
  ~Emulator() { child_.stop(10s); }

  int port() const { return port_; }
  std::string address() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  const std::string &serial_name() const { return serial_name_; }
  fs::path out() const { return dir_ / "out"; }
  std::string log() const { return child_.log(); }
  bool wait_for(const std::string &text, std::chrono::milliseconds limit = 10s)
  {
    return child_.wait_for(text, limit);
  }

 private:
  Emulator(const fs::path &dir, std::vector<std::string> argv,
           const std::vector<std::string> &options)
      : dir_(made(dir)), child_(with_options(std::move(argv), options), dir_ / "emulator.log")
  {
  }
  static fs::path made(const fs::path &dir)
  {
    fs::create_directories(dir);
    return dir;
  }
  std::vector<std::string> with_options(std::vector<std::string> argv,
                                        const std::vector<std::string> &options) const
  {
    argv.insert(argv.end(), {"--out", out().string()});
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
  }

  fs::path dir_;
  ChildProcess child_;
  int port_ = -1;
  std::string serial_name_;
};

} // namespace zarn::cli::test
