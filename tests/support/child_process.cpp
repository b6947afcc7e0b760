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

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::filesystem::path &log,
                           const std::vector<std::string> &extra_env)
    : log_(log)
{
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e)
    env.emplace_back(*e);
  for (const std::string &kv : extra_env) {
    const std::string key = kv.substr(0, kv.find('=') + 1);
    std::erase_if(env, [&](const std::string &e) { return e.rfind(key, 0) == 0; });
    env.push_back(kv);
  }
  std::vector<char *> envp;
  for (auto &e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char *> args;
  for (const auto &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

std::string ChildProcess::log() const { return slurp(log_); }

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

void ChildProcess::stop()
{
  if (pid_ <= 0 || exited())
    return;
  // A child that ignores SIGTERM (a hung program under test) is killed.
  ::kill(pid_, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + 5s;
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
