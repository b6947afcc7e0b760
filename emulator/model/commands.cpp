// SPDX-License-Identifier: MIT
// The command table, and the commands that change settings, print, answer,
// and keep files and variables.
#include "printer.hpp"

#include "fields.hpp"

#include <algorithm>

namespace zarn::emu {
namespace {

constexpr int kMaxWidthMm = 300;   // wider than any desktop label printer
constexpr int kMaxHeightMm = 1000; // one metre of label

} // namespace

void Printer::on_line(std::string_view raw, std::uint64_t line_no)
{
  static constexpr Command kCommands[] = {
      {"SIZE", &Printer::cmd_size},
      {"GAP", &Printer::cmd_media},
      {"BLINE", &Printer::cmd_media},
      {"SPEED", &Printer::cmd_setting},
      {"DENSITY", &Printer::cmd_setting},
      {"CLS", &Printer::cmd_cls},
      {"DIRECTION", &Printer::cmd_direction},
      {"REFERENCE", &Printer::cmd_reference},
      {"TEXT", &Printer::cmd_text},
      {"BARCODE", &Printer::cmd_barcode},
      {"BAR", &Printer::cmd_rect},
      {"ERASE", &Printer::cmd_rect},
      {"REVERSE", &Printer::cmd_rect},
      {"BOX", &Printer::cmd_box},
      {"PRINT", &Printer::cmd_print},
      {"FORMFEED", &Printer::cmd_formfeed},
      {"SET", &Printer::cmd_set},
      {"OUT", &Printer::cmd_out},
      {"KILL", &Printer::cmd_kill},
      {"EMULATOR", &Printer::cmd_emulator},
  };
  // Paper handling and settings that leave no mark on the label: accepted
  // and otherwise ignored.
  static constexpr std::string_view kWithoutEffect[] = {
      "OFFSET",   "SHIFT",  "CODEPAGE", "HOME",      "SOUND",   "FEED",
      "BACKFEED", "BACKUP", "CUT",      "LIMITFEED", "COUNTRY",
  };

  const std::string_view line = trim(raw);
  if (line.empty())
    return;
  const auto split = split_word(line);
  const std::string &word = split.first;
  const std::string_view args = split.second;
  const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const Command &c) { return c.word == word; });
  if (command != std::end(kCommands)) {
    if (!(this->*command->handler)(word, args, line_no))
      problem(line_no, "malformed command: " + shown(line));
  } else if (std::find(std::begin(kWithoutEffect), std::end(kWithoutEffect), word) ==
                 std::end(kWithoutEffect) &&
             (line.find('=') == std::string_view::npos || !cmd_assign(line, line_no))) {
    problem(line_no, "unknown command: " + shown(line));
  }
}

bool Printer::cmd_size(std::string_view, std::string_view args, std::uint64_t line_no)
{
  const auto f = all_fields(args);
  double w = 0, h = 0;
  if (f.size() != 2 || !parse_length(f[0], dots_per_mm_, w) || !parse_length(f[1], dots_per_mm_, h))
    return false;
  const int wd = static_cast<int>(w + 0.5), hd = static_cast<int>(h + 0.5);
  if (wd < 1 || hd < 1 || wd > kMaxWidthMm * dots_per_mm_ || hd > kMaxHeightMm * dots_per_mm_) {
    problem(line_no,
            "label size out of range (1 dot to 300 mm wide, 1000 mm long), size unchanged");
    return true;
  }
  page_.width = wd;
  page_.height = hd;
  return true;
}

bool Printer::cmd_media(std::string_view word, std::string_view args, std::uint64_t)
{
  const auto f = all_fields(args);
  double g = 0, o = 0;
  if (f.size() != 2 || !parse_length(f[0], dots_per_mm_, g) || !parse_length(f[1], dots_per_mm_, o))
    return false;
  page_.black_line = word == "BLINE";
  page_.gap_mm = g / dots_per_mm_;
  page_.gap_offset_mm = o / dots_per_mm_;
  return true;
}

bool Printer::cmd_setting(std::string_view word, std::string_view args, std::uint64_t)
{
  double v = 0;
  if (!parse_decimal(args, v) || !(v >= 0 && v <= 30))
    return false;
  (word == "SPEED" ? page_.speed : page_.density) = v;
  return true;
}

bool Printer::cmd_cls(std::string_view, std::string_view, std::uint64_t)
{
  label_.clear();
  return true;
}

bool Printer::cmd_direction(std::string_view, std::string_view args, std::uint64_t)
{
  const auto f = all_fields(args);
  int d = 0, m = 0;
  if (f.empty() || f.size() > 2 || !parse_integer(f[0], d, 0, 1) ||
      (f.size() == 2 && !parse_integer(f[1], m, 0, 1)))
    return false;
  page_.turned = d == 1;
  page_.mirrored = m == 1;
  return true;
}

bool Printer::cmd_reference(std::string_view, std::string_view args, std::uint64_t)
{
  const auto f = all_fields(args);
  long long x = 0, y = 0;
  if (f.size() != 2 || !parse_integer(f[0], x) || !parse_integer(f[1], y))
    return false;
  page_.ref_x = x;
  page_.ref_y = y;
  return true;
}

