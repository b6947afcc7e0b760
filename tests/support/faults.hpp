// SPDX-License-Identifier: MIT
// Tools shared by the fault tests: signal storms, descriptor pressure,
// heap and descriptor counts that settle, patterned payloads.
#pragma once

#include "fake_printer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zarn::test {

// A payload whose bytes depend on their position, so a lost, doubled or
// reordered piece anywhere shows in a comparison.
inline std::string patterned(std::size_t n, unsigned seed)
{
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x ^ (i >> 12));
  }
  return s;
}

inline unsigned char *bytes_of(std::string &s)
{
  return reinterpret_cast<unsigned char *>(s.data());
}

// Sends SIGUSR1 to the calling thread every period (at most `most` times)
// while alive. The handler is installed without SA_RESTART, so blocking
// calls in that thread really see EINTR (or return short) instead of being
// restarted by the kernel.
class SignalStorm {
 public:
  explicit SignalStorm(std::chrono::milliseconds period = std::chrono::milliseconds(1),
                       int most = -1)
      : target_(pthread_self())
  {
    struct sigaction sa {};
    sa.sa_handler = [](int) { delivered().fetch_add(1, std::memory_order_relaxed); };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGUSR1, &sa, &old_);
    delivered().store(0);
    thread_ = std::thread([this, period, most] {
      for (int sent = 0; !stop_.load() && sent != most; ++sent) {
        pthread_kill(target_, SIGUSR1);
        std::this_thread::sleep_for(period);
      }
    });
  }
  ~SignalStorm()
  {
    stop_.store(true);
    thread_.join();
    sigaction(SIGUSR1, &old_, nullptr);
  }
  SignalStorm(const SignalStorm &) = delete;
  SignalStorm &operator=(const SignalStorm &) = delete;

  static int count() { return delivered().load(); }

 private:
  static std::atomic<int> &delivered()
  {
    static std::atomic<int> n{0};
    return n;
  }
  pthread_t target_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  struct sigaction old_ {};
};

// Holds enough open descriptors that the next one opened is numbered above
// 1024, beyond what select() and FD_SET can handle.
class HighDescriptors {
 public:
  HighDescriptors()
  {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 2048 && lim.rlim_max >= 2048) {
      saved_ = lim;
      lim.rlim_cur = 2048;
      restore_ = setrlimit(RLIMIT_NOFILE, &lim) == 0;
    }
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0)
      return;
    held_.push_back(null);
    while (held_.back() >= 0 && held_.back() < 1100)
      held_.push_back(fcntl(null, F_DUPFD_CLOEXEC, 0));
    if (held_.back() < 0)
      held_.pop_back();
  }
  ~HighDescriptors()
  {
    for (int fd : held_)
      close(fd);
    if (restore_)
      setrlimit(RLIMIT_NOFILE, &saved_);
  }
  HighDescriptors(const HighDescriptors &) = delete;
  HighDescriptors &operator=(const HighDescriptors &) = delete;

  bool ok() const { return !held_.empty() && held_.back() >= 1100; }
  std::string why() const { return "cannot open 1100 descriptors (RLIMIT_NOFILE too low)"; }

 private:
  std::vector<int> held_;
  rlimit saved_{};
  bool restore_ = false;
};

// Bytes the main heap arena hands out now (0 under sanitizers, which
// replace malloc; their own leak checker covers that build).
inline long heap_in_use() { return static_cast<long>(mallinfo2().uordblks); }

// The descriptor count once the fake printer has noticed every hang-up: it
// drops its end of a stream only when it next polls.
inline int settled_descriptor_count(int expected)
{
  int now = open_descriptor_count();
  for (int i = 0; i < 200 && now != expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    now = open_descriptor_count();
  }
  return now;
}

// A temporary file holding the given bytes; removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::string &bytes)
  {
    char name[] = "/tmp/zarn-fault-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
      return;
    path_ = name;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0)
        break;
      done += static_cast<std::size_t>(n);
    }
    close(fd);
  }
  ~TempFile()
  {
    if (!path_.empty())
      unlink(path_.c_str());
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

} // namespace zarn::test
