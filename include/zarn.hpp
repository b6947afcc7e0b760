// SPDX-License-Identifier: MIT
// libzarn for C++: one printer connection as an object, the printer's status
// decoded into words, and failures as exceptions. Header-only over the C
// functions of zarn.h (C++20); link with -lzarn as for C.
//
//   zarn::Printer printer = zarn::Printer::open("tcp://printer.local");
//   printer.send("CLS");
//   ...
//   if (printer.wait_until_printed(std::chrono::seconds(30)) != zarn::WaitOutcome::printed) ...
//
// The library holds one connection per process, so only one Printer may be
// open at a time; opening a second one throws BusyError. Do not call
// openport/openethernet/closeport yourself while a Printer is open. Like the
// C functions, a Printer is used from one thread at a time.
//
// Pictures and PDF pages. Printer::print_image() renders a picture or a PDF
// page with libzarn-raster (zarn-raster.h) and prints it; print_bitmap()
// prints a label a host rendered itself. A host that calls either links
// -lzarn-raster as well as -lzarn. Both are inline and are compiled only
// where they are called, so a host that never calls them links -lzarn
// alone (zarn-raster.h, installed beside this header, is still included).
//
//   zarn::ImageOptions o;
//   o.label_width_mm = 101.6;             // 4 x 6 in
//   o.label_height_mm = 152.4;
//   o.rotate = zarn::Rotate::automatic;
//   printer.print_image("label.pdf", 1, o);
//
// What the decoded status can tell. The printer answers the status request
// with one byte; printerstatus() returns 0 both for that byte 0 and for no
// reply, and 82 both for a failed receive and for the real byte 0x52. So
// Printer::status() tells them apart this way:
//  - 0 that took the library's whole reply wait (Timing::reply_wait, 10 s
//    on serial and TCP) is "no reply"; so is 0 when the TCP peer or the
//    serial line has gone away. A 0 that came sooner is the byte 0: ready.
//  - 82 that took the whole wait is a USB transfer that timed out: "no
//    reply". 82 that came sooner is asked once more with Read(), whose text
//    tells "Receive Failed\r\n" (a failed receive) from "R" (the byte 0x52).
//  - Any other value is the status byte.
// It cannot tell: a printer that answers the byte 0 only after almost the
// whole wait (taken as no reply); a USB printer that answers with an empty
// transfer (taken as ready); and it costs up to one reply wait (10 s) to
// learn that the printer is silent.
#pragma once

#include "zarn-raster.h"
#include "zarn.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace zarn {

// ---- Errors ----------------------------------------------------------------

// Every failure a Printer reports; what() names the device or address.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// A printer address text that cannot be understood.
class AddressError : public Error {
 public:
  using Error::Error;
};
// The printer could not be opened: no device, no permission, unknown host,
// refused connection, a serial device that is not a terminal.
class ConnectError : public Error {
 public:
  using Error::Error;
};
// Another Printer is open in this process.
class BusyError : public Error {
 public:
  using Error::Error;
};
// Bytes could not be sent to the printer.
class SendError : public Error {
 public:
  using Error::Error;
};
// The printer did not answer a query, or the receive failed.
class ReplyError : public Error {
 public:
  using Error::Error;
};
// A local file (to upload, or a font) cannot be read or used.
class FileError : public Error {
 public:
  using Error::Error;
};

// A picture or PDF page that cannot be printed: unreadable, not a picture
// or PDF, damaged, too large, or no such page. what() is libzarn-raster's
// one-line message, naming the file and page.
class ImageError : public FileError {
 public:
  ImageError(zarn_raster_status status, const std::string &what) : FileError(what), status_(status)
  {
  }
  zarn_raster_status status() const { return status_; }

 private:
  zarn_raster_status status_;
};

// ---- Decoded status -----------------------------------------------------------

// Bits of the status byte; several can be set at once, none means ready.
enum class Condition : std::uint8_t {
  head_open = 0x01,
  paper_jam = 0x02,
  paper_out = 0x04,
  ribbon_out = 0x08,
  paused = 0x10,
  printing = 0x20,
  cover_open = 0x40,
  temperature = 0x80, // print head temperature out of range
};

namespace detail {
struct ConditionName {
  Condition condition;
  std::string_view words;
};
// The order in which conditions are reported: what stops printing first.
inline constexpr ConditionName kConditionNames[] = {
    {Condition::paper_out, "paper out"},   {Condition::ribbon_out, "ribbon out"},
    {Condition::paper_jam, "paper jam"},   {Condition::head_open, "head open"},
    {Condition::cover_open, "cover open"}, {Condition::temperature, "temperature out of range"},
    {Condition::paused, "paused"},         {Condition::printing, "printing"},
};
} // namespace detail

