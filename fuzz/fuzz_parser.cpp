// The emulator's stream parser on arbitrary bytes cut into arbitrary pieces.
//
// Input: one byte seeding the piece sizes, then the stream. The stream is
// parsed twice, whole and in pieces; both runs must report the same events,
// and every block must hold exactly the bytes its header announced.
#include "parser.hpp"

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
    std::size_t at = 0;
    while (at < size) {
      seed ^= seed << 13;
      seed ^= seed >> 17;
      seed ^= seed << 5;
      // Mostly tiny pieces (the splits that catch state bugs), some empty.
      std::size_t n = seed % 4 == 0 ? seed % 97 : seed % 4;
      if (n > size - at)
        n = size - at;
      parser.feed(data + at, n);
      at += n;
    }
    parser.end_of_stream();
  }
  if (whole.events != pieces.events)
    std::abort();
  return 0;
}
