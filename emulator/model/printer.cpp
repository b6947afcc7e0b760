// SPDX-License-Identifier: MIT
#include "printer.hpp"

#include "common/protocol.hpp"
#include "fields.hpp"

#include <algorithm>
#include <cstdio>

namespace zarn::emu {
namespace {

// The immediate commands are the first three bytes of their requests.
constexpr std::string_view kStatusCommand = std::string_view(protocol::kStatusRequest).substr(0, 3);
constexpr std::string_view kNameCommand = std::string_view(protocol::kNameRequest).substr(0, 3);
constexpr std::string_view kResetCommand = "\x1b!R";

int dots_per_mm_at(int dpi) { return dpi >= 600 ? 24 : dpi >= 300 ? 12 : 8; }

} // namespace

Printer::Printer(PrinterConfig config)
    : config_(std::move(config)), parser_(*this), face_(config_.font_path),
      log_([](const std::string &s) { std::fprintf(stderr, "%s\n", s.c_str()); }),
      dots_per_mm_(dots_per_mm_at(config_.dpi)), label_(config_.max_label_bytes),
      variables_(config_.max_variable_bytes), files_(config_.storage_dir, config_.max_files)
{
  if (config_.model_name.empty())
    config_.model_name = "ZARN-EMU " + std::to_string(config_.dpi);
  page_.width = 100 * dots_per_mm_;
  page_.height = 50 * dots_per_mm_;
  mechanics_.set_bits(config_.status);
  mechanics_.set_print_time(config_.print_time);
  mechanics_.load_paper(config_.paper);
}

std::chrono::steady_clock::time_point Printer::now() const
{
  return config_.clock ? config_.clock() : std::chrono::steady_clock::now();
}

std::uint8_t Printer::status() const { return mechanics_.status(now()); }

Printer::~Printer() = default;

void Printer::feed(const std::uint8_t *data, std::size_t size) { parser_.feed(data, size); }

void Printer::end_of_stream()
{
  parser_.end_of_stream();
  counts_.connection = 0;
  counts_.cap_said = false;
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

void Printer::add(Label::Item item, std::uint64_t line_no)
{
  if (!label_.add(std::move(item)))
    problem(line_no, "label buffer full (" + std::to_string(label_.max_bytes()) +
                         " bytes), object dropped (CLS empties it)");
}

std::string Printer::lookup(std::string_view var, std::uint64_t line_no)
{
  if (const std::string *value = variables_.find(var))
    return *value;
  problem(line_no, "variable " + shown(var) + " is not set, its name is printed");
  return std::string(var);
}

Label::Resources Printer::resources()
{
  return {face_, [this](std::string_view var, std::uint64_t line) { return lookup(var, line); },
          [this](std::uint64_t line, const std::string &what) { problem(line, what); }};
}

void Printer::on_immediate(std::string_view command, std::uint64_t line_no)
{
  if (command == kStatusCommand) {
    const char byte = static_cast<char>(status());
    answer(std::string_view(&byte, 1), line_no);
  } else if (command == kNameCommand) {
    answer(config_.model_name, line_no);
  } else if (command == kResetCommand) {
    label_.clear();
    variables_.clear();
    note("printer reset (ESC ! R)");
  } else {
    problem(line_no, "unknown immediate command: " + shown(command));
  }
}

void Printer::on_download(const DownloadHeader &h, std::span<const std::uint8_t> data,
                          std::uint64_t line_no)
{
  std::string trouble;
  const bool stored = files_.store(h.name, data, trouble);
  if (!trouble.empty())
    problem(line_no, trouble);
  if (stored)
    note("stored \"" + shown(h.name) + "\" (" + std::to_string(data.size()) + " bytes)");
}

Image Printer::render()
{
  Image canvas = label_.render(page_.width, page_.height, resources());
  if (page_.turned)
    canvas = turn_180(canvas);
  if (page_.mirrored)
    canvas = mirror(canvas);
  return canvas;
}

bool Printer::may_print(std::uint64_t line_no)
{
  if (counts_.connection < config_.max_labels_per_connection)
    return true;
  if (!counts_.cap_said) {
    problem(line_no, std::to_string(counts_.connection) +
                         " labels printed on this connection, the most it may print; further "
                         "labels are not printed");
    counts_.cap_said = true;
  }
  return false;
}

void Printer::emit_label(const Image &image, std::uint64_t line_no, bool blank)
{
  ++counts_.total;
  ++counts_.connection;
  mechanics_.print_label(now());
  PrintedLabel label;
  label.number = counts_.total;
  label.image = &image;
  label.line_no = line_no;
  label.blank = blank;
  label.dots_per_mm = dots_per_mm_;
  if (!config_.output_dir.empty()) {
    char name[32];
    std::snprintf(name, sizeof name, "label-%04d.png", counts_.total);
    label.file = config_.output_dir / name;
    try {
      write_png(label.file, image, dots_per_mm_);
    } catch (const std::exception &e) {
      problem(line_no, e.what());
      label.file.clear();
    }
  }
  if (printed_)
    printed_(label);
}

} // namespace zarn::emu