inline std::string_view to_string(Condition c)
{
  for (const auto &n : detail::kConditionNames)
    if (n.condition == c)
      return n.words;
  return "unknown";
}

struct Status {
  enum class Reply {
    answered,       // the printer sent its status byte
    no_reply,       // nothing within the reply wait, or the connection is gone
    receive_failed, // the library reported a failed receive
  };
  Reply reply = Reply::no_reply;
  std::uint8_t bits = 0; // the status byte; 0 unless answered

  static constexpr Status from_byte(std::uint8_t byte) { return {Reply::answered, byte}; }

  constexpr bool answered() const { return reply == Reply::answered; }
  constexpr bool has(Condition c) const
  {
    return answered() && (bits & static_cast<std::uint8_t>(c)) != 0;
  }
  // Answered, with no bit set.
  constexpr bool ready() const { return answered() && bits == 0; }
  // Answered with a bit that needs a person (every bit except printing).
  constexpr bool needs_attention() const
  {
    return answered() && (bits & ~static_cast<std::uint8_t>(Condition::printing)) != 0;
  }
  // The conditions that are set, most pressing first.
  std::vector<Condition> conditions() const
  {
    std::vector<Condition> out;
    for (const auto &n : detail::kConditionNames)
      if (has(n.condition))
        out.push_back(n.condition);
    return out;
  }
  // "ready", "paper out, head open", "no reply" or "receive failed".
  std::string text() const
  {
    if (reply == Reply::no_reply)
      return "no reply";
    if (reply == Reply::receive_failed)
      return "receive failed";
    if (bits == 0)
      return "ready";
    std::string s;
    for (Condition c : conditions())
      s.append(s.empty() ? "" : ", ").append(to_string(c));
    return s;
  }
  friend constexpr bool operator==(const Status &, const Status &) = default;
};

// How a printed job ended, as wait_until_printed() saw it.
enum class WaitOutcome {
  printed, // the printing bit cleared and nothing needs attention
  paper_out,
  ribbon_out,
  paper_jam,
  head_or_cover_open,
  temperature, // print head temperature out of range
  paused,
  no_reply,  // the printer stopped answering (or the receive failed)
  timed_out, // still printing when the time was up
};

inline std::string_view to_string(WaitOutcome o)
{
  switch (o) {
  case WaitOutcome::printed: return "printed";
  case WaitOutcome::paper_out: return "paper out";
  case WaitOutcome::ribbon_out: return "ribbon out";
  case WaitOutcome::paper_jam: return "paper jam";
  case WaitOutcome::head_or_cover_open: return "head or cover open";
  case WaitOutcome::temperature: return "temperature out of range";
  case WaitOutcome::paused: return "paused";
  case WaitOutcome::no_reply: return "no reply";
  case WaitOutcome::timed_out: return "timed out";
  }
  return "unknown";
}

// The outcome a status stands for once printing has stopped, or
// WaitOutcome::timed_out while it is still printing without a fault.
inline WaitOutcome outcome_of(const Status &s)
{
  if (!s.answered())
    return WaitOutcome::no_reply;
  for (Condition c : s.conditions()) {
    switch (c) {
    case Condition::paper_out: return WaitOutcome::paper_out;
    case Condition::ribbon_out: return WaitOutcome::ribbon_out;
    case Condition::paper_jam: return WaitOutcome::paper_jam;
    case Condition::head_open:
    case Condition::cover_open: return WaitOutcome::head_or_cover_open;
    case Condition::temperature: return WaitOutcome::temperature;
    case Condition::paused: return WaitOutcome::paused;
    case Condition::printing: return WaitOutcome::timed_out;
    }
  }
  return WaitOutcome::printed;
}

// ---- Printer addresses ------------------------------------------------------

// Line settings of a serial printer; the rates are those set_Speed knows.
struct SerialSettings {
  int baud = 115200;
  char parity = 'N'; // 'N', 'O', 'E' or 'S'
  int data_bits = 8; // 7 or 8
  int stop_bits = 1; // 1 or 2
  friend bool operator==(const SerialSettings &, const SerialSettings &) = default;
};

// One printer as a text:
//   usb                                              the first USB printer
//   serial:ttyUSB0[?baud=9600&parity=none&data=8&stop=1]   /dev/ttyUSB0
//   tcp://HOST[:PORT]                                a host name or IPv4 address, port 9100
struct Address {
  enum class Kind { usb, serial, tcp };
  Kind kind = Kind::usb;
  std::string device;      // serial: the name under /dev, beginning with "tty"
  SerialSettings settings; // serial
  std::string host;        // tcp
  int port = 9100;         // tcp

