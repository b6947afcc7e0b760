// SPDX-License-Identifier: MIT
// The printer's status byte, as answered to the status request, and the
// counts of what it has printed.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zarn::emu {

// Bits of the status byte.
inline constexpr std::uint8_t kHeadOpen = 0x01;
inline constexpr std::uint8_t kPaperJam = 0x02;
inline constexpr std::uint8_t kPaperOut = 0x04;
inline constexpr std::uint8_t kRibbonOut = 0x08;
inline constexpr std::uint8_t kPaused = 0x10;
inline constexpr std::uint8_t kPrinting = 0x20;
inline constexpr std::uint8_t kCoverOpen = 0x40;
inline constexpr std::uint8_t kOtherError = 0x80;
// A printer with one of these set does not print.
inline constexpr std::uint8_t kBlocksPrinting =
    kHeadOpen | kPaperJam | kPaperOut | kRibbonOut | kPaused | kCoverOpen;

// Parses "0x45", "69" or names joined by '+' or ',' ("paper-out+head-open";
// "ok" is 0).
bool parse_status(std::string_view text, std::uint8_t &status);
// "0x05".
std::string status_hex(std::uint8_t status);

// The states behind the status byte: bits set by hand (--status, EMULATOR
// STATUS), paper that runs out, a head that is opened, and the time each
// label takes to print. The byte answered is all of them together.
class Mechanics {
 public:
  using Clock = std::chrono::steady_clock;

  // The bits set by hand; the other states are ORed onto them.
  void set_bits(std::uint8_t bits) { bits_ = bits; }
  void set_head_open(bool open) { head_open_ = open; }
  void set_print_time(std::chrono::milliseconds t) { print_time_ = t; }
  // Loads this many labels of paper (nothing: unlimited), so paper-out
  // clears unless none is loaded.
  void load_paper(std::optional<long long> labels) { paper_ = labels; }

  std::uint8_t status(Clock::time_point now) const;
  bool paper_out() const { return paper_ && *paper_ <= 0; }
  // A label is printed now: it takes one label of paper and keeps the
  // printer busy for the print time after those before it.
  void print_label(Clock::time_point now);

 private:
  std::uint8_t bits_ = 0;
  bool head_open_ = false;
  std::optional<long long> paper_; // labels left; nothing: unlimited
  std::chrono::milliseconds print_time_{0};
  Clock::time_point busy_until_{};
};

// Labels printed over the printer's life (numbering the files) and since
// the current connection began (for the per-connection cap).
struct PrintCounts {
  int total = 0;
  int connection = 0;
  bool cap_said = false; // the cap was logged on this connection
};

} // namespace zarn::emu
