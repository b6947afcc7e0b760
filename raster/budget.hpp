// SPDX-License-Identifier: MIT
// The budget of the page being rendered on this thread: CPU time since the
// page began, and the memory its pixels, decoder buffers and image data
// are charged with. Code deep in a decoder asks the thread's budget rather
// than having it passed through every call.
#pragma once

#include "core.hpp"

#include <cstddef>
#include <string>

namespace zarn::raster {

class Budget {
 public:
  // Starts the page's clock and makes this the thread's budget until it ends.
  Budget(const Settings &s, int page);
  ~Budget();
  Budget(const Budget &) = delete;
  Budget &operator=(const Budget &) = delete;

  // The budget of the page now rendering on this thread, or nullptr.
  static Budget *current();

  // Throw ERR_BUDGET when the page is over; cheap enough for every row.
  void check_time();
  void charge(std::size_t bytes);

  // The same without throwing, for callbacks inside C and C++ libraries
  // that must not be unwound: they note it and stop; over() tells, and
  // fail_if_over() throws afterwards.
  bool time_is_up();
  // time_is_up() at most every 2 ms: the clock is a system call, and
  // Poppler asks between every few operators.
  bool time_is_up_sometimes();
  bool try_charge(std::size_t bytes);
  bool over() const { return over_time_ || over_memory_; }
  void fail_if_over() const;

  // CPU seconds the page has used, and the most it may.
  double seconds_used() const;
  double max_seconds() const { return max_seconds_; }
  // Throws ERR_BUDGET for the time budget ("takes more than ...").
  [[noreturn]] void fail_time() const;

  std::size_t bytes_left() const { return charged_ < max_bytes_ ? max_bytes_ - charged_ : 0; }

 private:
  [[noreturn]] void fail_memory() const;

  double max_seconds_;
  std::size_t max_bytes_;
  int page_;
  double start_ = 0;
  std::size_t charged_ = 0;
  unsigned calls_ = 0;
  double last_look_ = 0; // monotonic seconds when time_is_up_sometimes last read the clock
  bool over_time_ = false;
  bool over_memory_ = false;
  Budget *outer_ = nullptr;
};

// Shorthands that do nothing when no page is being rendered.
inline void budget_check_time()
{
  if (Budget *b = Budget::current())
    b->check_time();
}

inline void budget_charge(std::size_t bytes)
{
  if (Budget *b = Budget::current())
    b->charge(bytes);
}

// "10 s", "0.5 s"; "256 MiB", "1.5 KiB".
std::string seconds_text(double seconds);
std::string bytes_text(unsigned long long bytes);

} // namespace zarn::raster