  // Throws AddressError with what is wrong.
  static Address parse(std::string_view text);
  // The address in the form parse() reads.
  std::string text() const;
  friend bool operator==(const Address &, const Address &) = default;
};

namespace detail {

inline bool parse_int(std::string_view s, int &v)
{
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return !s.empty() && ec == std::errc() && p == s.data() + s.size();
}

[[noreturn]] inline void bad_address(std::string_view text, std::string_view why)
{
  throw AddressError("bad printer address '" + std::string(text) + "': " + std::string(why));
}

inline std::string lower(std::string_view s)
{
  std::string out(s);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return out;
}

inline void parse_serial_option(std::string_view text, std::string_view key, std::string_view value,
                                SerialSettings &s)
{
  const std::string v = lower(value);
  int n = 0;
  if (key == "baud") {
    static constexpr int kRates[] = {115200, 38400, 19200, 9600, 4800, 2400, 1200, 300};
    if (!parse_int(v, n) || std::find(std::begin(kRates), std::end(kRates), n) == std::end(kRates))
      bad_address(text, "baud must be one of 115200, 38400, 19200, 9600, 4800, 2400, 1200, 300");
    s.baud = n;
  } else if (key == "parity") {
    if (v == "none" || v == "n")
      s.parity = 'N';
    else if (v == "odd" || v == "o")
      s.parity = 'O';
    else if (v == "even" || v == "e")
      s.parity = 'E';
    else if (v == "space" || v == "s")
      s.parity = 'S';
    else
      bad_address(text, "parity must be none, odd, even or space");
  } else if (key == "data") {
    if (!parse_int(v, n) || (n != 7 && n != 8))
      bad_address(text, "data must be 7 or 8");
    s.data_bits = n;
  } else if (key == "stop") {
    if (!parse_int(v, n) || (n != 1 && n != 2))
      bad_address(text, "stop must be 1 or 2");
    s.stop_bits = n;
  } else {
    bad_address(text, "unknown serial setting '" + std::string(key) +
                          "' (known: baud, parity, data, stop)");
  }
}

} // namespace detail

inline Address Address::parse(std::string_view text)
{
  using detail::bad_address;
  Address a;
  const std::string low = detail::lower(text);
  if (low == "usb")
    return a;
  if (low.starts_with("serial:")) {
    a.kind = Kind::serial;
    std::string_view rest = text.substr(7);
    if (rest.starts_with("//"))
      rest.remove_prefix(2);
    const std::size_t q = rest.find('?');
    std::string_view dev = rest.substr(0, q);
    if (dev.starts_with("/dev/"))
      dev.remove_prefix(5);
    if (!dev.starts_with("tty") || dev.find('/') != std::string_view::npos)
      bad_address(text, "the serial device must be a name under /dev beginning with tty, as in "
                        "serial:ttyUSB0");
    a.device = dev;
    if (q != std::string_view::npos) {
      std::string_view opts = rest.substr(q + 1);
      while (!opts.empty()) {
        const std::size_t amp = opts.find('&');
        const std::string_view opt = opts.substr(0, amp);
        const std::size_t eq = opt.find('=');
        if (eq == std::string_view::npos)
          bad_address(text, "serial settings are KEY=VALUE joined by &");
        detail::parse_serial_option(text, detail::lower(opt.substr(0, eq)), opt.substr(eq + 1),
                                    a.settings);
        opts = amp == std::string_view::npos ? std::string_view() : opts.substr(amp + 1);
      }
    }
    return a;
  }
  if (low.starts_with("tcp://")) {
    a.kind = Kind::tcp;
    std::string_view rest = text.substr(6);
    if (!rest.empty() && rest.back() == '/')
      rest.remove_suffix(1);
    if (rest.starts_with("["))
      bad_address(text, "IPv6 is not supported: the library connects over IPv4 only");
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos) {
      int port = 0;
      if (!detail::parse_int(rest.substr(colon + 1), port) || port < 1 || port > 65535)
        bad_address(text, "the port must be a number from 1 to 65535");
      a.port = port;
      rest = rest.substr(0, colon);
    }
    if (rest.empty() || rest.find_first_of("/?@ ") != std::string_view::npos)
      bad_address(text, "expected tcp://HOST or tcp://HOST:PORT");
    a.host = rest;
    return a;
  }
  bad_address(text, "use usb, serial:ttyNAME[?baud=N&parity=none&data=8&stop=1] or "
                    "tcp://HOST[:PORT]");
}

