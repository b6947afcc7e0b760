// SPDX-License-Identifier: MIT
// Progress of a long transfer, for a person watching a terminal: bytes,
// rate and time left on one line that rewrites itself. Silent when its
// output is not a terminal, so scripts and logs see nothing of it.
#pragma once

#include "zarn.hpp"

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>

namespace zarn::cli {

// "512 B", "118.2 KiB", "3.4 MiB".
std::string human_bytes(double bytes);
// "48.0 KiB of 118.2 KiB  11.5 KiB/s  6 s left"
std::string progress_line(std::size_t done, std::size_t total, std::chrono::duration<double> took);

class ProgressMeter {
 public:
  // Shows on descriptor fd when it is a terminal.
  explicit ProgressMeter(int fd);
  // A line left unfinished (a transfer that failed) is ended, so the error
  // after it starts on a line of its own.
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter &) = delete;
  ProgressMeter &operator=(const ProgressMeter &) = delete;
  bool shown() const { return shown_; }
  // A callback for Printer transfers; empty when nothing is shown, so the
  // transfer goes out whole.
  Progress callback();
  // Text shown before the bytes, such as "label 2 of 5  ".
  void set_prefix(std::string prefix) { prefix_ = std::move(prefix); }
  // Ends the line with "sent 118.2 KiB in 10.3 s", timed from the first
  // callback(); what, when given, replaces the size ("5 labels, 590.3 KiB").
  void finish(std::size_t total, const std::string &what = "");

 private:
  void update(std::size_t done, std::size_t total);
  void write(const std::string &text) const;

  int fd_;
  bool shown_;
  std::chrono::steady_clock::time_point start_; // of this transfer, for its rate
  std::chrono::steady_clock::time_point began_; // of the first transfer
  bool begun_ = false;
  bool drawn_ = false; // a progress line is showing, not yet finished
  std::string prefix_;
  std::chrono::steady_clock::time_point last_{};
};

} // namespace zarn::cli
