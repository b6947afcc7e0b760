// SPDX-License-Identifier: MIT
#include "status.hpp"

#include "fields.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace zarn::emu {

bool parse_status(std::string_view text, std::uint8_t &status)
{
  text = trim(text);
  long long v = 0;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    const auto [p, ec] = std::from_chars(text.data() + 2, text.data() + text.size(), v, 16);
    if (ec != std::errc() || p != text.data() + text.size() || v < 0 || v > 255 || text.size() == 2)
      return false;
    status = static_cast<std::uint8_t>(v);
    return true;
  }
  if (parse_integer(text, v)) {
    if (v < 0 || v > 255)
      return false;
    status = static_cast<std::uint8_t>(v);
    return true;
  }
  static constexpr std::pair<std::string_view, std::uint8_t> names[] = {{"OK", 0},
                                                                        {"HEAD-OPEN", kHeadOpen},
                                                                        {"PAPER-JAM", kPaperJam},
                                                                        {"PAPER-OUT", kPaperOut},
                                                                        {"RIBBON-OUT", kRibbonOut},
                                                                        {"PAUSED", kPaused},
                                                                        {"PRINTING", kPrinting},
                                                                        {"COVER-OPEN", kCoverOpen},
                                                                        {"ERROR", kOtherError}};
  std::uint8_t bits = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("+,", start);
    if (end == std::string_view::npos)
      end = text.size();
    const std::string word = upper(trim(text.substr(start, end - start)));
    bool found = false;
    for (const auto &[name, bit] : names)
      if (word == name) {
        bits |= bit;
        found = true;
      }
    if (!found)
      return false;
    start = end + 1;
  }
  status = bits;
  return true;
}

std::uint8_t Mechanics::status(Clock::time_point now) const
{
  std::uint8_t s = bits_;
  if (head_open_)
    s |= kHeadOpen;
  if (paper_out())
    s |= kPaperOut;
  if (now < busy_until_)
    s |= kPrinting;
  return s;
}

void Mechanics::print_label(Clock::time_point now)
{
  if (paper_ && *paper_ > 0)
    --*paper_;
  busy_until_ = std::max(busy_until_, now) + print_time_;
}

std::string status_hex(std::uint8_t status)
{
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", status);
  return buf;
}

} // namespace zarn::emu
