// A program run by a test as a real process, its standard output and error
// in one log file that the test reads while the program runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace zarn::test {

class ChildProcess {
 public:
  // extra_env entries ("KEY=value") replace the same keys of ours.
  ChildProcess(const std::vector<std::string> &argv, const std::filesystem::path &log,
               const std::vector<std::string> &extra_env = {});
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  bool started() const { return pid_ > 0 || status_ >= 0; }
  pid_t pid() const { return pid_; }
  std::string log() const;

  // Waits until the log holds text; false when the child ended or time ran out.
  bool wait_for(const std::string &text,
                std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Exit status (128 + signal when killed), or -1 when it did not end within
  // the limit (it is then stopped).
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
  // Sends a signal; the child is still waited for by wait() or stop().
  void signal(int sig);
  // SIGTERM, then waits for the end (SIGKILL after five seconds).
  void stop();
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