inline std::string Address::text() const
{
  switch (kind) {
  case Kind::usb: return "usb";
  case Kind::serial: {
    static constexpr std::pair<char, const char *> kParity[] = {
        {'N', "none"}, {'O', "odd"}, {'E', "even"}, {'S', "space"}};
    std::string parity = "none";
    for (const auto &[c, name] : kParity)
      if (c == settings.parity)
        parity = name;
    return "serial:" + device + "?baud=" + std::to_string(settings.baud) + "&parity=" + parity +
           "&data=" + std::to_string(settings.data_bits) +
           "&stop=" + std::to_string(settings.stop_bits);
  }
  case Kind::tcp: return "tcp://" + host + ":" + std::to_string(port);
  }
  return "";
}

// ---- The printer -----------------------------------------------------------------

// Waits the library uses and the polling of wait_until_printed().
struct Timing {
  // The library's wait for a reply (serial and TCP first byte, USB
  // transfer). Change it only together with the library's own limit.
  std::chrono::milliseconds reply_wait{10000};
  // Pause between status polls while waiting for a label to print.
  std::chrono::milliseconds poll_interval{250};
};

// Told how many of the total bytes went out so far, after each piece.
using Progress = std::function<void(std::size_t done, std::size_t total)>;

// ---- Pictures and PDF pages ---------------------------------------------------

enum class Dither {
  floyd_steinberg, // error diffusion (the default)
  threshold,       // ink where the grey is below ImageOptions::threshold
  atkinson,        // error diffusion, lighter and with more contrast
  ordered,         // Bayer 8 x 8
};

// Turning before fitting; angles are clockwise.
enum class Rotate {
  none,
  cw_90,
  cw_180,
  cw_270,
  automatic, // 90 degrees when picture and label differ in orientation
};

enum class Fit {
  contain, // scaled up or down to fit inside the margins (the default)
  shrink,  // scaled down to fit, never up
  none,    // one pixel a dot, a PDF page at its own size; cut to the label
};

// How a picture or PDF page becomes a label: zarn_raster_options in C++.
struct ImageOptions {
  // The label in mm. 0 x 0 makes the label the picture's own size: a PDF
  // page at its size, a picture one pixel a dot (margins then do nothing).
  double label_width_mm = 0;
  double label_height_mm = 0;
  int dpi = 203; // 203, 300 or 600
  Dither dither = Dither::floyd_steinberg;
  double threshold = 0.5; // Dither::threshold: ink where grey < threshold x white
  Rotate rotate = Rotate::none;
  Fit fit = Fit::contain;
  double margin_top_mm = 0;
  double margin_right_mm = 0;
  double margin_bottom_mm = 0;
  double margin_left_mm = 0;
  int copies = 1; // how many of the label PRINT makes

  zarn_raster_options raster() const
  {
    zarn_raster_options o;
    zarn_raster_options_init(&o);
    o.label_width_mm = label_width_mm;
    o.label_height_mm = label_height_mm;
    o.dpi = dpi;
    switch (dither) {
    case Dither::floyd_steinberg: o.dither = ZARN_RASTER_DITHER_FLOYD_STEINBERG; break;
    case Dither::threshold: o.dither = ZARN_RASTER_DITHER_THRESHOLD; break;
    case Dither::atkinson: o.dither = ZARN_RASTER_DITHER_ATKINSON; break;
    case Dither::ordered: o.dither = ZARN_RASTER_DITHER_ORDERED; break;
    }
    o.threshold = threshold;
    switch (rotate) {
    case Rotate::none: o.rotate = ZARN_RASTER_ROTATE_0; break;
    case Rotate::cw_90: o.rotate = ZARN_RASTER_ROTATE_90; break;
    case Rotate::cw_180: o.rotate = ZARN_RASTER_ROTATE_180; break;
    case Rotate::cw_270: o.rotate = ZARN_RASTER_ROTATE_270; break;
    case Rotate::automatic: o.rotate = ZARN_RASTER_ROTATE_AUTO; break;
    }
    switch (fit) {
    case Fit::contain: o.fit = ZARN_RASTER_FIT_CONTAIN; break;
    case Fit::shrink: o.fit = ZARN_RASTER_FIT_SHRINK; break;
    case Fit::none: o.fit = ZARN_RASTER_FIT_NONE; break;
    }
    o.margin_top_mm = margin_top_mm;
    o.margin_right_mm = margin_right_mm;
    o.margin_bottom_mm = margin_bottom_mm;
    o.margin_left_mm = margin_left_mm;
    return o;
  }
};

