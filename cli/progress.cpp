// SPDX-License-Identifier: MIT
#include "progress.hpp"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

namespace zarn::cli {

std::string human_bytes(double bytes)
{
  char text[32];
  if (bytes < 1024)
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  else if (bytes < 1024.0 * 1024)
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
  else
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
  return text;
}

std::string progress_line(std::size_t done, std::size_t total, std::chrono::duration<double> took)
{
  std::string line =
      human_bytes(static_cast<double>(done)) + " of " + human_bytes(static_cast<double>(total));
  const double seconds = took.count();
  if (seconds > 0 && done > 0) {
    const double rate = static_cast<double>(done) / seconds;
    line += "  " + human_bytes(rate) + "/s";
    const double left = static_cast<double>(total - done) / rate;
    line += "  " + std::to_string(static_cast<long long>(std::ceil(left))) + " s left";
  }
  return line;
}

ProgressMeter::ProgressMeter(int fd)
    : fd_(fd), shown_(::isatty(fd) == 1), start_(std::chrono::steady_clock::now())
{
}

ProgressMeter::~ProgressMeter()
{
  if (drawn_)
    write("\n");
}

Progress ProgressMeter::callback()
{
  if (!shown_)
    return {};
  start_ = std::chrono::steady_clock::now();
  if (!begun_) {
    began_ = start_;
    begun_ = true;
  }
  return [this](std::size_t done, std::size_t total) { update(done, total); };
}

void ProgressMeter::update(std::size_t done, std::size_t total)
{
  const auto now = std::chrono::steady_clock::now();
  // A few updates a second are enough to read, and cheap on a slow terminal.
  if (done < total && now - last_ < std::chrono::milliseconds(100))
    return;
  last_ = now;
  drawn_ = true;
  write("\r" + prefix_ + progress_line(done, total, now - start_) + "\033[K");
}

void ProgressMeter::finish(std::size_t total, const std::string &what)
{
  if (!shown_)
    return;
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - (begun_ ? began_ : start_);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", took.count());
  write("\rsent " + (what.empty() ? human_bytes(static_cast<double>(total)) : what) + " in " +
        seconds + " s\033[K\n");
  drawn_ = false;
}

void ProgressMeter::write(const std::string &text) const
{
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

} // namespace zarn::cli
