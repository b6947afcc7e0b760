// SPDX-License-Identifier: MIT
// libzarn for C++: one printer connection as an object, its status decoded
// into words, and failures as exceptions. A thin layer over the host layer
// libzarn-client (zarn-client.h), where addresses, opening, the reply
// kinds, waits, uploads and printing are implemented once for every front
// end. Link with -lzarn-client (pkg-config zarn-client, or zarn::client).
//
//   zarn::Printer printer = zarn::Printer::open("tcp://printer.local");
//   printer.send("CLS");
//   ...
//   if (printer.wait_until_printed(std::chrono::seconds(30)) != zarn::WaitOutcome::printed) ...
//
// The library holds one connection per process, so only one Printer may be
// open at a time: opening a second one throws BusyError, and so does
// opening one while a connection made with zarn.h's openport or
// openethernet is open (that connection is left alone). A Printer is used
// from one thread at a time.
//
// What the status can tell: Status::reply says whether the printer
// answered, stayed silent for Timing::reply_timeout (TCP and serial; on
// USB for the library's 10 s transfer limit), failed the receive, or
// disconnected. A status byte 0x52 is its bits, never a failed receive.
#pragma once

#include "zarn-client.h"
#include "zarn-raster.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarn {

// ---- Errors ----------------------------------------------------------------

// Every failure a Printer reports; what() names the device or address.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// A printer address (or threshold, page list, label size) text that cannot
// be understood.
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
// Another connection is open in this process.
class BusyError : public Error {
 public:
  using Error::Error;
};
// Bytes could not be sent to the printer, or its connection is closed.
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

namespace detail {

// Throws the exception for a failed libzarn-client call.
inline void check(zarn_client_status status)
{
  const std::string m = zarn_client_last_error();
  switch (status) {
  case ZARN_CLIENT_OK: return;
  case ZARN_CLIENT_ERR_ADDRESS: throw AddressError(m);
  case ZARN_CLIENT_ERR_CONNECT: throw ConnectError(m);
  case ZARN_CLIENT_ERR_BUSY: throw BusyError(m);
  case ZARN_CLIENT_ERR_CLOSED:
  case ZARN_CLIENT_ERR_SEND: throw SendError(m);
  case ZARN_CLIENT_ERR_REPLY: throw ReplyError(m);
  case ZARN_CLIENT_ERR_FILE:
  case ZARN_CLIENT_ERR_NAME: throw FileError(m);
  case ZARN_CLIENT_ERR_IMAGE: throw ImageError(zarn_client_last_raster_status(), m);
  case ZARN_CLIENT_ERR_NO_MEMORY: throw std::bad_alloc();
  default: throw Error(m);
  }
}

// Throws for a failed libzarn-raster call, with its message.
inline void check_raster(zarn_raster_status status)
{
  if (status == ZARN_RASTER_OK)
    return;
  if (status == ZARN_RASTER_ERR_ARGUMENT || status == ZARN_RASTER_ERR_NO_MEMORY)
    throw Error(zarn_raster_last_error());
  throw ImageError(status, zarn_raster_last_error());
}

struct Freed {
  void operator()(void *p) const noexcept { zarn_client_free(p); }
};
inline std::string taken(char *text)
{
  const std::unique_ptr<char, Freed> owned(text);
  return text != nullptr ? std::string(text) : std::string();
}

} // namespace detail

// ---- Decoded status ---------------------------------------------------------

// Bits of the status byte; several can be set at once, none means ready.
enum class Condition : std::uint8_t {
  head_open = ZARN_CLIENT_BIT_HEAD_OPEN,
  paper_jam = ZARN_CLIENT_BIT_PAPER_JAM,
  paper_out = ZARN_CLIENT_BIT_PAPER_OUT,
  ribbon_out = ZARN_CLIENT_BIT_RIBBON_OUT,
  paused = ZARN_CLIENT_BIT_PAUSED,
  printing = ZARN_CLIENT_BIT_PRINTING,
  cover_open = ZARN_CLIENT_BIT_COVER_OPEN,
  temperature = ZARN_CLIENT_BIT_TEMPERATURE, // print head temperature out of range
};