namespace detail {

// Throws for a failed libzarn-raster call, with its message.
inline void check_raster(zarn_raster_status status)
{
  switch (status) {
  case ZARN_RASTER_OK: return;
  case ZARN_RASTER_ERR_IO:
  case ZARN_RASTER_ERR_FORMAT:
  case ZARN_RASTER_ERR_CORRUPT:
  case ZARN_RASTER_ERR_TOO_LARGE:
  case ZARN_RASTER_ERR_PAGE: throw ImageError(status, zarn_raster_last_error());
  case ZARN_RASTER_ERR_NOT_CONNECTED:
  case ZARN_RASTER_ERR_SEND: throw SendError(zarn_raster_last_error());
  default: throw Error(zarn_raster_last_error());
  }
}

// The two helpers below are also how libzarn-raster and the printer
// application write a label, so every part of libzarn writes it one way.

// dots / dots_per_mm with at most three decimals, which the printer turns
// back into the same number of dots. Never the host's locale's comma.
inline std::string millimetres(int dots, int dots_per_mm)
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

// The rows of a packed 1-bit picture (a set bit is paper) from the first
// to the last that holds ink; count is 0 when every row is paper.
struct InkedRows {
  int first = 0;
  int count = 0;
};
inline InkedRows inked_rows(const unsigned char *data, int height, std::size_t row_bytes)
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

} // namespace detail

class Printer {
 public:
  // Opens the printer at address (see Address). Throws ConnectError,
  // BusyError, or AddressError for a text that is no address.
  explicit Printer(const Address &address, Timing timing = {});
  static Printer open(std::string_view address, Timing timing = {})
  {
    return Printer(Address::parse(address), timing);
  }
  static Printer usb(Timing timing = {}) { return Printer(Address{}, timing); }
  // device: the name under /dev ("ttyUSB0").
  static Printer serial(std::string device, SerialSettings settings = {}, Timing timing = {})
  {
    Address a;
    a.kind = Address::Kind::serial;
    a.device = std::move(device);
    a.settings = settings;
    return Printer(a, timing);
  }
  // host: a name (looked up over IPv4) or a dotted IPv4 address.
  static Printer tcp(std::string host, int port = 9100, Timing timing = {})
  {
    Address a;
    a.kind = Address::Kind::tcp;
    a.host = std::move(host);
    a.port = port;
    return Printer(a, timing);
  }

  ~Printer() { close(); }
  Printer(Printer &&other) noexcept
      : address_(std::move(other.address_)), peer_(std::move(other.peer_)), timing_(other.timing_),
        open_(std::exchange(other.open_, false))
  {
  }
  Printer &operator=(Printer &&other) noexcept
  {
    if (this != &other) {
      close();
      address_ = std::move(other.address_);
      peer_ = std::move(other.peer_);
      timing_ = other.timing_;
      open_ = std::exchange(other.open_, false);
    }
    return *this;
  }
  Printer(const Printer &) = delete;
  Printer &operator=(const Printer &) = delete;

  const Address &address() const { return address_; }
  // The address, and for TCP the IPv4 address it reached: for messages.
  std::string describe() const
  {
    return peer_.empty() ? address_.text() : address_.text() + " (" + peer_ + ")";
  }
  bool is_open() const { return open_; }
  // Closes the connection now; the Printer can then only be destroyed.
  void close()
  {
    if (open_) {
      closeport();
      open_ = false;
      detail_taken().store(false);
    }
  }

  // Sends one command line (CR LF is added). Throws SendError.
  void send(std::string_view command)
  {
    require_open(); // a moved-from Printer must not use its successor's connection
    std::string line(command);
    if (sendcommand(line.data()) != 1)
      throw SendError("cannot send to the printer at " + describe());
  }

  // Sends bytes unchanged; with progress, in pieces, reporting after each.
  void send_binary(std::span<const std::byte> data, const Progress &progress = {})
  {
    require_open();
    const std::size_t piece = progress ? kProgressPiece : static_cast<std::size_t>(INT_MAX);
    std::size_t done = 0;
    while (done < data.size()) {
      const std::size_t n = std::min(piece, data.size() - done);
      auto *bytes = reinterpret_cast<unsigned char *>(const_cast<std::byte *>(data.data() + done));
      if (sendBinaryData(bytes, static_cast<int>(n)) != 1)
        throw SendError("cannot send to the printer at " + describe() + " (" +
                        std::to_string(done) + " of " + std::to_string(data.size()) +
                        " bytes went out)");
      done += n;
      if (progress)
        progress(done, data.size());
    }
  }
  void send_binary(std::string_view data, const Progress &progress = {})
  {
    send_binary(std::as_bytes(std::span(data.data(), data.size())), progress);
  }

