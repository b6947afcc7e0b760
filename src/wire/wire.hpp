// SPDX-License-Identifier: MIT
// Every byte sequence libzarn's parts put on the wire, made here once: the
// millimetre texts, the SIZE/BITMAP/PRINT lines, the DOWNLOAD header and the
// status byte's bits with their words. The library's commands, the raster
// library, the host layer and the printer application all build with this.
#pragma once

#include "common/protocol.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zarn::wire {

using protocol::kEndLineReply;
using protocol::kEndLineRequest;
using protocol::kNameRequest;
using protocol::kSerialRequest;
using protocol::kStatusRequest;

// Dots per millimetre at a resolution: 8 at 203 dpi, 12 at 300, 24 at 600.
int dots_per_mm(int dpi);

// dots / dots_per_mm with at most three decimals, which the printer turns
// back into the same number of dots; never the host locale's comma.
std::string millimetres(int dots, int dots_per_mm);

// "SIZE w mm,h mm" for a label of width x height dots.
std::string size_line(int width, int height, int dots_per_mm);

// The lines of libzarn's setup: "SIZE w mm,h mm", "SPEED s", "DENSITY d",
// and "GAP g mm,o mm" or, for black-mark media (a kind beginning with 1),
// "BLINE g mm,o mm". The texts go in as they are.
struct SetupTexts {
  std::string_view width_mm, height_mm, speed, density, media_kind, gap_mm, offset_mm;
};
std::array<std::string, 4> setup_lines(const SetupTexts &t);

// "PRINT 1,copies".
std::string print_line(int copies);

// The text before a BITMAP block's rows: "BITMAP x,y,bytes_per_row,rows,0,".
std::string bitmap_header(int x, int y, int bytes_per_row, int rows);

// The rows of a packed 1-bit picture (a set bit is paper) from the first to
// the last that holds ink; count is 0 when every row is paper.
struct InkedRows {
  int first = 0;
  int count = 0;
};
InkedRows inked_rows(const unsigned char *data, int height, std::size_t row_bytes);

// The DOWNLOAD header holds at most this many bytes; a longer one would be
// cut, and the printer would take the file's bytes for commands.
inline constexpr std::size_t kDownloadHeaderMax = 99;
// Why `name` cannot name a file in the printer ("" when it can): a quote
// would end it early and a line break would end the header.
std::string_view download_name_problem(std::string_view name);
// `DOWNLOAD F,"name",size,`, or nothing when the name is unsafe or the
// header would not fit.
std::optional<std::string> download_header(std::string_view name, std::size_t size);
// What follows the file's bytes, as sendcommand frames it: CR LF CR LF.
inline constexpr char kDownloadTrailer[] = "\r\n";

// Bits of the status byte; several can be set at once, none means ready.
namespace status_bit {
inline constexpr std::uint8_t head_open = 0x01;
inline constexpr std::uint8_t paper_jam = 0x02;
inline constexpr std::uint8_t paper_out = 0x04;
inline constexpr std::uint8_t ribbon_out = 0x08;
inline constexpr std::uint8_t paused = 0x10;
inline constexpr std::uint8_t printing = 0x20;
inline constexpr std::uint8_t cover_open = 0x40;
inline constexpr std::uint8_t temperature = 0x80;
} // namespace status_bit

struct StatusWord {
  std::uint8_t bit;
  const char *words;
};
// In the order conditions are reported: what stops printing first.
inline constexpr StatusWord kStatusWords[] = {
    {status_bit::paper_out, "paper out"},   {status_bit::ribbon_out, "ribbon out"},
    {status_bit::paper_jam, "paper jam"},   {status_bit::head_open, "head open"},
    {status_bit::cover_open, "cover open"}, {status_bit::temperature, "temperature out of range"},
    {status_bit::paused, "paused"},         {status_bit::printing, "printing"},
};

// "ready" for 0, else the words of the set bits, most pressing first.
std::string status_words(std::uint8_t bits);

} // namespace zarn::wire
