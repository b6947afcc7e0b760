// SPDX-License-Identifier: MIT
// The zarn command's subcommands, each returning the exit status.
#pragma once

#include "zarn.hpp"

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace zarn::cli {

// Exit statuses, the same for every subcommand.
inline constexpr int kExitOk = 0;        // done; ready; printed
inline constexpr int kExitFailure = 1;   // bad input, no printer, no reply, a failed transfer
inline constexpr int kExitAttention = 2; // the printer needs a person (paper out, head open, ...)
inline constexpr int kExitTimedOut = 3;  // --wait: still printing when the time was up

// The command stopped on a signal once what it was sending was whole; main
// says so and exits 128 + the signal, as a shell reports it.
class Stopped : public std::runtime_error {
 public:
  Stopped(int sig, const std::string &what)
      : std::runtime_error("stopped by signal " + std::to_string(sig) + ": " + what), sig_(sig)
  {
  }
  int signal() const { return sig_; }

 private:
  int sig_;
};

// While one lives, SIGINT, SIGTERM and SIGHUP do not cut a label short:
// the one being sent goes whole (half a BITMAP would swallow the next
// job's bytes), and signalled() then tells the caller to stop. A second
// signal ends the program at once.
class FinishLabelOnStop {
 public:
  FinishLabelOnStop();
  ~FinishLabelOnStop();
  FinishLabelOnStop(const FinishLabelOnStop &) = delete;
  FinishLabelOnStop &operator=(const FinishLabelOnStop &) = delete;
  // The signal that came, or 0.
  static int signalled();
};

struct WaitOptions {
  bool wait = false;
  std::chrono::duration<double> timeout{60};
};

// What zarn print was asked; the texts are checked by run_print.
struct PrintOptions {
  std::vector<std::string> files; // "-" is standard input
  std::string pages;              // "1-3,5,7-"; empty: every page
  int copies = 1;
  std::string label;     // "100x60mm", "4x6in"; empty: the picture's own size
  int dpi = 203;         // 203, 300 or 600
  std::string dither;    // threshold, floyd-steinberg, atkinson, ordered; empty: see run_print
  std::string threshold; // "50%"; empty: 50 %
  std::string rotate = "0";
  std::string fit = "contain";
  std::string margin;     // "MM", "V,H" or "T,R,B,L" in mm; empty: none
  std::string preview;    // write the labels as PNG here instead of printing
  double max_seconds = 0; // a page's CPU time budget; 0: the library's (10 s)
  unsigned max_mib = 0;   // a page's memory budget in MiB; 0: the library's (256 MiB)
  WaitOptions wait;
};

// With --wait: waits, prints the outcome and gives its exit status;
// otherwise kExitOk.
int wait_and_report(Printer &printer, const WaitOptions &wait);

// timeout: how long a TCP or serial printer may stay silent before it is
// "no reply".
int run_status(const Address &address, bool json, std::chrono::milliseconds timeout);
int run_info(const Address &address, bool json, std::chrono::milliseconds timeout);
int run_send(const Address &address, const std::string &file, const WaitOptions &wait);
int run_query(const Address &address, const std::string &command);
int run_upload(const Address &address, const std::string &file, std::string as);
int run_text(const Address &address, const std::string &text, const std::string &font, int size,
             const std::string &label, const std::string &at, const WaitOptions &wait);
int run_print(const Address &address, const PrintOptions &options);
int run_list(bool json);
int run_doctor(const Address &address);

// A one-line reason why the USB printer could not be opened, from what
// the machine shows; empty when nothing more specific is known.
std::string explain_usb_failure();

} // namespace zarn::cli
