// SPDX-License-Identifier: MIT
#include "fake_printer.hpp"
#include "common/handle.hpp"
#include "loopback.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <utility>

namespace zarn::test {

bool in_ci()
{
  const char *ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0' && std::strcmp(ci, "0") != 0 && std::strcmp(ci, "false") != 0;
}

int open_descriptor_count()
{
  int count = 0;
  if (const Owned<DIR, closedir> d{opendir("/proc/self/fd")}) {
    while (dirent *e = readdir(d.get()))
      if (e->d_name[0] != '.')
        ++count;
    --count; // the directory stream's own descriptor
  }
  return count;
}

std::string descriptor_target(int fd)
{
  char buf[256];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

FakePrinter::~FakePrinter() = default;

void FakePrinter::start()
{
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
    std::abort();
  worker_ = std::thread([this] { run(); });
}

void FakePrinter::stop()
{
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  if (wake_[1] >= 0)
    (void)!write(wake_[1], "x", 1);
  if (worker_.joinable())
    worker_.join();
  for (int &fd : wake_)
    if (fd >= 0)
      close(std::exchange(fd, -1));
}

std::string FakePrinter::received() const
{
  std::lock_guard lock(mu_);
  return received_;
}

void FakePrinter::clear_received()
{
  std::lock_guard lock(mu_);
  received_.clear();
  match_from_ = 0;
}

bool FakePrinter::wait_for_bytes(std::size_t n, std::chrono::milliseconds limit) const
{
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return received_.size() >= n; });
}

bool FakePrinter::wait_for_text(const std::string &needle, std::chrono::milliseconds limit) const
{
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return received_.find(needle) != std::string::npos; });
}

void FakePrinter::on(Script script)
{
  std::lock_guard lock(mu_);
  scripts_.push_back(std::move(script));
}

void FakePrinter::send_now(std::string bytes)
{
  {
    std::lock_guard lock(mu_);
    outbox_.push_back(std::move(bytes));
  }
  (void)!write(wake_[1], "x", 1);
}

void FakePrinter::pause_reading(bool paused)
{
  {
    std::lock_guard lock(mu_);
    paused_ = paused;
  }
  (void)!write(wake_[1], "x", 1);
}

void FakePrinter::hang_up()
{
  {
    std::lock_guard lock(mu_);
    hang_up_ = true;
  }
  (void)!write(wake_[1], "x", 1);
}

void FakePrinter::check_scripts_locked(std::vector<Script> &fire)
{
  for (const Script &s : scripts_) {
    const auto at = received_.find(s.request, match_from_);
    if (at != std::string::npos) {
      match_from_ = at + s.request.size();
      fire.push_back(s);
      return;
    }
  }
}

void FakePrinter::write_all(const std::string &bytes)
{
  std::size_t done = 0;
  while (done < bytes.size() && stream_ >= 0) {
    const ssize_t n = ::send(stream_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) {
      const ssize_t w = ::write(stream_, bytes.data() + done, bytes.size() - done);
      if (w < 0 && errno == EINTR)
        continue;
      if (w <= 0)
        return;
      done += static_cast<std::size_t>(w);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

void FakePrinter::run()
{
  std::vector<char> buf(1 << 16);
  for (;;) {
    bool paused;
    {
      std::lock_guard lock(mu_);
      if (stopping_)
        return;
      paused = paused_;
    }
    pollfd fds[3] = {
        {wake_[0], POLLIN, 0}, {poll_extra_fd(), POLLIN, 0}, {paused ? -1 : stream_, POLLIN, 0}};
    if (poll(fds, 3, 50) < 0 && errno != EINTR)
      return;
    char drain[64];
    while (read(wake_[0], drain, sizeof drain) > 0) {
    }
    if (fds[1].fd >= 0 && (fds[1].revents & POLLIN))
      on_extra_ready();

    std::vector<Script> fire;
    if (fds[2].fd >= 0 && fds[2].fd == stream_ && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t n = ::read(stream_, buf.data(), buf.size());
      if (n > 0) {
        std::lock_guard lock(mu_);
        received_.append(buf.data(), static_cast<std::size_t>(n));
        for (std::size_t before = SIZE_MAX; before != fire.size();) {
          before = fire.size();
          check_scripts_locked(fire);
        }
        cv_.notify_all();
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        drop_stream();
      }
    }

    std::vector<std::string> out;
    bool hang;
    {
      std::lock_guard lock(mu_);
      out.swap(outbox_);
      hang = std::exchange(hang_up_, false);
    }
    for (const std::string &bytes : out)
      write_all(bytes);
    for (const Script &s : fire) {
      for (const Chunk &c : s.chunks) {
        if (c.delay.count() > 0)
          std::this_thread::sleep_for(c.delay);
        write_all(c.bytes);
      }
      hang = hang || s.close_after;
    }
    if (hang)
      drop_stream();
  }
}

// ---- TCP ----

FakeTcpPrinter::FakeTcpPrinter()
{
  listen_ = zarn::test::listen_on_loopback(port_, 128);
  start();
}

FakeTcpPrinter::~FakeTcpPrinter()
{
  stop();
  drop_stream();
  close(listen_);
}

int FakeTcpPrinter::accepted() const
{
  std::lock_guard lock(mu_);
  return accepted_;
}

void FakeTcpPrinter::on_extra_ready()
{
  const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0)
    return;
  drop_stream();
  std::lock_guard lock(mu_);
  stream_ = fd;
  ++accepted_;
}

void FakeTcpPrinter::drop_stream()
{
  if (stream_ >= 0)
    close(std::exchange(stream_, -1));
}

// ---- serial ----

FakeSerialPrinter::FakeSerialPrinter()
{
  static std::atomic<int> counter{0};
  stream_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (stream_ < 0 || grantpt(stream_) != 0 || unlockpt(stream_) != 0) {
    problem_ = std::string("no pty: ") + std::strerror(errno);
    return;
  }
  slave_ = ptsname(stream_);
  keep_slave_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  name_ = "ttyZT" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  if (symlink(slave_.c_str(), device_path().c_str()) != 0) {
    problem_ = "cannot create " + device_path() + " (" + std::strerror(errno) +
               "); the serial tests need root";
    name_.clear();
  }
  start();
}

FakeSerialPrinter::~FakeSerialPrinter()
{
  stop();
  if (!name_.empty())
    unlink(device_path().c_str());
  if (keep_slave_ >= 0)
    close(keep_slave_);
  if (stream_ >= 0)
    close(stream_);
}

} // namespace zarn::test
