// SPDX-License-Identifier: MIT
#include "fields.hpp"

#include <cctype>
#include <charconv>
#include <cstdio>

namespace zarn::emu {

std::string_view trim(std::string_view s)
{
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
    s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
    s.remove_suffix(1);
  return s;
}

std::string upper(std::string_view s)
{
  std::string out(s);
  for (char &c : out)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::pair<std::string, std::string_view> split_word(std::string_view line)
{
  line = trim(line);
  std::size_t n = 0;
  while (n < line.size() && !std::isspace(static_cast<unsigned char>(line[n])))
    ++n;
  return {upper(line.substr(0, n)), trim(line.substr(n))};
}

bool take_fields(std::string_view &s, std::size_t count, std::vector<std::string_view> &out)
{
  out.clear();
  for (std::size_t k = 0; k < count; ++k) {
    s = trim(s);
    std::size_t end = 0;
    if (!s.empty() && s.front() == '"') {
      end = s.find('"', 1);
      if (end == std::string_view::npos)
        return false;
      ++end;
    }
    const std::size_t comma = s.find(',', end);
    if (comma == std::string_view::npos)
      return false;
    out.push_back(trim(s.substr(0, comma)));
    s.remove_prefix(comma + 1);
  }
  return true;
}

std::vector<std::string_view> all_fields(std::string_view s)
{
  std::vector<std::string_view> out;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || (s[i] == ',' && !quoted)) {
      out.push_back(trim(s.substr(start, i - start)));
      start = i + 1;
    } else if (s[i] == '"') {
      quoted = !quoted;
    }
  }
  return out;
}

bool parse_integer(std::string_view s, long long &value)
{
  s = trim(s);
  if (!s.empty() && s.front() == '+')
    s.remove_prefix(1);
  // from_chars refuses values out of range instead of wrapping them.
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

bool parse_integer(std::string_view s, long long &value, long long lo, long long hi)
{
  long long v = 0;
  if (!parse_integer(s, v) || v < lo || v > hi)
    return false;
  value = v;
  return true;
}

bool parse_integer(std::string_view s, int &value, int lo, int hi)
{
  long long v = 0;
  if (!parse_integer(s, v, lo, hi))
    return false;
  value = static_cast<int>(v);
  return true;
}

bool parse_decimal(std::string_view s, double &value)
{
  s = trim(s);
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

bool parse_length(std::string_view s, double dots_per_mm, double &dots)
{
  s = trim(s);
  double factor = dots_per_mm * 25.4;
  const std::string u = upper(s);
  if (u.ends_with("MM")) {
    factor = dots_per_mm;
    s.remove_suffix(2);
  } else if (u.ends_with("DOT")) {
    factor = 1;
    s.remove_suffix(3);
  }
  double v = 0;
  if (!parse_decimal(s, v) || !(v >= 0) || v > 1e6)
    return false;
  dots = v * factor;
  return true;
}

bool unquote(std::string_view s, std::string &out)
{
  s = trim(s);
  if (s.size() < 2 || s.front() != '"' || s.back() != '"')
    return false;
  s = s.substr(1, s.size() - 2);
  out.clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s.substr(i).starts_with("\\[\"]")) {
      out.push_back('"');
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return true;
}

bool is_variable(std::string_view s)
{
  if (s.empty())
    return false;
  std::size_t i = 0;
  if (s[0] == '@')
    i = 1;
  else if (!std::isalpha(static_cast<unsigned char>(s[0])) && s[0] != '_')
    return false;
  if (i == s.size())
    return false;
  for (; i < s.size(); ++i) {
    const bool name_char = std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_';
    if (!name_char && !(s[i] == '$' && i + 1 == s.size()))
      return false;
  }
  return true;
}

std::string shown(std::string_view s)
{
  std::string out;
  for (char c : s.substr(0, 80)) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) {
      out.push_back(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    }
  }
  if (s.size() > 80)
    out += "...";
  return out;
}

} // namespace zarn::emu