inline std::string_view to_string(Condition c)
{
  const char *words = zarn_client_condition_text(static_cast<unsigned>(c));
  return *words ? words : "unknown";
}

struct Status {
  enum class Reply {
    answered = ZARN_CLIENT_REPLY_ANSWERED,             // the printer sent its status byte
    no_reply = ZARN_CLIENT_REPLY_NONE,                 // nothing within the reply timeout
    receive_failed = ZARN_CLIENT_REPLY_RECEIVE_FAILED, // the receive failed
    disconnected = ZARN_CLIENT_REPLY_DISCONNECTED,     // the peer closed or the line hung up
  };
  Reply reply = Reply::no_reply;
  std::uint8_t bits = 0; // the status byte; 0 unless answered

  static constexpr Status from_byte(std::uint8_t byte) { return {Reply::answered, byte}; }

  constexpr bool answered() const { return reply == Reply::answered; }
  constexpr bool has(Condition c) const
  {
    return answered() && (bits & static_cast<std::uint8_t>(c)) != 0;
  }
  constexpr bool ready() const { return answered() && bits == 0; }
  // Answered with a bit that needs a person (every bit except printing).
  constexpr bool needs_attention() const
  {
    return answered() && (bits & ~static_cast<std::uint8_t>(Condition::printing)) != 0;
  }
  zarn_client_printer_status c() const
  {
    return {static_cast<zarn_client_reply>(reply), answered() ? bits : std::uint8_t{0}};
  }
  // The conditions that are set, most pressing first.
  std::vector<Condition> conditions() const
  {
    static constexpr Condition kOrder[] = {
        Condition::paper_out,  Condition::ribbon_out,  Condition::paper_jam, Condition::head_open,
        Condition::cover_open, Condition::temperature, Condition::paused,    Condition::printing};
    std::vector<Condition> out;
    for (const Condition c : kOrder)
      if (has(c))
        out.push_back(c);
    return out;
  }
  // "ready", "paper out, head open", "no reply", "receive failed" or "disconnected".
  std::string text() const
  {
    const zarn_client_printer_status s = c();
    return detail::taken(zarn_client_status_words(&s));
  }
  friend constexpr bool operator==(const Status &, const Status &) = default;
};

// How a printed job ended, as wait_until_printed() saw it.
enum class WaitOutcome {
  printed = ZARN_CLIENT_OUTCOME_PRINTED,
  paper_out = ZARN_CLIENT_OUTCOME_PAPER_OUT,
  ribbon_out = ZARN_CLIENT_OUTCOME_RIBBON_OUT,
  paper_jam = ZARN_CLIENT_OUTCOME_PAPER_JAM,
  head_or_cover_open = ZARN_CLIENT_OUTCOME_HEAD_OR_COVER_OPEN,
  temperature = ZARN_CLIENT_OUTCOME_TEMPERATURE,
  paused = ZARN_CLIENT_OUTCOME_PAUSED,
  no_reply = ZARN_CLIENT_OUTCOME_NO_REPLY,   // silent, a failed receive, or disconnected
  timed_out = ZARN_CLIENT_OUTCOME_TIMED_OUT, // still printing when the time was up
};

inline std::string_view to_string(WaitOutcome o)
{
  return zarn_client_outcome_text(static_cast<zarn_client_outcome>(o));
}

// The outcome a status stands for once printing has stopped, or
// WaitOutcome::timed_out while it is still printing without a fault.
inline WaitOutcome outcome_of(const Status &s)
{
  const zarn_client_printer_status c = s.c();
  return static_cast<WaitOutcome>(zarn_client_outcome_of(&c));
}

// ---- Printer addresses ------------------------------------------------------

struct SerialSettings {
  int baud = 115200;
  char parity = 'N'; // 'N', 'O', 'E' or 'S'
  int data_bits = 8; // 7 or 8
  int stop_bits = 1; // 1 or 2
  friend bool operator==(const SerialSettings &, const SerialSettings &) = default;
};

