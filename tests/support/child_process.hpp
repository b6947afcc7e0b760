// SPDX-License-Identifier: MIT
// Programs run by a test as real processes: their standard output and error
// in a log file that the test reads while the program runs.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace zarn::test {

// Our environment with KEY=VALUE entries replacing or adding that key, and a
// bare KEY removing it.
std::vector<std::string> environment(const std::vector<std::string> &changes);

// Starts argv[0] (a path) with exactly the environment env and the file
// actions given (none when null). The child's pid, or -1.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const posix_spawn_file_actions_t *actions);

// The same with standard input from in (/dev/null when empty), standard
// output into out and standard error into err (into out when empty).
pid_t spawn_logged(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const std::filesystem::path &in, const std::filesystem::path &out,
                   const std::filesystem::path &err = {});

// Waits for pid: its exit status (128 + signal when killed), or -1 when it
// had to be killed after limit.
int wait_exit(pid_t pid, std::chrono::milliseconds limit);

class ChildProcess {
 public:
  // Standard input from /dev/null; extra_env as environment() takes it.
  ChildProcess(const std::vector<std::string> &argv, const std::filesystem::path &log,
               const std::vector<std::string> &extra_env = {});
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  bool started() const { return pid_ > 0 || status_ >= 0; }
  bool running() { return !exited(); }
  pid_t pid() const { return pid_; }
  std::string log() const;
  // The processes this one has started.
  std::vector<pid_t> children() const;

  // Waits until the log holds text; false when the child ended or time ran out.
  bool wait_for(const std::string &text,
                std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Exit status (128 + signal when killed), or -1 when it did not end within
  // the limit (it is then stopped).
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
  // Sends a signal; the child is still waited for by wait() or stop().
  void signal(int sig);
  // SIGTERM, then waits for the end (SIGKILL after grace).
  void stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
  // The number after the last "PREFIX" in the log ("listening on
  // 127.0.0.1:" gives the port), or -1.
  int number_after(const std::string &prefix) const;

 private:
  bool exited();

  pid_t pid_ = -1;
  int status_ = -1;
  std::filesystem::path log_;
};

// The contents of a file, empty when it cannot be read.
std::string slurp(const std::filesystem::path &file);

// ASAN_OPTIONS for a child that starts with umockdev's preload library ahead
// of the ASan runtime (a sanitizer build), as "ASAN_OPTIONS=...".
std::string asan_options_for_preload();

} // namespace zarn::test
