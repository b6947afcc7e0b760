// SPDX-License-Identifier: MIT
#include "wire/wire.hpp"

#include <algorithm>
#include <charconv>
#include <initializer_list>

namespace zarn::wire {

int dots_per_mm(int dpi) { return dpi == 600 ? 24 : dpi == 300 ? 12 : 8; }

std::string millimetres(int dots, int dots_per_mm)
{
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(dots) / dots_per_mm,
                               std::chars_format::fixed, 3);
  std::string s(buf, r.ptr);
  while (s.back() == '0')
    s.pop_back();
  if (s.back() == '.')
    s.pop_back();
  return s;
}

std::string size_line(int width, int height, int dots_per_mm)
{
  return "SIZE " + millimetres(width, dots_per_mm) + " mm," + millimetres(height, dots_per_mm) +
         " mm";
}

std::array<std::string, 4> setup_lines(const SetupTexts &t)
{
  const auto cat = [](std::initializer_list<std::string_view> parts) {
    std::string line;
    for (const std::string_view p : parts)
      line.append(p);
    return line;
  };
  // Black-line media is chosen by a leading digit 1 only ("10" counts too).
  const std::string_view kind = t.media_kind.starts_with('1') ? "BLINE " : "GAP ";
  return {cat({"SIZE ", t.width_mm, " mm,", t.height_mm, " mm"}), cat({"SPEED ", t.speed}),
          cat({"DENSITY ", t.density}), cat({kind, t.gap_mm, " mm,", t.offset_mm, " mm"})};
}

std::string print_line(int copies) { return "PRINT 1," + std::to_string(copies); }

std::string bitmap_header(int x, int y, int bytes_per_row, int rows)
{
  return "BITMAP " + std::to_string(x) + "," + std::to_string(y) + "," +
         std::to_string(bytes_per_row) + "," + std::to_string(rows) + ",0,";
}

InkedRows inked_rows(const unsigned char *data, int height, std::size_t row_bytes)
{
  const auto paper = [&](int row) {
    const unsigned char *p = data + static_cast<std::size_t>(row) * row_bytes;
    return std::all_of(p, p + row_bytes, [](unsigned char b) { return b == 0xFF; });
  };
  int first = 0, last = height - 1;
  while (first <= last && paper(first))
    ++first;
  while (last >= first && paper(last))
    --last;
  return {first, last - first + 1};
}

std::string_view download_name_problem(std::string_view name)
{
  for (const char c : name) {
    if (c == '"')
      return "a name in the printer cannot hold a double quote (\")";
    if (c == '\r')
      return "a name in the printer cannot hold a line break (CR)";
    if (c == '\n')
      return "a name in the printer cannot hold a line break (LF)";
  }
  return {};
}

std::optional<std::string> download_header(std::string_view name, std::size_t size)
{
  if (!download_name_problem(name).empty() || name.find('\0') != std::string_view::npos)
    return std::nullopt;
  std::string header = "DOWNLOAD F,\"";
  header.append(name).append("\",").append(std::to_string(size)).append(",");
  if (header.size() > kDownloadHeaderMax)
    return std::nullopt;
  return header;
}

std::string status_words(std::uint8_t bits)
{
  if (bits == 0)
    return "ready";
  std::string s;
  for (const StatusWord &w : kStatusWords)
    if (bits & w.bit)
      s.append(s.empty() ? "" : ", ").append(w.words);
  return s;
}

} // namespace zarn::wire
