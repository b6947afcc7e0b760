#include "printer.hpp"

#include "saturate.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace zarn::emu {
namespace {

constexpr double kDotsPerMm = 8.0;
constexpr int kMaxWidthDots = 300 * 8;   // wider than any desktop label printer
constexpr int kMaxHeightDots = 1000 * 8; // one metre of label
constexpr std::size_t kMaxItems = 100000;
constexpr std::size_t kMaxStoredBytes = 256u << 20;

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

// Splits "WORD rest" at the first blank.
std::pair<std::string, std::string_view> split_word(std::string_view line)
{
  line = trim(line);
  std::size_t n = 0;
  while (n < line.size() && !std::isspace(static_cast<unsigned char>(line[n])))
    ++n;
  return {upper(line.substr(0, n)), trim(line.substr(n))};
}

// Takes count comma-separated fields from the front of s; a field in
// double quotes may hold commas. s keeps what follows the last comma.
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

// Splits all of s at commas outside quotes.
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

bool to_int(std::string_view s, long long &v)
{
  s = trim(s);
  if (!s.empty() && s.front() == '+')
    s.remove_prefix(1);
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

bool to_int(std::string_view s, int &v, int lo, int hi)
{
  long long w = 0;
  if (!to_int(s, w) || w < lo || w > hi)
    return false;
  v = static_cast<int>(w);
  return true;
}

bool to_double(std::string_view s, double &v)
{
  s = trim(s);
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

// "100 mm", "800 dot", or a bare number of inches; gives dots.
bool to_length(std::string_view s, double &dots)
{
  s = trim(s);
  double factor = kDotsPerMm * 25.4;
  std::string u = upper(s);
  if (u.ends_with("MM")) {
    factor = kDotsPerMm;
    s.remove_suffix(2);
  } else if (u.ends_with("DOT")) {
    factor = 1;
    s.remove_suffix(3);
  }
  double v = 0;
  if (!to_double(s, v) || !(v >= 0) || v > 1e6)
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
  // \["] stands for a double quote inside printer texts.
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

bool valid_rotation(int r) { return r == 0 || r == 90 || r == 180 || r == 270; }

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// A variable name: @1, NAME, NAME$.
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
  for (; i < s.size(); ++i)
    if (!is_name_char(s[i]) && !(s[i] == '$' && i + 1 == s.size()))
      return false;
  return true;
}

// For log lines: the command shortened and made printable.
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

// Adds step to a decimal text, keeping its width ("0009" + 1 = "0010").
std::string count_up(const std::string &value, long long step)
{
  long long v = 0;
  if (value.empty() || value.size() > 15 || !to_int(value, v) ||
      !std::all_of(value.begin(), value.end(),
                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return value;
  v = sat_add(v, step);
  if (v < 0)
    v = 0;
  std::string s = std::to_string(v);
  if (s.size() < value.size())
    s.insert(0, value.size() - s.size(), '0');
  return s;
}

} // namespace

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
  if (to_int(text, v)) {
    if (v < 0 || v > 255)
      return false;
    status = static_cast<std::uint8_t>(v);
    return true;
  }
  static const std::pair<const char *, std::uint8_t> names[] = {{"ok", 0},
                                                                {"head-open", kHeadOpen},
                                                                {"paper-jam", kPaperJam},
                                                                {"paper-out", kPaperOut},
                                                                {"ribbon-out", kRibbonOut},
                                                                {"paused", kPaused},
                                                                {"printing", kPrinting},
                                                                {"cover-open", kCoverOpen},
                                                                {"error", kOtherError}};
  std::uint8_t bits = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("+,", start);
    if (end == std::string_view::npos)
      end = text.size();
    std::string word = upper(trim(text.substr(start, end - start)));
    bool found = false;
    for (const auto &[name, bit] : names)
      if (word == upper(name)) {
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

Printer::Printer(PrinterConfig config)
    : config_(std::move(config)), parser_(*this), face_(config_.font_path),
      log_([](const std::string &s) { std::fprintf(stderr, "%s\n", s.c_str()); })
{
}

Printer::~Printer() = default;

void Printer::feed(const std::uint8_t *data, std::size_t size) { parser_.feed(data, size); }

void Printer::end_of_stream()
{
  parser_.end_of_stream();
  connection_labels_ = 0;
}

std::string Printer::take_replies()
{
  std::string out;
  out.swap(replies_);
  answers_cut_ = false;
  return out;
}

void Printer::problem(std::uint64_t line_no, const std::string &what)
{
  ++problems_;
  if (log_)
    log_("line " + std::to_string(line_no) + ": " + what);
}

void Printer::note(const std::string &what)
{
  if (log_)
    log_(what);
}

void Printer::on_problem(std::string_view what, std::uint64_t line_no)
{
  problem(line_no, std::string(what));
}

std::size_t Printer::cost(const Item &item)
{
  // What the object really holds, texts and pixels included.
  std::size_t bytes = sizeof(Item);
  if (const auto *p = std::get_if<Placed>(&item))
    bytes += p->image.px.size();
  else if (const auto *b = std::get_if<Bitmap>(&item))
    bytes += b->bits.size();
  else if (const auto *t = std::get_if<VarText>(&item))
    bytes += t->args.font.size() + t->var.size();
  else if (const auto *v = std::get_if<VarBarcode>(&item))
    bytes += v->request.type.size() + v->request.content.size() + v->var.size();
  return bytes;
}

void Printer::add(Item item)
{
  const std::size_t bytes = cost(item);
  if (items_.size() >= kMaxItems || item_bytes_ + bytes > config_.max_label_bytes) {
    problem(parser_.line_no(), "label buffer full (" + std::to_string(config_.max_label_bytes) +
                                   " bytes), object dropped (CLS empties it)");
    return;
  }
  item_bytes_ += bytes;
  items_.push_back(std::move(item));
}

void Printer::on_immediate(std::string_view command, std::uint64_t line_no)
{
  if (command == "\x1b!?") {
    const char status = static_cast<char>(config_.status);
    answer(std::string_view(&status, 1), line_no);
  } else if (command == "~!T") {
    answer(config_.model_name, line_no);
  } else if (command == "\x1b!R") {
    items_.clear();
    item_bytes_ = 0;
    clear_variables();
    counters_.clear();
    note("printer reset (ESC ! R)");
  } else {
    problem(line_no, "unknown immediate command: " + shown(command));
  }
}

void Printer::on_line(std::string_view raw, std::uint64_t line_no)
{
  const std::string_view line = trim(raw);
  if (line.empty())
    return;
  auto [word, args] = split_word(line);
  bool ok = true;
  if (word == "SIZE")
    ok = cmd_size(args, line_no);
  else if (word == "GAP" || word == "BLINE")
    ok = cmd_media(word, args, line_no);
  else if (word == "SPEED" || word == "DENSITY") {
    double v = 0;
    ok = to_double(args, v) && v >= 0 && v <= 30;
    if (ok)
      (word == "SPEED" ? speed_ : density_) = v;
  } else if (word == "CLS") {
    items_.clear();
    item_bytes_ = 0;
  } else if (word == "TEXT")
    ok = cmd_text(args, line_no);
  else if (word == "BARCODE")
    ok = cmd_barcode(args, line_no);
  else if (word == "PRINT")
    ok = cmd_print(args, line_no);
  else if (word == "FORMFEED") {
    if (may_print(line_no)) {
      Image blank(width_, height_);
      emit_label(blank, line_no, true);
    }
  } else if (word == "BAR" || word == "ERASE" || word == "REVERSE")
    ok = cmd_rect(word, args, line_no);
  else if (word == "BOX")
    ok = cmd_box(args, line_no);
  else if (word == "SET")
    ok = cmd_set(args, line_no);
  else if (word == "OUT")
    ok = cmd_out(args, line_no);
  else if (word == "KILL")
    ok = cmd_kill(args, line_no);
  else if (word == "DIRECTION") {
    auto f = all_fields(args);
    int d = 0, m = 0;
    ok = !f.empty() && f.size() <= 2 && to_int(f[0], d, 0, 1) &&
         (f.size() < 2 || to_int(f[1], m, 0, 1));
    if (ok) {
      turned_ = d == 1;
      mirrored_ = m == 1;
    }
  } else if (word == "REFERENCE") {
    auto f = all_fields(args);
    ok = f.size() == 2 && to_int(f[0], ref_x_) && to_int(f[1], ref_y_);
  } else if (word == "EMULATOR")
    ok = cmd_emulator(args, line_no);
  else if (word == "OFFSET" || word == "SHIFT" || word == "CODEPAGE" || word == "HOME" ||
           word == "SOUND" || word == "FEED" || word == "BACKFEED" || word == "BACKUP" ||
           word == "CUT" || word == "LIMITFEED" || word == "COUNTRY") {
    // Paper handling and settings that leave no mark on the label.
  } else if (line.find('=') != std::string_view::npos && cmd_assign(line, line_no)) {
  } else {
    problem(line_no, "unknown command: " + shown(line));
    return;
  }
  if (!ok)
    problem(line_no, "malformed command: " + shown(line));
}

bool Printer::cmd_size(std::string_view args, std::uint64_t line_no)
{
  auto f = all_fields(args);
  double w = 0, h = 0;
  if (f.size() != 2 || !to_length(f[0], w) || !to_length(f[1], h))
    return false;
  const int wd = static_cast<int>(w + 0.5), hd = static_cast<int>(h + 0.5);
  if (wd < 1 || hd < 1 || wd > kMaxWidthDots || hd > kMaxHeightDots) {
    problem(line_no,
            "label size out of range (1 dot to 300 mm wide, 1000 mm long), size unchanged");
    return true;
  }
  width_ = wd;
  height_ = hd;
  return true;
}

bool Printer::cmd_media(std::string_view word, std::string_view args, std::uint64_t)
{
  auto f = all_fields(args);
  double g = 0, o = 0;
  if (f.size() != 2 || !to_length(f[0], g) || !to_length(f[1], o))
    return false;
  black_line_ = word == "BLINE";
  gap_mm_ = g / kDotsPerMm;
  gap_offset_mm_ = o / kDotsPerMm;
  return true;
}

std::optional<Image> Printer::text_image(const TextArgs &a, std::string_view content,
                                         std::uint64_t line_no)
{
  FontCell cell{};
  if (!builtin_font_cell(a.font, cell)) {
    problem(line_no, "font \"" + shown(a.font) + "\" is not built in, drawn with font \"3\"");
    builtin_font_cell("3", cell);
  }
  const std::u32string text = decode_text(content);
  if (text.empty())
    return std::nullopt;
  if (text.size() * static_cast<std::size_t>(cell.width * a.xm) > 20000) {
    problem(line_no, "text too long for any label, not drawn");
    return std::nullopt;
  }
  return scale(face_.render_cells(text, cell), a.xm, a.ym);
}

namespace {
int anchor_for(int align, int width) { return align == 2 ? width / 2 : align == 3 ? width : 0; }
} // namespace

bool Printer::cmd_text(std::string_view args, std::uint64_t line_no)
{
  std::vector<std::string_view> f;
  if (!take_fields(args, 6, f))
    return false;
  TextArgs a;
  if (!to_int(f[0], a.x) || !to_int(f[1], a.y) || !unquote(f[2], a.font) ||
      !to_int(f[3], a.rotation, 0, 270) || !valid_rotation(a.rotation) ||
      !to_int(f[4], a.xm, 1, 10) || !to_int(f[5], a.ym, 1, 10))
    return false;
  args = trim(args);
  if (!args.empty() && std::isdigit(static_cast<unsigned char>(args.front()))) {
    std::vector<std::string_view> g;
    if (!take_fields(args, 1, g) || !to_int(g[0], a.align, 0, 3))
      return false;
    args = trim(args);
  }
  a.x = sat_add(a.x, ref_x_);
  a.y = sat_add(a.y, ref_y_);
  std::string content;
  if (unquote(args, content)) {
    if (auto img = text_image(a, content, line_no)) {
      const int anchor = anchor_for(a.align, img->width);
      add(Placed{std::move(*img), a.x, a.y, a.rotation, Paint::Or, anchor});
    }
    return true;
  }
  if (!is_variable(args))
    return false;
  add(VarText{a, std::string(args), line_no});
  return true;
}

bool Printer::cmd_barcode(std::string_view args, std::uint64_t line_no)
{
  std::vector<std::string_view> f;
  if (!take_fields(args, 8, f))
    return false;
  long long x = 0, y = 0;
  int rotation = 0, align = 0;
  BarcodeRequest r;
  if (!to_int(f[0], x) || !to_int(f[1], y) || !unquote(f[2], r.type) ||
      !to_int(f[3], r.height, 1, 10000) || !to_int(f[4], r.readable, 0, 3) ||
      !to_int(f[5], rotation, 0, 270) || !valid_rotation(rotation) ||
      !to_int(f[6], r.narrow, 1, 100) || !to_int(f[7], r.wide, 1, 100))
    return false;
  args = trim(args);
  if (!args.empty() && std::isdigit(static_cast<unsigned char>(args.front()))) {
    std::vector<std::string_view> g;
    if (!take_fields(args, 1, g) || !to_int(g[0], align, 0, 3))
      return false;
    args = trim(args);
  }
  x = sat_add(x, ref_x_);
  y = sat_add(y, ref_y_);
  r.type = upper(r.type);
  if (unquote(args, r.content)) {
    std::string error;
    auto img = render_barcode(r, face_, error);
    if (!img) {
      problem(line_no, error + ", not drawn");
      return true;
    }
    const int anchor = anchor_for(align, img->width);
    add(Placed{std::move(*img), x, y, rotation, Paint::Or, anchor});
    return true;
  }
  if (!is_variable(args))
    return false;
  add(VarBarcode{r, x, y, rotation, align, std::string(args), line_no});
  return true;
}

bool Printer::cmd_rect(std::string_view word, std::string_view args, std::uint64_t)
{
  auto f = all_fields(args);
  long long v[4];
  if (f.size() != 4)
    return false;
  for (int i = 0; i < 4; ++i)
    if (!to_int(f[static_cast<std::size_t>(i)], v[i]))
      return false;
  if (v[2] < 0 || v[3] < 0)
    return false;
  const Paint p = word == "BAR" ? Paint::Or : word == "ERASE" ? Paint::Clear : Paint::Xor;
  const long long x = sat_add(v[0], ref_x_), y = sat_add(v[1], ref_y_);
  add(Rect{x, y, sat_add(x, v[2]), sat_add(y, v[3]), p});
  return true;
}

bool Printer::cmd_box(std::string_view args, std::uint64_t)
{
  auto f = all_fields(args);
  long long v[5];
  if (f.size() < 5)
    return false;
  for (int i = 0; i < 5; ++i)
    if (!to_int(f[static_cast<std::size_t>(i)], v[i]))
      return false;
  const long long x0 = sat_add(v[0], ref_x_), y0 = sat_add(v[1], ref_y_),
                  x1 = sat_add(v[2], ref_x_), y1 = sat_add(v[3], ref_y_), t = v[4];
  if (x1 < x0 || y1 < y0 || t < 1)
    return false;
  add(Rect{x0, y0, x1, sat_add(y0, t), Paint::Or});
  add(Rect{x0, sat_sub(y1, t), x1, y1, Paint::Or});
  add(Rect{x0, y0, sat_add(x0, t), y1, Paint::Or});
  add(Rect{sat_sub(x1, t), y0, x1, y1, Paint::Or});
  return true;
}

bool Printer::cmd_set(std::string_view args, std::uint64_t)
{
  auto [what, rest] = split_word(args);
  if (what == "COUNTER") {
    auto [var, step_text] = split_word(rest);
    // The name keeps its case: split_word upper-cased it, so re-read it.
    std::string_view name = trim(rest).substr(0, var.size());
    long long step = 0;
    if (!is_variable(name) || !to_int(step_text, step))
      return false;
    counters_[std::string(name)] = step;
    return true;
  }
  static const char *const accepted[] = {"TEAR",    "STRIPER", "PEEL", "CUTTER", "PARTIAL_CUTTER",
                                         "BACK",    "GAP",     "HEAD", "RIBBON", "PRINTKEY",
                                         "REPRINT", "KEY1",    "KEY2", "LED1",   "LED2",
                                         "LED3",    "FEED_LEN"};
  for (const char *a : accepted)
    if (what == a)
      return !rest.empty();
  return false;
}

bool Printer::cmd_out(std::string_view args, std::uint64_t line_no)
{
  // OUT item[;item...]: quoted texts, _SERIAL$, _MODEL$ or variables;
  // the answer ends with CR LF. Repeated long variables could make it huge:
  // it is built no longer than the printer holds, answer() then cuts it.
  std::string reply;
  std::size_t start = 0;
  bool quoted = false;
  for (std::size_t i = 0; i <= args.size(); ++i) {
    if (i < args.size() && args[i] == '"')
      quoted = !quoted;
    if (i < args.size() && (args[i] != ';' || quoted))
      continue;
    const std::string_view item = trim(args.substr(start, i - start));
    start = i + 1;
    std::string text;
    if (unquote(item, text))
      ;
    else if (upper(item) == "_SERIAL$")
      text = config_.serial_number;
    else if (upper(item) == "_MODEL$")
      text = config_.model_name;
    else if (is_variable(item))
      text = lookup(item, line_no);
    else
      return false;
    if (reply.size() <= kMaxReplyBytes)
      reply.append(text, 0, kMaxReplyBytes + 1 - reply.size());
  }
  reply += "\r\n";
  answer(reply, line_no);
  return true;
}

bool Printer::cmd_kill(std::string_view args, std::uint64_t line_no)
{
  auto f = all_fields(args);
  if (f.size() == 2 && (f[0] == "F" || f[0] == "E"))
    f.erase(f.begin());
  std::string name;
  if (f.size() != 1 || !unquote(f[0], name))
    return false;
  std::vector<std::string> gone;
  for (const auto &[n, data] : files_)
    if (name == "*" || n == name)
      gone.push_back(n);
  if (gone.empty())
    problem(line_no, "KILL: no file \"" + shown(name) + "\"");
  for (const std::string &n : gone) {
    file_bytes_ -= files_[n].size();
    files_.erase(n);
    if (!config_.storage_dir.empty()) {
      std::error_code ec;
      std::filesystem::remove(config_.storage_dir / storage_file_name(n), ec);
    }
  }
  return true;
}

bool Printer::cmd_assign(std::string_view line, std::uint64_t line_no)
{
  const std::size_t eq = line.find('=');
  const std::string_view name = trim(line.substr(0, eq));
  const std::string_view value = trim(line.substr(eq + 1));
  if (!is_variable(name))
    return false;
  std::string text;
  if (!unquote(value, text)) {
    long long n = 0;
    if (!to_int(value, n))
      return false;
    text = std::string(value);
  }
  set_variable(std::string(name), std::move(text), line_no);
  return true;
}

bool Printer::set_variable(const std::string &name, std::string value, std::uint64_t line_no)
{
  auto it = vars_.find(name);
  const std::size_t old = it == vars_.end() ? 0 : name.size() + it->second.size();
  const std::size_t bytes = name.size() + value.size();
  if (var_bytes_ - old + bytes > config_.max_variable_bytes) {
    problem(line_no, "variable memory full (" + std::to_string(config_.max_variable_bytes) +
                         " bytes), " + shown(name) + " not set");
    return false;
  }
  var_bytes_ = var_bytes_ - old + bytes;
  vars_[name] = std::move(value);
  return true;
}

void Printer::clear_variables()
{
  vars_.clear();
  var_bytes_ = 0;
}

void Printer::answer(std::string_view text, std::uint64_t line_no)
{
  const std::size_t room = kMaxReplyBytes - std::min(replies_.size(), kMaxReplyBytes);
  if (text.size() > room && !answers_cut_) {
    problem(line_no, "answer cut to " + std::to_string(room) +
                         " bytes (unsent answers are held to " + std::to_string(kMaxReplyBytes) +
                         " bytes; later ones are dropped until these are taken)");
    answers_cut_ = true;
  }
  replies_.append(text.substr(0, room));
}

bool Printer::cmd_emulator(std::string_view args, std::uint64_t)
{
  auto [what, rest] = split_word(args);
  if (what == "STATUS") {
    std::uint8_t s = 0;
    if (!parse_status(rest, s))
      return false;
    config_.status = s;
    note("status byte set to " + std::to_string(s));
    return true;
  }
  return false;
}

std::string Printer::lookup(std::string_view var, std::uint64_t line_no)
{
  auto it = vars_.find(std::string(var));
  if (it != vars_.end())
    return it->second;
  problem(line_no, "variable " + shown(var) + " is not set, its name is printed");
  return std::string(var);
}

void Printer::on_bitmap(const BitmapHeader &h, std::span<const std::uint8_t> data,
                        std::uint64_t line_no)
{
  Paint paint = Paint::Overwrite;
  if (h.mode == 1)
    paint = Paint::Or;
  else if (h.mode == 2)
    paint = Paint::Xor;
  else if (h.mode != 0) {
    problem(line_no, "BITMAP mode " + std::to_string(h.mode) + " unknown, bitmap dropped");
    return;
  }
  if (items_.size() >= kMaxItems ||
      item_bytes_ + data.size() + sizeof(Item) > config_.max_label_bytes) {
    problem(line_no, "label buffer full (" + std::to_string(config_.max_label_bytes) +
                         " bytes), BITMAP dropped (CLS empties it)");
    return;
  }
  item_bytes_ += data.size() + sizeof(Item);
  items_.push_back(Bitmap{sat_add(h.x, ref_x_), sat_add(h.y, ref_y_),
                          static_cast<std::size_t>(h.width_bytes),
                          static_cast<std::size_t>(h.height),
                          std::vector<std::uint8_t>(data.begin(), data.end()), paint});
}

void Printer::on_download(const DownloadHeader &h, std::span<const std::uint8_t> data,
                          std::uint64_t line_no)
{
  const bool known = files_.count(h.name) != 0;
  const std::size_t old = known ? files_[h.name].size() : 0;
  if (!known && files_.size() >= config_.max_files) {
    problem(line_no, "storage holds " + std::to_string(files_.size()) +
                         " files, the most it keeps; \"" + shown(h.name) + "\" not stored");
    return;
  }
  if (file_bytes_ - old + data.size() > kMaxStoredBytes) {
    problem(line_no, "storage full, \"" + shown(h.name) + "\" not stored");
    return;
  }
  file_bytes_ = file_bytes_ - old + data.size();
  files_[h.name].assign(data.begin(), data.end());
  if (!config_.storage_dir.empty()) {
    const auto path = config_.storage_dir / storage_file_name(h.name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()),
              static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out)
      problem(line_no, "cannot write " + path.string());
  }
  note("stored \"" + shown(h.name) + "\" (" + std::to_string(data.size()) + " bytes)");
}

std::string Printer::storage_file_name(std::string_view name)
{
  // Printer names may hold anything; the folder gets a safe, reversible
  // spelling: bytes outside printable ASCII, '/', '\', '%' and a leading
  // dot become %XX.
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c >= 0x7F || c == '/' || c == '\\' || c == '%' || (i == 0 && c == '.')) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (out.empty())
    out = "%";
  return out;
}

void Printer::draw_bitmap(Image &canvas, const Bitmap &b)
{
  // Bit 7 of a byte is the leftmost dot of the eight; a clear bit is a dot.
  // Only the part that lies on the label is visited.
  const long long x = clamp_position(b.x), y = clamp_position(b.y);
  const long long wdots = static_cast<long long>(b.width_bytes) * 8;
  const long long j0 = std::max<long long>(0, -y);
  const long long j1 = std::min<long long>(static_cast<long long>(b.height), canvas.height - y);
  const long long i0 = std::max<long long>(0, -x),
                  i1 = std::min<long long>(wdots, canvas.width - x);
  const Paint paint = b.paint;
  for (long long j = j0; j < j1; ++j) {
    const std::uint8_t *row = b.bits.data() + static_cast<std::size_t>(j) * b.width_bytes;
    for (long long i = i0; i < i1; ++i) {
      const std::uint8_t dot = (row[i / 8] & (0x80 >> (i % 8))) ? 0 : 1;
      std::uint8_t &d = canvas.at(static_cast<int>(x + i), static_cast<int>(y + j));
      switch (paint) {
      case Paint::Overwrite: d = dot; break;
      case Paint::Or: d |= dot; break;
      case Paint::Xor: d ^= dot; break;
      case Paint::Clear:
        if (dot)
          d = 0;
        break;
      }
    }
  }
}

Image Printer::render()
{
  Image canvas(width_, height_);
  for (const Item &item : items_) {
    if (const auto *p = std::get_if<Placed>(&item)) {
      draw(canvas, p->image, p->x, p->y, p->rotation, p->paint, p->anchor);
    } else if (const auto *bm = std::get_if<Bitmap>(&item)) {
      draw_bitmap(canvas, *bm);
    } else if (const auto *t = std::get_if<VarText>(&item)) {
      if (auto img = text_image(t->args, lookup(t->var, t->line_no), t->line_no))
        draw(canvas, *img, t->args.x, t->args.y, t->args.rotation, Paint::Or,
             anchor_for(t->args.align, img->width));
    } else if (const auto *b = std::get_if<VarBarcode>(&item)) {
      BarcodeRequest r = b->request;
      r.content = lookup(b->var, b->line_no);
      std::string error;
      if (auto img = render_barcode(r, face_, error))
        draw(canvas, *img, b->x, b->y, b->rotation, Paint::Or, anchor_for(b->align, img->width));
      else
        problem(b->line_no, error + ", not drawn");
    } else if (const auto *r = std::get_if<Rect>(&item)) {
      fill(canvas, r->x0, r->y0, r->x1, r->y1, r->paint);
    }
  }
  if (turned_)
    canvas = turn_180(canvas);
  if (mirrored_)
    canvas = mirror(canvas);
  return canvas;
}

bool Printer::cmd_print(std::string_view args, std::uint64_t line_no)
{
  auto f = all_fields(args);
  int sets = 0, copies = 1;
  if (f.empty() || f.size() > 2 || !to_int(f[0], sets, 1, 1000000000) ||
      (f.size() == 2 && !to_int(f[1], copies, 1, 1000000000)))
    return false;
  constexpr std::uint8_t blocking =
      kHeadOpen | kPaperJam | kPaperOut | kRibbonOut | kPaused | kCoverOpen;
  if (config_.status & blocking) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", config_.status);
    problem(line_no, std::string("not printed: the printer reports status ") + buf);
    return true;
  }
  const long long wanted = static_cast<long long>(sets) * copies;
  long long left = std::min<long long>(wanted, config_.max_images_per_print);
  if (wanted > left)
    problem(line_no, "PRINT asks for " + std::to_string(wanted) + " labels, printing the first " +
                         std::to_string(left));
  for (int s = 0; s < sets && left > 0; ++s) {
    const Image image = render();
    for (int c = 0; c < copies && left > 0; ++c, --left) {
      if (!may_print(line_no))
        return true;
      emit_label(image, line_no, false);
    }
    advance_counters(line_no);
  }
  return true;
}

bool Printer::may_print(std::uint64_t line_no)
{
  if (connection_labels_ < config_.max_labels_per_connection)
    return true;
  if (connection_labels_ == config_.max_labels_per_connection) {
    problem(line_no, std::to_string(connection_labels_) +
                         " labels printed on this connection, the most it may print; further "
                         "labels are not printed");
    ++connection_labels_; // said once per connection
  }
  return false;
}

void Printer::advance_counters(std::uint64_t line_no)
{
  for (const auto &[var, step] : counters_) {
    auto it = vars_.find(var);
    if (it != vars_.end())
      set_variable(var, count_up(it->second, step), line_no);
  }
}

void Printer::emit_label(const Image &image, std::uint64_t line_no, bool blank)
{
  ++printed_count_;
  ++connection_labels_;
  PrintedLabel label;
  label.number = printed_count_;
  label.image = &image;
  label.line_no = line_no;
  label.blank = blank;
  if (!config_.output_dir.empty()) {
    char name[32];
    std::snprintf(name, sizeof name, "label-%04d.png", printed_count_);
    label.file = config_.output_dir / name;
    try {
      write_png(label.file, image);
    } catch (const std::exception &e) {
      problem(line_no, e.what());
      label.file.clear();
    }
  }
  if (printed_)
    printed_(label);
}

} // namespace zarn::emu
