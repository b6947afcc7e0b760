// SPDX-License-Identifier: MIT
#include "budget.hpp"

#include <time.h>

#include <cmath>
#include <cstdio>
#include <limits>

namespace zarn::raster {

namespace {

thread_local Budget *t_current = nullptr;

// The rendering thread's own CPU time: other threads of a host (a print
// server's other jobs) are not charged to this page.
double thread_seconds()
{
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace

Budget::Budget(const Settings &s, int page)
    : max_seconds_(s.max_seconds), max_bytes_(s.max_bytes > std::numeric_limits<std::size_t>::max()
                                                  ? std::numeric_limits<std::size_t>::max()
                                                  : static_cast<std::size_t>(s.max_bytes)),
      page_(page), start_(thread_seconds()), outer_(t_current)
{
  t_current = this;
}

Budget::~Budget() { t_current = outer_; }

Budget *Budget::current() { return t_current; }

bool Budget::time_is_up()
{
  if (!over_time_ && thread_seconds() - start_ > max_seconds_)
    over_time_ = true;
  return over_time_;
}

bool Budget::time_is_up_sometimes()
{
  // The thread's CPU clock is a system call and Poppler may ask millions of
  // times, or once in milliseconds: read it when 2 ms have passed on the
  // monotonic clock, which is read without one.
  if (over_time_)
    return true;
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const double now = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  if (now - last_look_ < 0.002)
    return false;
  last_look_ = now;
  return time_is_up();
}

double Budget::seconds_used() const { return thread_seconds() - start_; }

void Budget::check_time()
{
  // The clock is a system call; rows come by the thousand.
  if ((++calls_ & 15u) != 0 && !over_time_)
    return;
  if (time_is_up())
    fail_time();
}

bool Budget::try_charge(std::size_t bytes)
{
  if (bytes > bytes_left()) {
    over_memory_ = true;
    return false;
  }
  charged_ += bytes;
  return true;
}

void Budget::charge(std::size_t bytes)
{
  if (!try_charge(bytes))
    fail_memory();
}

void Budget::fail_if_over() const
{
  if (over_memory_)
    fail_memory();
  if (over_time_)
    fail_time();
}

void Budget::fail_time() const
{
  fail(ZARN_RASTER_ERR_BUDGET, "page " + std::to_string(page_) + " takes more than " +
                                   seconds_text(max_seconds_) + " to render");
}

void Budget::fail_memory() const
{
  fail(ZARN_RASTER_ERR_BUDGET,
       "page " + std::to_string(page_) + " needs more than " + bytes_text(max_bytes_));
}

std::string seconds_text(double seconds)
{
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

std::string bytes_text(unsigned long long bytes)
{
  static const char *const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(bytes);
  int unit = 0;
  while (v >= 1024 && unit < 4) {
    v /= 1024;
    ++unit;
  }
  char text[40];
  if (unit == 0)
    std::snprintf(text, sizeof text, "%llu bytes", bytes);
  else if (std::floor(v) == v)
    std::snprintf(text, sizeof text, "%.0f %s", v, units[unit]);
  else
    std::snprintf(text, sizeof text, "%.1f %s", v, units[unit]);
  return text;
}

} // namespace zarn::raster