  // The printer's output of a command (up to its end marker). Throws
  // ReplyError when the printer does not answer.
  std::string query(std::string_view command)
  {
    require_open();
    std::string line(command);
    const auto start = std::chrono::steady_clock::now();
    std::string reply = take(sendcommand_getstring(line.data()));
    const bool waited = silent(start);
    if (reply == kReceiveFailed)
      throw ReplyError("no complete reply to '" + line + "' from the printer at " + describe());
    if (reply.empty() && (waited || peer_gone()))
      throw ReplyError("no reply to '" + line + "' from the printer at " + describe());
    return reply;
  }

  Status status();

  // The printer's model name and serial number, without trailing line breaks.
  std::string name() { return answer(printername, "name"); }
  std::string serial() { return answer(printerserial, "serial number"); }

  // Stores the file at path in the printer as `as`. Without progress the
  // library's downloadpcx sends it whole; with progress the same DOWNLOAD
  // goes out in pieces. Throws FileError or SendError.
  void upload(const std::filesystem::path &path, const std::string &as,
              const Progress &progress = {});

  // Renders text (UTF-8) with the TrueType font file at size points and
  // sends it as a bitmap at x, y (dots). Throws FileError for a font that
  // cannot be read or used, Error for a text that renders to nothing.
  void text_bitmap(int x, int y, int size, const std::filesystem::path &font,
                   const std::string &text)
  {
    require_open();
    if (::access(font.c_str(), R_OK) != 0)
      throw FileError("cannot read the font " + font.string() + ": " + std::strerror(errno));
    std::string f = font.string(), t = text;
    if (windowsfont(x, y, size, 0, f.data(), t.data()) != 1)
      throw FileError(t.empty() ? std::string("an empty text renders to nothing")
                                : "cannot render with " + f + " (not a TrueType font?)");
  }

  // Renders page (1 = the first) of the picture or PDF at path and prints
  // it as one label with options.copies copies. Nothing is sent unless the
  // page renders. Throws ImageError (the file or page), Error (options out
  // of range) or SendError. Needs -lzarn-raster.
  void print_image(const std::filesystem::path &path, int page = 1,
                   const ImageOptions &options = {}, const Progress &progress = {})
  {
    require_open();
    const zarn_raster_options o = options.raster();
    zarn_raster_bitmap *bitmap = nullptr;
    detail::check_raster(zarn_raster_render_file(path.c_str(), page, &o, &bitmap));
    const std::unique_ptr<zarn_raster_bitmap, decltype(&zarn_raster_bitmap_free)> owned(
        bitmap, &zarn_raster_bitmap_free);
    print_bitmap(*bitmap, options.copies, progress);
  }

  // Prints a label rendered with libzarn-raster: "SIZE w mm,h mm" (the
  // bitmap's size), "CLS", its rows as one BITMAP (rows of paper above and
  // below left out) and "PRINT 1,copies"; the bytes zarn_raster_send sends,
  // but with progress over the BITMAP rows. Throws SendError.
  void print_bitmap(const zarn_raster_bitmap &bitmap, int copies = 1, const Progress &progress = {})
  {
    require_open();
    if (copies < 1)
      throw Error("copies must be 1 or more, not " + std::to_string(copies));
    const int width = zarn_raster_bitmap_width(&bitmap);
    const int height = zarn_raster_bitmap_height(&bitmap);
    const auto row_bytes = static_cast<std::size_t>(zarn_raster_bitmap_bytes_per_row(&bitmap));
    const unsigned char *data = zarn_raster_bitmap_data(&bitmap);
    const int dpi = zarn_raster_bitmap_dpi(&bitmap);
    const int dots_per_mm = dpi == 600 ? 24 : dpi == 300 ? 12 : 8;
    const detail::InkedRows rows = detail::inked_rows(data, height, row_bytes);
    send("SIZE " + detail::millimetres(width, dots_per_mm) + " mm," +
         detail::millimetres(height, dots_per_mm) + " mm");
    send("CLS");
    if (rows.count > 0) {
      std::string block = "BITMAP 0," + std::to_string(rows.first) + "," +
                          std::to_string(row_bytes) + "," + std::to_string(rows.count) + ",0,";
      block.append(reinterpret_cast<const char *>(data) +
                       static_cast<std::size_t>(rows.first) * row_bytes,
                   static_cast<std::size_t>(rows.count) * row_bytes);
      send_binary(block, progress);
    }
    send("PRINT 1," + std::to_string(copies));
  }

