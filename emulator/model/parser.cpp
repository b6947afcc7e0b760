// SPDX-License-Identifier: MIT
#include "parser.hpp"

#include "fields.hpp"

#include <algorithm>
#include <cctype>
#include <limits>

namespace zarn::emu {
namespace {

void skip_spaces(std::string_view &s)
{
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
}

// BITMAP x,y,widthBytes,height,mode,  with the last comma the one just read.
bool parse_bitmap_header(std::string_view s, BitmapHeader &h)
{
  if (!s.starts_with("BITMAP") || !s.ends_with(','))
    return false;
  s.remove_prefix(6);
  s.remove_suffix(1);
  const std::vector<std::string_view> f = all_fields(s);
  long long v[5];
  if (f.size() != 5 || !parse_integer(f[0], v[0]) || !parse_integer(f[1], v[1]))
    return false;
  for (std::size_t i = 2; i < 5; ++i)
    if (!parse_integer(f[i], v[i], 0, std::numeric_limits<long long>::max()))
      return false;
  h.x = v[0];
  h.y = v[1];
  h.width_bytes = static_cast<unsigned long long>(v[2]);
  h.height = static_cast<unsigned long long>(v[3]);
  h.mode = static_cast<unsigned long long>(v[4]);
  return true;
}

// DOWNLOAD [F,|E,]"name",n,  The name runs to the last quote before the
// count, so a name with a quote in it still parses.
bool parse_download_header(std::string_view s, DownloadHeader &h)
{
  if (!s.starts_with("DOWNLOAD"))
    return false;
  s.remove_prefix(8);
  skip_spaces(s);
  char memory = 'F';
  if (s.size() >= 2 && (s[0] == 'F' || s[0] == 'E') && (s[1] == ',' || s[1] == ' ')) {
    memory = s[0];
    s.remove_prefix(1);
    skip_spaces(s);
    if (s.empty() || s.front() != ',')
      return false;
    s.remove_prefix(1);
    skip_spaces(s);
  }
  if (s.empty() || s.front() != '"')
    return false;
  s.remove_prefix(1);
  // From the end: ',' digits [spaces] ',' '"'
  if (s.empty() || s.back() != ',')
    return false;
  s.remove_suffix(1);
  while (!s.empty() && s.back() == ' ')
    s.remove_suffix(1);
  std::size_t digits = 0;
  while (digits < s.size() && std::isdigit(static_cast<unsigned char>(s[s.size() - 1 - digits])))
    ++digits;
  long long n = 0;
  if (digits == 0 || !parse_integer(s.substr(s.size() - digits), n))
    return false;
  s.remove_suffix(digits);
  while (!s.empty() && s.back() == ' ')
    s.remove_suffix(1);
  if (s.size() < 2 || s.back() != ',' || s[s.size() - 2] != '"')
    return false;
  s.remove_suffix(2);
  h.memory = memory;
  h.name.assign(s);
  h.size = static_cast<unsigned long long>(n);
  return true;
}

} // namespace

void StreamParser::feed(const std::uint8_t *data, std::size_t size)
{
  std::size_t i = 0;
  while (i < size) {
    switch (mode_) {
    case Mode::line:
    case Mode::skip_line: line_byte(data[i++]); break;
    case Mode::block: {
      const std::size_t take =
          static_cast<std::size_t>(std::min<unsigned long long>(remaining_, size - i));
      block_.insert(block_.end(), data + i, data + i + take);
      i += take;
      remaining_ -= take;
      if (remaining_ == 0)
        finish_block();
      break;
    }
    case Mode::skip_block: {
      const std::size_t take =
          static_cast<std::size_t>(std::min<unsigned long long>(remaining_, size - i));
      i += take;
      remaining_ -= take;
      if (remaining_ == 0)
        mode_ = Mode::line;
      break;
    }
    }
  }
}

void StreamParser::line_byte(std::uint8_t b)
{
  if (b == '\n') {
    if (mode_ == Mode::line)
      finish_line();
    mode_ = Mode::line;
    line_.clear();
    ++line_no_;
    return;
  }
  if (mode_ == Mode::skip_line || b == '\r')
    return;
  if (line_.size() == kMaxLine) {
    sink_.on_problem("line too long, rest of it skipped", line_no_);
    line_.clear();
    mode_ = Mode::skip_line;
    return;
  }
  line_.push_back(static_cast<char>(b));
  if (line_.size() == 3 &&
      ((line_[0] == '\x1b' && line_[1] == '!') || (line_[0] == '~' && line_[1] == '!'))) {
    sink_.on_immediate(line_, line_no_);
    line_.clear();
    return;
  }
  if (b == ',')
    try_block_header();
}

void StreamParser::finish_line()
{
  if (!line_.empty())
    sink_.on_line(line_, line_no_);
}

bool StreamParser::try_block_header()
{
  // Headers are short; a long line of commas is not re-parsed at every one.
  constexpr std::size_t kMaxHeader = 1024;
  if (line_.size() > kMaxHeader)
    return false;
  if (line_[0] == 'B') {
    BitmapHeader h;
    if (!parse_bitmap_header(line_, h))
      return false;
    bitmap_ = h;
    // Refuse sizes whose product would overflow: such a block is skipped
    // as far as the count can be represented.
    unsigned long long bytes = 0;
    if (h.height != 0 && h.width_bytes > ~0ULL / h.height)
      bytes = ~0ULL;
    else
      bytes = h.width_bytes * h.height;
    start_block(BlockKind::bitmap, bytes);
    return true;
  }
  if (line_[0] == 'D') {
    DownloadHeader h;
    if (!parse_download_header(line_, h))
      return false;
    download_ = std::move(h);
    start_block(BlockKind::download, download_.size);
    return true;
  }
  return false;
}

void StreamParser::start_block(BlockKind kind, unsigned long long size)
{
  block_kind_ = kind;
  block_line_ = line_no_;
  block_.clear();
  line_.clear();
  remaining_ = size;
  if (size > kMaxBlock) {
    sink_.on_problem(kind == BlockKind::bitmap ? "BITMAP block too big, skipped"
                                               : "DOWNLOAD block too big, skipped",
                     block_line_);
    mode_ = Mode::skip_block;
    return;
  }
  // Grown as bytes come: a header may announce far more than ever arrives.
  block_.reserve(static_cast<std::size_t>(std::min<unsigned long long>(size, 64 * 1024)));
  mode_ = Mode::block;
  if (size == 0)
    finish_block();
}

void StreamParser::finish_block()
{
  mode_ = Mode::line;
  std::vector<std::uint8_t> data;
  data.swap(block_);
  if (block_kind_ == BlockKind::bitmap)
    sink_.on_bitmap(bitmap_, data, block_line_);
  else
    sink_.on_download(download_, data, block_line_);
}

void StreamParser::end_of_stream()
{
  switch (mode_) {
  case Mode::line: finish_line(); break;
  case Mode::skip_line: break;
  case Mode::block:
  case Mode::skip_block:
    sink_.on_problem(block_kind_ == BlockKind::bitmap
                         ? "stream ended inside a BITMAP block, dropped"
                         : "stream ended inside a DOWNLOAD block, dropped",
                     block_line_);
    break;
  }
  mode_ = Mode::line;
  line_.clear();
  block_.clear();
  block_.shrink_to_fit();
  remaining_ = 0;
  line_no_ = 1; // the next connection counts its own lines
}

} // namespace zarn::emu
