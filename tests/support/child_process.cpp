// SPDX-License-Identifier: MIT
#include "child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

extern char **environ;

namespace zarn::test {

using namespace std::chrono_literals;

std::string slurp(const std::filesystem::path &file)
{
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string asan_options_for_preload()
{
  const char *asan = std::getenv("ASAN_OPTIONS");
  return std::string("ASAN_OPTIONS=") + (asan ? asan : "") + (asan && *asan ? ":" : "") +
         "verify_asan_link_order=0";
}

std::vector<std::string> environment(const std::vector<std::string> &changes)
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

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const posix_spawn_file_actions_t *actions)
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

pid_t spawn_logged(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const std::filesystem::path &in, const std::filesystem::path &out,
                   const std::filesystem::path &err)
{
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.empty() ? "/dev/null" : in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (err.empty())
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const pid_t pid = spawn(argv, env, &actions);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int wait_exit(pid_t pid, std::chrono::milliseconds limit)
{
  const auto end = std::chrono::steady_clock::now() + limit;
  int st = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &st, WNOHANG);
    if (r == pid)
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (r < 0 && errno != EINTR)
      return -1;
    if (std::chrono::steady_clock::now() > end) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::filesystem::path &log,
                           const std::vector<std::string> &extra_env)
    : pid_(spawn_logged(argv, environment(extra_env), {}, log)), log_(log)
{
}

std::string ChildProcess::log() const { return slurp(log_); }

std::vector<pid_t> ChildProcess::children() const
{
  std::vector<pid_t> pids;
  if (pid_ <= 0)
    return pids;
  std::ifstream in("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children");
  for (pid_t p = 0; in >> p;)
    pids.push_back(p);
  return pids;
}

bool ChildProcess::wait_for(const std::string &text, std::chrono::milliseconds limit)
{
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (log().find(text) != std::string::npos)
      return true;
    if (exited())
      return log().find(text) != std::string::npos;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

int ChildProcess::wait(std::chrono::milliseconds limit)
{
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!exited()) {
    if (std::chrono::steady_clock::now() > end) {
      stop();
      return -1;
    }
    std::this_thread::sleep_for(10ms);
  }
  return status_;
}

void ChildProcess::signal(int sig)
{
  if (pid_ > 0)
    ::kill(pid_, sig);
}

void ChildProcess::stop(std::chrono::milliseconds grace)
{
  if (pid_ <= 0 || exited())
    return;
  // A child that ignores SIGTERM (a hung program under test) is killed.
  ::kill(pid_, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + grace;
  while (!exited() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(10ms);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
}

int ChildProcess::number_after(const std::string &prefix) const
{
  const std::string text = log();
  const auto at = text.rfind(prefix);
  if (at == std::string::npos)
    return -1;
  const char *p = text.c_str() + at + prefix.size();
  char *end = nullptr;
  const long v = std::strtol(p, &end, 10);
  return end == p ? -1 : static_cast<int>(v);
}

bool ChildProcess::exited()
{
  if (pid_ <= 0)
    return true;
  int st = 0;
  const pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    pid_ = -1;
    return true;
  }
  return r < 0;
}

} // namespace zarn::test