  // Polls the status until the printing bit clears, a fault shows, the
  // printer stops answering, or timeout passes.
  WaitOutcome wait_until_printed(std::chrono::milliseconds timeout)
  {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const WaitOutcome o = outcome_of(status());
      if (o != WaitOutcome::timed_out)
        return o;
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline)
        return o;
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(timing_.poll_interval, deadline - now));
    }
  }

 private:
  static constexpr std::size_t kProgressPiece = 2048;
  static constexpr std::string_view kReceiveFailed = "Receive Failed\r\n";
  // The status request as the library sends it (sendcommand adds CR LF).
  static constexpr char kStatusRequest[] = "\033!?\r\n";

  static std::atomic<bool> &detail_taken()
  {
    static std::atomic<bool> taken{false};
    return taken;
  }
  void require_open() const
  {
    if (!open_)
      throw Error("the printer connection to " + address_.text() + " is closed");
  }
  // Copies a reply text and releases it (never the library's constants).
  static std::string take(char *reply)
  {
    if (reply == nullptr)
      return {};
    std::string s(reply);
    zarn_free_reply(reply);
    return s;
  }
  // Whether a call that began at start took the library's whole reply wait.
  bool silent(std::chrono::steady_clock::time_point start) const
  {
    return std::chrono::steady_clock::now() - start >= timing_.reply_wait - timing_.reply_wait / 20;
  }
  // Whether the other end of the connection is gone (TCP peer closed, the
  // serial line hung up), so an empty reply was no reply.
  static bool peer_gone()
  {
    pollfd p{-1, POLLIN, 0};
    if (openEthernetPortResult == 1)
      p = {net_socket, POLLIN | POLLRDHUP, 0};
    else if (openSerialPortResult == 1)
      p = {tty_device, POLLIN, 0};
    else
      return false;
    int rc;
    do
      rc = ::poll(&p, 1, 0);
    while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
  std::string answer(char *(*ask)(), const char *what)
  {
    require_open();
    const auto start = std::chrono::steady_clock::now();
    std::string reply = take(ask());
    if (reply == kReceiveFailed)
      throw ReplyError(std::string("receiving the ") + what + " from the printer at " + describe() +
                       " failed");
    if (reply.empty() && (silent(start) || peer_gone()))
      throw ReplyError(std::string("no reply to the ") + what + " request from the printer at " +
                       describe());
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r'))
      reply.pop_back();
    return reply;
  }
  void open_serial();
  void open_tcp();

  Address address_;
  std::string peer_;
  Timing timing_;
  bool open_ = false;
};

inline Printer::Printer(const Address &address, Timing timing) : address_(address), timing_(timing)
{
  if (detail_taken().exchange(true))
    throw BusyError("cannot open " + address_.text() +
                    ": this process already has a printer open (the library holds one "
                    "connection per process)");
  try {
    switch (address_.kind) {
    case Address::Kind::usb: {
      char usb[] = "USB";
      if (openport(usb) != 1)
        throw ConnectError("cannot open the USB printer: no device with the printer vendor ID "
                           "could be opened (none attached, no permission on its /dev/bus/usb "
                           "node, or held by another program)");
      break;
    }
    case Address::Kind::serial: open_serial(); break;
    case Address::Kind::tcp: open_tcp(); break;
    }
  } catch (...) {
    detail_taken().store(false);
    throw;
  }
  open_ = true;
}

inline void Printer::open_serial()
{
  const std::string path = "/dev/" + address_.device;
  if (!address_.device.starts_with("tty") || address_.device.find('/') != std::string::npos)
    throw AddressError("bad serial device '" + address_.device +
                       "': a name under /dev beginning with tty");
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw ConnectError("cannot open the serial printer " + path + ": " + std::strerror(errno));
  if (::access(path.c_str(), R_OK | W_OK) != 0)
    throw ConnectError("cannot open the serial printer " + path + ": " + std::strerror(errno));
  // openport refuses anything but a terminal; say so rather than just fail.
  {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool terminal = fd >= 0 && ::isatty(fd);
    if (fd >= 0)
      ::close(fd);
    if (!terminal)
      throw ConnectError("cannot use the serial printer " + path + ": it is not a terminal");
  }
  std::string name = address_.device;
  if (openport(name.data()) != 1)
    throw ConnectError("cannot open the serial printer " + path);
  const SerialSettings &s = address_.settings;
  const char *problem = nullptr;
  if (s != SerialSettings{}) {
    set_Speed(s.baud);
    if (set_Parity(s.data_bits, s.stop_bits, s.parity) != 1)
      problem = "its line settings cannot be applied";
  }
  if (problem != nullptr) {
    closeport();
    throw ConnectError("cannot use the serial printer " + path + ": " + problem);
  }
}

