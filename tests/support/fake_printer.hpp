// SPDX-License-Identifier: MIT
// Fake printers for the tests: they record every byte the library sends and
// answer scripted requests, on a real loopback TCP socket or a real pty.
#pragma once

#include "host_calls.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zarn::test {

using namespace std::chrono_literals;

struct Chunk {
  std::string bytes;
  std::chrono::milliseconds delay{0}; // pause before this chunk goes out
};

// When `request` appears in what arrived since the last matched request,
// `chunks` are sent in order; `close_after` then hangs up.
struct Script {
  std::string request;
  std::vector<Chunk> chunks;
  bool close_after = false;
};

// Common core: a worker thread serving one stream descriptor at a time.
class FakePrinter {
 public:
  virtual ~FakePrinter();
  FakePrinter(const FakePrinter &) = delete;
  FakePrinter &operator=(const FakePrinter &) = delete;

  std::string received() const;
  void clear_received();
  // Waits until at least n bytes arrived in all.
  bool wait_for_bytes(std::size_t n, std::chrono::milliseconds limit = 5s) const;
  bool wait_for_text(const std::string &needle, std::chrono::milliseconds limit = 5s) const;
  // Adds a scripted reply; scripts are tried in the order they were added.
  void on(Script script);
  // Sends bytes now, from the worker thread.
  void send_now(std::string bytes);
  // While paused the printer reads nothing, so the sender's buffers fill up.
  void pause_reading(bool paused);
  // Hangs up the current stream.
  void hang_up();

 protected:
  FakePrinter() = default;
  void start();
  void stop();
  // Returns the descriptor to serve next, or -1 (called on the worker).
  virtual int poll_extra_fd() const { return -1; }
  virtual void on_extra_ready() {}
  virtual void drop_stream() = 0;
  int stream_ = -1;
  mutable std::mutex mu_;

 private:
  void run();
  void check_scripts_locked(std::vector<Script> &fire);
  void write_all(const std::string &bytes);

  mutable std::condition_variable cv_;
  std::string received_;
  std::size_t match_from_ = 0;
  std::vector<Script> scripts_;
  std::vector<std::string> outbox_;
  bool hang_up_ = false;
  bool paused_ = false;
  bool stopping_ = false;
  int wake_[2] = {-1, -1};
  std::thread worker_;
};

// Listens on 127.0.0.1 on an ephemeral port; serves one client at a time.
class FakeTcpPrinter final : public FakePrinter {
 public:
  FakeTcpPrinter();
  ~FakeTcpPrinter() override;
  std::uint16_t port() const { return port_; }
  int accepted() const;

 protected:
  int poll_extra_fd() const override { return listen_; }
  void on_extra_ready() override;
  void drop_stream() override;

 private:
  int listen_ = -1;
  std::uint16_t port_ = 0;
  int accepted_ = 0;
};

// A pty whose slave is reachable as /dev/<port_name()> (needs root).
class FakeSerialPrinter final : public FakePrinter {
 public:
  FakeSerialPrinter();
  ~FakeSerialPrinter() override;
  // Empty when the link could be made; otherwise why not.
  const std::string &problem() const { return problem_; }
  const std::string &port_name() const { return name_; }
  std::string device_path() const { return "/dev/" + name_; }
  const std::string &slave_path() const { return slave_; }

 protected:
  void drop_stream() override {}

 private:
  std::string problem_;
  std::string name_;
  std::string slave_;
  int keep_slave_ = -1; // keeps the pty alive between the library's opens
};

// GTEST_SKIP outside CI, a failure inside it: CI must run every fake.
bool in_ci();
#define ZARN_REQUIRE_FAKE(ok, why)                                                                 \
  do {                                                                                             \
    if (!(ok)) {                                                                                   \
      if (::zarn::test::in_ci())                                                                   \
        GTEST_FAIL() << "test fake unavailable under CI: " << (why);                               \
      GTEST_SKIP() << "test fake unavailable: " << (why);                                          \
    }                                                                                              \
  } while (0)

// Counts this process's open descriptors.
int open_descriptor_count();
// What descriptor fd refers to ("socket:[123]", "/dev/pts/4"), "" when closed.
std::string descriptor_target(int fd);

} // namespace zarn::test
