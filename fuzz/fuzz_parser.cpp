// SPDX-License-Identifier: MIT
// The emulator's stream parser and the whole printer model behind it, on
// arbitrary bytes cut into arbitrary pieces.
//
// Input: one byte seeding the piece sizes, then the stream. The stream is
// parsed twice, whole and in pieces; both runs must report the same events,
// and every block must hold exactly the bytes its header announced. Then a
// printer reads the stream whole and another in the same pieces, rendering
// every label it prints (built with UBSan, so overflows and bad shifts in
// any command stop the run); both must answer and print the same.
#include "parser.hpp"
#include "printer.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class Recorder final : public zarn::emu::ParserSink {
 public:
  std::vector<std::string> events;

  void on_line(std::string_view line, std::uint64_t line_no) override
  {
    check_line(line_no);
    events.push_back("L" + std::to_string(line_no) + ":" + std::string(line));
  }
  void on_immediate(std::string_view command, std::uint64_t line_no) override
  {
    check_line(line_no);
    events.push_back("I" + std::to_string(line_no) + ":" + std::string(command));
  }
  void on_bitmap(const zarn::emu::BitmapHeader &h, std::span<const std::uint8_t> data,
                 std::uint64_t line_no) override
  {
    check_line(line_no);
    if (data.size() != h.width_bytes * h.height)
      std::abort();
    events.push_back("B" + std::to_string(line_no) + ":" + std::to_string(h.x) + "," +
                     std::to_string(h.y) + "," + std::to_string(h.width_bytes) + "," +
                     std::to_string(h.height) + "," + std::to_string(h.mode) + ":" +
                     std::string(data.begin(), data.end()));
  }
  void on_download(const zarn::emu::DownloadHeader &h, std::span<const std::uint8_t> data,
                   std::uint64_t line_no) override
  {
    check_line(line_no);
    if (data.size() != h.size)
      std::abort();
    events.push_back("D" + std::to_string(line_no) + ":" + h.memory + h.name + ":" +
                     std::string(data.begin(), data.end()));
  }
  void on_problem(std::string_view what, std::uint64_t line_no) override
  {
    check_line(line_no);
    events.push_back("P" + std::to_string(line_no) + ":" + std::string(what));
  }

 private:
  // Events come in stream order, so their line numbers never go back.
  void check_line(std::uint64_t line_no)
  {
    if (line_no == 0 || line_no < last_)
      std::abort();
    last_ = line_no;
  }
  std::uint64_t last_ = 1;
};

// What a printer answered and printed, label by label.
struct PrinterRun {
  std::string replies;
  std::vector<zarn::emu::Image> labels;
  std::uint64_t problems = 0;
  bool operator==(const PrinterRun &) const = default;
};

zarn::emu::PrinterConfig fuzz_config()
{
  zarn::emu::PrinterConfig config;
  config.font_path = ZARN_EMULATOR_FONT;
  // Small caps keep each run quick; reaching them is part of what is fuzzed.
  config.max_images_per_print = 3;
  config.max_label_bytes = 8u << 20;
  config.max_variable_bytes = 64u << 10;
  config.max_files = 16;
  config.max_labels_per_connection = 6;
  return config;
}

template <typename Feed>
PrinterRun run_printer(Feed feed)
{
  PrinterRun run;
  zarn::emu::Printer printer(fuzz_config());
  printer.set_log([](const std::string &) {});
  printer.set_printed([&](const zarn::emu::PrintedLabel &l) { run.labels.push_back(*l.image); });
  feed(printer, run);
  printer.end_of_stream();
  // The label as it stands after the stream, whatever it was left holding.
  run.labels.push_back(printer.render());
  run.replies += printer.take_replies();
  run.problems = printer.problems();
  return run;
}

// Hands the stream to fn in the pieces the seed picks.
template <typename Fn>
void in_pieces(const std::uint8_t *data, std::size_t size, std::uint32_t seed, Fn fn)
{
  std::size_t at = 0;
  while (at < size) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    // Mostly tiny pieces (the splits that catch state bugs), some empty.
    std::size_t n = seed % 4 == 0 ? seed % 97 : seed % 4;
    if (n > size - at)
      n = size - at;
    fn(data + at, n);
    at += n;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
  if (size == 0)
    return 0;
  std::uint32_t seed = data[0] * 2654435761u + 7;
  ++data;
  --size;

  Recorder whole;
  {
    zarn::emu::StreamParser parser(whole);
    parser.feed(data, size);
    parser.end_of_stream();
  }

  Recorder pieces;
  {
    zarn::emu::StreamParser parser(pieces);
    in_pieces(data, size, seed, [&](const std::uint8_t *p, std::size_t n) { parser.feed(p, n); });
    parser.end_of_stream();
  }
  if (whole.events != pieces.events)
    std::abort();

  const PrinterRun printed_whole = run_printer([&](zarn::emu::Printer &p, PrinterRun &run) {
    p.feed(data, size);
    run.replies = p.take_replies();
  });
  const PrinterRun printed_in_pieces = run_printer([&](zarn::emu::Printer &p, PrinterRun &run) {
    in_pieces(data, size, seed, [&](const std::uint8_t *piece, std::size_t n) {
      p.feed(piece, n);
      // Answers are taken as a transport takes them, after every piece.
      run.replies += p.take_replies();
    });
  });
  // Answers taken only at the end may reach the cap that answers taken
  // after every piece never reach; past it the two runs may differ.
  if (printed_whole.replies.size() < zarn::emu::Printer::kMaxReplyBytes &&
      !(printed_whole == printed_in_pieces))
    std::abort();
  return 0;
}