// One printer as a text (see zarn-client.h):
//   usb | serial:ttyUSB0[?baud=9600&parity=none&data=8&stop=1] | tcp://HOST[:PORT]
struct Address {
  enum class Kind { usb, serial, tcp };
  Kind kind = Kind::usb;
  std::string device;      // serial: the name under /dev, beginning with "tty"
  SerialSettings settings; // serial
  std::string host;        // tcp
  int port = 9100;         // tcp

  // Throws AddressError with what is wrong.
  static Address parse(std::string_view text)
  {
    zarn_client_address c{};
    detail::check(zarn_client_address_parse(std::string(text).c_str(), &c));
    Address a;
    a.kind = static_cast<Kind>(c.kind);
    a.device = c.device;
    a.settings = {c.baud, c.parity, c.data_bits, c.stop_bits};
    a.host = c.host;
    a.port = c.port;
    return a;
  }
  zarn_client_address c() const
  {
    zarn_client_address out{};
    out.kind = static_cast<zarn_client_kind>(kind);
    device.copy(out.device, sizeof out.device - 1);
    out.baud = settings.baud;
    out.parity = settings.parity;
    out.data_bits = settings.data_bits;
    out.stop_bits = settings.stop_bits;
    host.copy(out.host, sizeof out.host - 1);
    out.port = port;
    return out;
  }
  // The address in the form parse() reads.
  std::string text() const
  {
    const zarn_client_address a = c();
    return detail::taken(zarn_client_address_format(&a));
  }
  friend bool operator==(const Address &, const Address &) = default;
};

// ---- Texts read the same way by every front end -----------------------------

// A fraction 0-1 ("0.5") or a percentage with % ("50%"). Throws AddressError.
inline double parse_threshold(const std::string &text)
{
  double v = 0;
  detail::check(zarn_client_parse_threshold(text.c_str(), &v));
  return v;
}
// The pages of a file of page_count pages that text names ("1-3,5,7-"),
// in the file's order and each once; "" names them all.
inline std::vector<int> parse_pages(const std::string &text, int page_count)
{
  int *pages = nullptr, count = 0;
  detail::check(zarn_client_parse_pages(text.c_str(), page_count, &pages, &count));
  const std::unique_ptr<int, detail::Freed> owned(pages);
  return {pages, pages + count};
}
struct LabelSize {
  double width_mm = 0;
  double height_mm = 0;
};
// "100x60mm" or "4x6in". Throws AddressError.
inline LabelSize parse_label_size(const std::string &text)
{
  LabelSize s;
  detail::check(zarn_client_parse_label_size(text.c_str(), &s.width_mm, &s.height_mm));
  return s;
}

// Why `name` cannot name a file of size bytes in the printer, or "".
inline std::string upload_name_problem(std::string_view name, std::size_t size = 0)
{
  if (zarn_client_upload_name_check(std::string(name).c_str(), size) == ZARN_CLIENT_OK)
    return {};
  std::string m = zarn_client_last_error();
  const std::size_t colon = m.find("': ");
  return colon == std::string::npos ? m : m.substr(colon + 3);
}

// `text` for a one-line message: control bytes and backslashes as C escapes.
inline std::string printable(std::string_view text)
{
  return detail::taken(zarn_client_printable(text.data(), text.size()));
}

// ---- Pictures and PDF pages ---------------------------------------------------

enum class Dither {
  floyd_steinberg = ZARN_RASTER_DITHER_FLOYD_STEINBERG, // error diffusion (the default)
  threshold = ZARN_RASTER_DITHER_THRESHOLD, // ink where the grey is below ImageOptions::threshold
  atkinson = ZARN_RASTER_DITHER_ATKINSON,   // error diffusion, lighter and with more contrast
  ordered = ZARN_RASTER_DITHER_ORDERED,     // Bayer 8 x 8
};