inline void Printer::open_tcp()
{
  std::vector<std::string> candidates;
  in_addr numeric{};
  if (::inet_pton(AF_INET, address_.host.c_str(), &numeric) == 1) {
    candidates.push_back(address_.host);
  } else {
    addrinfo hints{};
    hints.ai_family = AF_INET; // the library connects over IPv4 only
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(address_.host.c_str(), nullptr, &hints, &found);
    if (rc != 0)
      throw ConnectError("cannot find the printer host '" + address_.host +
                         "': " + ::gai_strerror(rc));
    for (const addrinfo *ai = found; ai != nullptr; ai = ai->ai_next) {
      char text[INET_ADDRSTRLEN] = {};
      const auto *sin = reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
      if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr &&
          std::find(candidates.begin(), candidates.end(), text) == candidates.end())
        candidates.emplace_back(text);
    }
    ::freeaddrinfo(found);
  }
  std::string why = "no IPv4 address";
  for (std::string &ip : candidates) {
    errno = 0;
    if (openethernet(ip.data(), address_.port) == 1) {
      if (ip != address_.host)
        peer_ = ip + ":" + std::to_string(address_.port);
      return;
    }
    why = ip + ": " + (errno != 0 ? std::strerror(errno) : "cannot connect");
  }
  throw ConnectError("cannot connect to the printer at " + address_.text() + " (" + why + ")");
}

inline Status Printer::status()
{
  require_open();
  auto start = std::chrono::steady_clock::now();
  const int code = printerstatus();
  if (code == 0)
    return silent(start) || peer_gone() ? Status{} : Status::from_byte(0);
  if (code != 'R')
    return Status::from_byte(static_cast<std::uint8_t>(code));
  if (silent(start))
    return Status{}; // a USB transfer that timed out
  // 'R' is a failed receive or the byte 0x52: the text of one more reply tells.
  start = std::chrono::steady_clock::now();
  std::string request(kStatusRequest);
  if (sendcommand(request.data()) != 1)
    return Status{Status::Reply::receive_failed, 0};
  char none[] = "";
  const std::string reply = take(Read(none));
  if (reply == kReceiveFailed)
    return silent(start) ? Status{} : Status{Status::Reply::receive_failed, 0};
  if (reply.empty())
    return silent(start) || peer_gone() ? Status{} : Status::from_byte(0);
  return Status::from_byte(static_cast<std::uint8_t>(reply[0]));
}

// Why `name` cannot name a file in the printer, or "" when it can. The name
// stands between quotes in the DOWNLOAD header: a quote would end it early,
// and a line break would end the header and run the file's bytes as commands.
inline std::string upload_name_problem(std::string_view name)
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

// `text` for a one-line message: control bytes and backslashes as C escapes.
inline std::string printable(std::string_view text)
{
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\')
      out += "\\\\";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (u < 0x20 || u == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else
      out += c;
  }
  return out;
}

inline void Printer::upload(const std::filesystem::path &path, const std::string &as,
                            const Progress &progress)
{
  require_open();
  if (const std::string why = upload_name_problem(as); !why.empty())
    throw FileError("cannot upload " + printable(path.string()) + " as '" + printable(as) +
                    "': " + why + "; choose another name");
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw FileError("cannot read " + path.string() + ": it is a folder");
  if (::access(path.c_str(), R_OK) != 0)
    throw FileError("cannot read " + path.string() + ": " + std::strerror(errno));
  if (!progress) {
    std::string p = path.string(), n = as;
    if (downloadpcx(p.data(), n.data()) != 1)
      throw FileError("cannot upload " + p + " (unreadable, or 2 GiB or larger)");
    return;
  }
  std::ifstream in(path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  if (!in.good() && !in.eof())
    throw FileError("cannot read " + path.string());
  if (bytes.size() > static_cast<std::size_t>(INT_MAX))
    throw FileError("cannot upload " + path.string() + ": 2 GiB or larger");
  // The library's download: header, the bytes, then a line break.
  send_binary("DOWNLOAD F,\"" + as + "\"," + std::to_string(bytes.size()) + ",");
  send_binary(bytes, progress);
  send("\r\n");
}

} // namespace zarn
