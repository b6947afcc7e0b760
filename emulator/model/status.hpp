// The printer's status byte, as answered to the status request, and the
// counts of what it has printed.
#pragma once

#include <cstdint>
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

// Labels printed over the printer's life (numbering the files) and since
// the current connection began (for the per-connection cap).
struct PrintCounts {
  int total = 0;
  int connection = 0;
  bool cap_said = false; // the cap was logged on this connection
};

} // namespace zarn::emu