bool Printer::cmd_print(std::string_view, std::string_view args, std::uint64_t line_no)
{
  const auto f = all_fields(args);
  int sets = 0, copies = 1;
  if (f.empty() || f.size() > 2 || !parse_integer(f[0], sets, 1, 1000000000) ||
      (f.size() == 2 && !parse_integer(f[1], copies, 1, 1000000000)))
    return false;
  if (const std::uint8_t s = status(); s & kBlocksPrinting) {
    problem(line_no, "not printed: the printer reports status " + status_hex(s));
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
      if (mechanics_.paper_out()) {
        problem(line_no, "paper out: the last " + std::to_string(left) +
                             " labels of this PRINT are not printed");
        return true;
      }
      if (!may_print(line_no))
        return true;
      emit_label(image, line_no, false);
    }
    for (const std::string &name : variables_.step_counters())
      problem(line_no, "variable memory full (" + std::to_string(variables_.max_bytes()) +
                           " bytes), counter " + shown(name) + " not stepped");
  }
  return true;
}

bool Printer::cmd_formfeed(std::string_view, std::string_view, std::uint64_t line_no)
{
  if (mechanics_.paper_out())
    problem(line_no, "paper out: FORMFEED not fed");
  else if (may_print(line_no))
    emit_label(Image(page_.width, page_.height), line_no, true);
  return true;
}

bool Printer::cmd_set(std::string_view, std::string_view args, std::uint64_t)
{
  const auto [what, rest] = split_word(args);
  if (what == "COUNTER") {
    const auto [var, step_text] = split_word(rest);
    // The name keeps its case: split_word upper-cased it, so re-read it.
    const std::string_view name = trim(rest).substr(0, var.size());
    long long step = 0;
    if (!is_variable(name) || !parse_integer(step_text, step))
      return false;
    variables_.set_counter(std::string(name), step);
    return true;
  }
  // Settings of the paper path and the keys: accepted without effect.
  static constexpr std::string_view kAccepted[] = {
      "TEAR", "STRIPER", "PEEL",   "CUTTER",   "PARTIAL_CUTTER", "BACK",
      "GAP",  "HEAD",    "RIBBON", "PRINTKEY", "REPRINT",        "KEY1",
      "KEY2", "LED1",    "LED2",   "LED3",     "FEED_LEN"};
  return std::find(std::begin(kAccepted), std::end(kAccepted), what) != std::end(kAccepted) &&
         !rest.empty();
}

bool Printer::cmd_out(std::string_view, std::string_view args, std::uint64_t line_no)
{
  // OUT item[;item...]: quoted texts, _SERIAL$, _MODEL$ or variables; the
  // answer ends with CR LF. Repeated long variables could make it huge: it is
  // built no longer than the printer holds, answer() then cuts it.
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
    if (!unquote(item, text)) {
      if (upper(item) == "_SERIAL$")
        text = config_.serial_number;
      else if (upper(item) == "_MODEL$")
        text = config_.model_name;
      else if (is_variable(item))
        text = lookup(item, line_no);
      else
        return false;
    }
    if (reply.size() <= kMaxReplyBytes)
      reply.append(text, 0, kMaxReplyBytes + 1 - reply.size());
  }
  reply += "\r\n";
  answer(reply, line_no);
  return true;
}

bool Printer::cmd_kill(std::string_view, std::string_view args, std::uint64_t line_no)
{
  auto f = all_fields(args);
  if (f.size() == 2 && (f[0] == "F" || f[0] == "E"))
    f.erase(f.begin());
  std::string name;
  if (f.size() != 1 || !unquote(f[0], name))
    return false;
  if (files_.kill(name) == 0)
    problem(line_no, "KILL: no file \"" + shown(name) + "\"");
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
    if (!parse_integer(value, n))
      return false;
    text = std::string(value);
  }
  if (!variables_.set(std::string(name), std::move(text)))
    problem(line_no, "variable memory full (" + std::to_string(variables_.max_bytes()) +
                         " bytes), " + shown(name) + " not set");
  return true;
}

bool Printer::cmd_emulator(std::string_view, std::string_view args, std::uint64_t)
{
  return emulator_command(args).empty();
}

std::string Printer::control(std::string_view line)
{
  const auto [word, args] = split_word(line);
  if (word != "EMULATOR")
    return "only EMULATOR commands are taken here";
  return emulator_command(args);
}

// The emulator's own commands: the printer's states, changed from outside
// as a person at the printer would change them.
std::string Printer::emulator_command(std::string_view args)
{
  const auto [what, rest] = split_word(args);
  const std::string value = upper(rest);
  if (what == "STATUS") {
    std::uint8_t s = 0;
    if (!parse_status(rest, s))
      return "bad status: " + shown(rest);
    mechanics_.set_bits(s);
    note("status byte set to " + std::to_string(s));
  } else if (what == "PRINT-TIME") {
    long long ms = 0;
    if (!parse_integer(rest, ms, 0, 3600000))
      return "bad print time (0 to 3600000 ms): " + shown(rest);
    mechanics_.set_print_time(std::chrono::milliseconds(ms));
    note("print time set to " + std::to_string(ms) + " ms a label");
  } else if (what == "PAPER") {
    long long labels = 0;
    if (value == "UNLIMITED") {
      mechanics_.load_paper(std::nullopt);
      note("paper loaded: unlimited");
    } else if (parse_integer(rest, labels, 0, 1000000000)) {
      mechanics_.load_paper(labels);
      note("paper loaded: " + std::to_string(labels) + " labels");
    } else {
      return "bad paper (a number of labels or UNLIMITED): " + shown(rest);
    }
  } else if (what == "HEAD") {
    if (value != "OPEN" && value != "CLOSE")
      return "bad head state (OPEN or CLOSE): " + shown(rest);
    mechanics_.set_head_open(value == "OPEN");
    note(value == "OPEN" ? "head opened" : "head closed");
  } else {
    return "unknown EMULATOR command: " + shown(what);
  }
  return {};
}

} // namespace zarn::emu