// Turning before fitting; angles are clockwise.
enum class Rotate {
  none = ZARN_RASTER_ROTATE_0,
  cw_90 = ZARN_RASTER_ROTATE_90,
  cw_180 = ZARN_RASTER_ROTATE_180,
  cw_270 = ZARN_RASTER_ROTATE_270,
  automatic = ZARN_RASTER_ROTATE_AUTO, // 90 degrees when picture and label differ in orientation
};

enum class Fit {
  contain = ZARN_RASTER_FIT_CONTAIN, // scaled up or down to fit inside the margins (the default)
  shrink = ZARN_RASTER_FIT_SHRINK,   // scaled down to fit, never up
  none = ZARN_RASTER_FIT_NONE,       // one pixel a dot, a PDF page at its own size
};

// How a picture or PDF page becomes a label: zarn_raster_options in C++.
struct ImageOptions {
  // The label in mm. 0 x 0 makes the label the picture's own size.
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
  // The budget of one page: CPU seconds and bytes of memory its decoding
  // and rendering may take (0: 10 s and 256 MiB). Past it, ImageError.
  double max_seconds = 0;
  unsigned long long max_bytes = 0;

  zarn_raster_options raster() const
  {
    zarn_raster_options o;
    zarn_raster_options_init(&o);
    o.label_width_mm = label_width_mm;
    o.label_height_mm = label_height_mm;
    o.dpi = dpi;
    o.dither = static_cast<zarn_raster_dither>(dither);
    o.threshold = threshold;
    o.rotate = static_cast<zarn_raster_rotate>(rotate);
    o.fit = static_cast<zarn_raster_fit>(fit);
    o.margin_top_mm = margin_top_mm;
    o.margin_right_mm = margin_right_mm;
    o.margin_bottom_mm = margin_bottom_mm;
    o.margin_left_mm = margin_left_mm;
    if (max_seconds != 0)
      o.max_seconds = max_seconds;
    if (max_bytes != 0)
      o.max_bytes = max_bytes;
    return o;
  }
};

// ---- The printer -----------------------------------------------------------------

struct Timing {
  // How long status and queries wait for the printer's first byte on TCP
  // and serial before the answer is "no reply".
  std::chrono::milliseconds reply_timeout{2000};
  // Pause between status polls while waiting for a label to print.
  std::chrono::milliseconds poll_interval{250};
};

// Told how many of the total bytes went out so far, after each piece.
using Progress = std::function<void(std::size_t done, std::size_t total)>;

class Printer {
 public:
  // Opens the printer at address. Throws ConnectError, BusyError, or
  // AddressError for a text that is no address.
  explicit Printer(const Address &address, Timing timing = {}) : timing_(timing)
  {
    const zarn_client_address a = address.c();
    zarn_client_printer *p = nullptr;
    detail::check(zarn_client_open_address(&a, &p));
    handle_.reset(p);
    address_ = address;
    set_timing(timing);
  }
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

  const Address &address() const { return address_; }
  // The address, and for a TCP host name the IPv4 address it reached.
  std::string describe() const
  {
    return handle_ ? zarn_client_describe(handle_.get()) : address_.text();
  }
  bool is_open() const { return handle_ != nullptr; }
  // Closes the connection now; the Printer can then only be destroyed.
  void close() { handle_.reset(); }
  void set_timing(Timing timing)
  {
    detail::check(zarn_client_set_reply_timeout(
        need(), static_cast<int>(std::clamp<long long>(timing.reply_timeout.count(), 1, 60000))));
    timing_ = timing;
  }

  // One command line (CR LF is added). Throws SendError.
  void send(std::string_view command)
  {
    detail::check(zarn_client_send(need(), std::string(command).c_str()));
  }
  // Bytes unchanged; with progress, in pieces, reporting after each.
  void send_binary(std::span<const std::byte> data, const Progress &progress = {})
  {
    detail::check(zarn_client_send_binary(need(), data.data(), data.size(),
                                          progress ? &report : nullptr,
                                          const_cast<Progress *>(&progress)));
  }
  void send_binary(std::string_view data, const Progress &progress = {})
  {
    send_binary(std::as_bytes(std::span(data.data(), data.size())), progress);
  }

