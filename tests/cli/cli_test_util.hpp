// Helpers for the zarn command's tests: the emulator as a child process on
// loopback TCP or a serial pty, and the zarn program run with its output
// captured (files, or a pseudo-terminal).
#pragma once

#include "common/protocol.hpp"
#include "fake_printer.hpp" // ZARN_REQUIRE_FAKE
#include "loopback.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace zarn::cli::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline std::string slurp(const fs::path &file)
{
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh folder, removed afterwards.
struct TempDir {
  fs::path path;
  TempDir()
  {
    std::string templ = (fs::temp_directory_path() / "zarn-cli-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    path = templ;
  }
  ~TempDir()
  {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// The environment with KEY=VALUE entries replaced or added (a bare KEY removes it).
inline std::vector<std::string> environment(const std::vector<std::string> &changes)
{
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e)
    env.emplace_back(*e);
  for (const std::string &kv : changes) {
    const std::string key = kv.substr(0, kv.find('=')) + "=";
    std::erase_if(env, [&](const std::string &e) { return e.rfind(key, 0) == 0; });
    if (kv.find('=') != std::string::npos)
      env.push_back(kv);
  }
  return env;
}

inline pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   posix_spawn_file_actions_t *actions)
{
  std::vector<char *> args, envp;
  for (const auto &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  for (const auto &e : env)
    envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], actions, nullptr, args.data(), envp.data()) != 0)
    return -1;
  return pid;
}

// Exit status, 128 + signal when killed, -1 when it had to be killed after limit.
inline int wait_exit(pid_t pid, std::chrono::milliseconds limit)
{
  const auto end = std::chrono::steady_clock::now() + limit;
  int st = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &st, WNOHANG);
    if (r == pid)
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (std::chrono::steady_clock::now() > end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &st, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
}

struct Result {
  int status = -1;
  std::string out, err;
};

inline std::string zarn_bin() { return ZARN_CLI_BIN; }
inline std::string emulator_bin() { return ZARN_EMULATOR_BIN; }

// Starts argv with standard input from the file in (if given) and standard
// output and error into the files out and err (both into out when err is empty).
inline pid_t spawn_logged(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                          const fs::path &in, const fs::path &out, const fs::path &err = {})
{
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!in.empty())
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (err.empty())
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const pid_t pid = spawn(argv, env, &actions);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

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
    std::istringstream in(e->log());
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("listening on 127.0.0.1:", 0) == 0)
        e->port_ = std::stoi(line.substr(line.rfind(':') + 1));
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
  ~Emulator()
  {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      wait_exit(pid_, 10s);
    }
  }

  int port() const { return port_; }
  std::string address() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  const std::string &serial_name() const { return serial_name_; }
  fs::path out() const { return dir_ / "out"; }
  std::string log() const { return slurp(dir_ / "emulator.log"); }
  bool wait_for(const std::string &text, std::chrono::milliseconds limit = 10s) const
  {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (log().find(text) != std::string::npos)
        return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

 private:
  Emulator(const fs::path &dir, std::vector<std::string> argv,
           const std::vector<std::string> &options)
      : dir_(dir)
  {
    argv.insert(argv.end(), {"--out", out().string()});
    argv.insert(argv.end(), options.begin(), options.end());
    fs::create_directories(dir_);
    pid_ = spawn_logged(argv, environment({}), {}, dir_ / "emulator.log");
  }

  fs::path dir_;
  pid_t pid_ = -1;
  int port_ = -1;
  std::string serial_name_;
};

} // namespace zarn::cli::test
