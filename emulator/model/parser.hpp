// SPDX-License-Identifier: MIT
// Stream parser of the label command language as a printer reads it.
//
// Bytes arrive in pieces of any size. Lines end with LF (CR is dropped, so
// CR LF and bare LF both work). Two commands carry a binary block right after
// their header, on the same line and without a line break:
//   BITMAP x,y,widthBytes,height,mode,<widthBytes*height bytes>
//   DOWNLOAD [F,|E,]"name",n,<n bytes>
// ESC ! ? and "~!" + one letter are immediate commands: they act as soon as
// their three bytes stand at the start of a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::emu {

struct BitmapHeader {
  long long x = 0;
  long long y = 0;
  unsigned long long width_bytes = 0;
  unsigned long long height = 0;
  unsigned long long mode = 0;
};

struct DownloadHeader {
  char memory = 'F';
  std::string name;
  unsigned long long size = 0;
};

// What the parser hands on. line_no is the 1-based line on which the
// command starts (the bytes of a block do not count as lines).
class ParserSink {
 public:
  virtual ~ParserSink() = default;
  virtual void on_line(std::string_view line, std::uint64_t line_no) = 0;
  virtual void on_immediate(std::string_view command, std::uint64_t line_no) = 0;
  virtual void on_bitmap(const BitmapHeader &header, std::span<const std::uint8_t> data,
                         std::uint64_t line_no) = 0;
  virtual void on_download(const DownloadHeader &header, std::span<const std::uint8_t> data,
                           std::uint64_t line_no) = 0;
  // A block too big to keep, a line too long, a block cut off by the end of
  // the stream: reported once, the bytes are skipped.
  virtual void on_problem(std::string_view what, std::uint64_t line_no) = 0;
};

class StreamParser {
 public:
  // Longest command line kept; the rest of a longer line is skipped.
  static constexpr std::size_t kMaxLine = 64 * 1024;
  // Biggest block kept in memory; bigger ones are read and dropped.
  static constexpr std::size_t kMaxBlock = 64 * 1024 * 1024;

  explicit StreamParser(ParserSink &sink) : sink_(sink) {}

  void feed(const std::uint8_t *data, std::size_t size);
  // The connection ended: a half line is still a command (a host may omit
  // the last line break); a half block is reported and dropped.
  void end_of_stream();

  std::uint64_t line_no() const { return line_no_; }

 private:
  enum class Mode { line, skip_line, block, skip_block };
  enum class BlockKind { bitmap, download };

  void line_byte(std::uint8_t b);
  void finish_line();
  bool try_block_header();
  void start_block(BlockKind kind, unsigned long long size);
  void finish_block();

  ParserSink &sink_;
  Mode mode_ = Mode::line;
  std::string line_;
  std::uint64_t line_no_ = 1;
  std::uint64_t block_line_ = 0;
  BlockKind block_kind_ = BlockKind::bitmap;
  BitmapHeader bitmap_;
  DownloadHeader download_;
  std::vector<std::uint8_t> block_;  // kept bytes of the current block
  unsigned long long remaining_ = 0; // bytes of the block still to come
};

} // namespace zarn::emu