  // The printer's output of a command (up to its end marker). Throws
  // ReplyError when the printer does not answer.
  std::string query(std::string_view command)
  {
    char *text = nullptr;
    detail::check(zarn_client_query(need(), std::string(command).c_str(), nullptr, &text));
    return detail::taken(text);
  }
  Status status()
  {
    zarn_client_printer_status s{};
    detail::check(zarn_client_status_get(need(), &s));
    return {static_cast<Status::Reply>(s.reply), s.bits};
  }
  // The model name and serial number, without trailing line breaks.
  std::string name() { return answer(zarn_client_name); }
  std::string serial() { return answer(zarn_client_serial); }

  // Stores the file at path in the printer as `as`. The name is checked
  // (quotes, line breaks, length) and the file read before anything is
  // sent. Throws FileError or SendError.
  void upload(const std::filesystem::path &path, const std::string &as,
              const Progress &progress = {})
  {
    detail::check(zarn_client_upload(need(), path.c_str(), as.c_str(), progress ? &report : nullptr,
                                     const_cast<Progress *>(&progress)));
  }

  // Renders text (UTF-8) with the TrueType font file at size points and
  // sends it as a bitmap at x, y (dots). Throws FileError.
  void text_bitmap(int x, int y, int size, const std::filesystem::path &font,
                   const std::string &text)
  {
    detail::check(zarn_client_text_bitmap(need(), x, y, size, font.c_str(), text.c_str()));
  }

  // Renders page (1 = the first) of the picture or PDF at path and prints
  // it as one label with options.copies copies. Nothing is sent unless the
  // page renders. Throws ImageError, Error or SendError.
  void print_image(const std::filesystem::path &path, int page = 1,
                   const ImageOptions &options = {}, const Progress &progress = {})
  {
    const zarn_raster_options o = options.raster();
    detail::check(zarn_client_print_file(need(), path.c_str(), page, &o, options.copies,
                                         progress ? &report : nullptr,
                                         const_cast<Progress *>(&progress)));
  }
  // Prints a label rendered with libzarn-raster: SIZE, CLS, its rows as one
  // BITMAP (rows of paper above and below left out) and PRINT 1,copies.
  void print_bitmap(const zarn_raster_bitmap &bitmap, int copies = 1, const Progress &progress = {})
  {
    detail::check(zarn_client_print_bitmap(need(), &bitmap, copies, progress ? &report : nullptr,
                                           const_cast<Progress *>(&progress)));
  }

  // Polls the status until the printing bit clears, a fault shows, the
  // printer stops answering, or timeout passes.
  WaitOutcome wait_until_printed(std::chrono::milliseconds timeout)
  {
    zarn_client_outcome o{};
    detail::check(zarn_client_wait(need(), static_cast<int>(timeout.count()),
                                   static_cast<int>(timing_.poll_interval.count()), nullptr, &o));
    return static_cast<WaitOutcome>(o);
  }

 private:
  struct Closer {
    void operator()(zarn_client_printer *p) const noexcept { zarn_client_close(p); }
  };
  // No exception may cross the C library: a throwing progress is ignored.
  static void report(std::size_t done, std::size_t total, void *context) noexcept
  {
    try {
      (*static_cast<Progress *>(context))(done, total);
    } catch (...) {
    }
  }
  zarn_client_printer *need() const
  {
    if (!handle_)
      throw SendError("the printer connection to " + address_.text() + " is closed");
    return handle_.get();
  }
  std::string answer(zarn_client_status (*ask)(zarn_client_printer *, zarn_client_reply *, char **))
  {
    char *text = nullptr;
    detail::check(ask(need(), nullptr, &text));
    return detail::taken(text);
  }

  std::unique_ptr<zarn_client_printer, Closer> handle_;
  Address address_;
  Timing timing_;
};

} // namespace zarn
