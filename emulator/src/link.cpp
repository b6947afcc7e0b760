#include "link.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zarn::emu {

bool Link::receive(const std::uint8_t *data, std::size_t size, Clock::time_point now)
{
  if (cut_)
    return false;
  if (faults_.close_after > 0 && received_ + size >= faults_.close_after) {
    size = static_cast<std::size_t>(faults_.close_after - received_);
    cut_ = true;
  }
  received_ += size;
  printer_.feed(data, size);
  std::string reply = printer_.take_replies();
  if (cut_) {
    // A cut link answers nothing more, not even to the bytes just read.
    pending_.clear();
    return false;
  }
  if (reply.empty())
    return true;
  // Keep the order of replies: a new one never overtakes one still waiting.
  Clock::time_point at = now + std::chrono::milliseconds(faults_.reply_delay_ms);
  if (!pending_.empty()) {
    // Pieces of two replies keep the same spacing as pieces of one.
    const auto after = pending_.back().at + std::chrono::milliseconds(
                                                faults_.reply_chunk > 0 ? faults_.chunk_gap_ms : 0);
    if (after > at)
      at = after;
  }
  const std::size_t step = faults_.reply_chunk > 0 ? faults_.reply_chunk : reply.size();
  for (std::size_t off = 0; off < reply.size(); off += step) {
    if (off > 0)
      at += std::chrono::milliseconds(faults_.chunk_gap_ms);
    pending_.push_back(Piece{at, reply.substr(off, step)});
  }
  return true;
}

void Link::end_of_stream()
{
  printer_.end_of_stream();
  printer_.take_replies();
  pending_.clear();
  received_ = 0;
  cut_ = false;
}

std::optional<std::string> Link::due(Clock::time_point now)
{
  if (pending_.empty() || pending_.front().at > now)
    return std::nullopt;
  std::string bytes = std::move(pending_.front().bytes);
  pending_.pop_front();
  return bytes;
}

int Link::wait_ms(Clock::time_point now) const
{
  if (pending_.empty())
    return -1;
  if (pending_.front().at <= now)
    return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(pending_.front().at - now).count();
  return static_cast<int>(ms);
}

void Fd::reset(int fd)
{
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = fd;
}

bool write_all(int fd, const std::string &data, bool socket)
{
  std::size_t off = 0;
  while (off < data.size()) {
    const ssize_t n = socket ? ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL)
                             : ::write(fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    off += static_cast<std::size_t>(n);
  }
  return true;
}

namespace {
int stop_pipe[2] = {-1, -1};

void on_stop_signal(int)
{
  const int saved = errno;
  const char c = 1;
  [[maybe_unused]] ssize_t n = ::write(stop_pipe[1], &c, 1);
  errno = saved;
}
} // namespace

int stop_fd() { return stop_pipe[0]; }

void install_stop_handlers()
{
  if (stop_pipe[0] < 0 && ::pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return;
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

} // namespace zarn::emu
