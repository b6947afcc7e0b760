// SPDX-License-Identifier: MIT
#include "commands.hpp"

#include "devices.hpp"
#include "doctor.hpp"
#include "progress.hpp"

#include "common/handle.hpp"
#include "common/protocol.hpp"

#include <SDL_ttf.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

namespace zarn::cli {
namespace {

using Json = nlohmann::ordered_json;

// What zarn send reads and sends at a time.
constexpr std::size_t kSendChunk = 64 * 1024;

void print_json(const Json &j)
{
  // Printer texts are bytes, not always UTF-8: replace what is not.
  std::cout << j.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

Json status_json(const Status &s)
{
  Json j;
  j["status"] = s.text();
  j["reply"] = s.answered()                               ? "answered"
               : s.reply == Status::Reply::no_reply       ? "no reply"
               : s.reply == Status::Reply::receive_failed ? "receive failed"
                                                          : "disconnected";
  j["ready"] = s.ready();
  j["needs_attention"] = s.needs_attention();
  j["byte"] = s.answered() ? Json(s.bits) : Json(nullptr);
  Json conditions = Json::array();
  for (Condition c : s.conditions())
    conditions.push_back(std::string(to_string(c)));
  j["conditions"] = conditions;
  return j;
}

int status_exit(const Status &s)
{
  if (!s.answered())
    return kExitFailure;
  return s.needs_attention() ? kExitAttention : kExitOk;
}

int outcome_exit(WaitOutcome o)
{
  switch (o) {
  case WaitOutcome::printed: return kExitOk;
  case WaitOutcome::no_reply: return kExitFailure;
  case WaitOutcome::timed_out: return kExitTimedOut;
  default: return kExitAttention;
  }
}

// A file to read, or standard input for "-"; its size when it is a regular
// file (0 otherwise). Throws FileError.
struct Input {
  zarn::UniqueFd owned;
  int fd = STDIN_FILENO;
  std::string name = "standard input";
  std::size_t size = 0;
};

Input open_input(const std::string &file)
{
  Input in;
  if (file != "-") {
    in.name = printable(file);
    in.owned.reset(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.owned)
      throw FileError("cannot read " + in.name + ": " + std::strerror(errno));
    in.fd = in.owned.get();
  }
  struct stat st {};
  if (::fstat(in.fd, &st) != 0)
    throw FileError("cannot read " + in.name + ": " + std::strerror(errno));
  if (S_ISDIR(st.st_mode))
    throw FileError("cannot read " + in.name + ": it is a folder");
  if (S_ISREG(st.st_mode))
    in.size = static_cast<std::size_t>(st.st_size);
  return in;
}

// Up to size bytes; fewer only at the end. Throws FileError.
std::size_t read_some(const Input &in, char *buffer, std::size_t size)
{
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(in.fd, buffer + got, size - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw FileError("cannot read " + in.name + ": " + std::strerror(errno));
    if (n == 0)
      break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// A printer's own text for a person to read: a name or serial could hold
// escape sequences that retitle, recolour or turn round the terminal, so
// every byte outside printable ASCII is shown as \xNN.
std::string terminal_text(std::string_view text)
{
  std::string out;
  for (const char c : printable(text)) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80) {
      out += c;
      continue;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[u >> 4];
    out += kHex[u & 15];
  }
  return out;
}

volatile std::sig_atomic_t stop_signal = 0;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_stop_signal(int sig)
{
  if (stop_signal != 0) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    return;
  }
  stop_signal = sig;
}

void require_readable(const std::string &file, const char *what)
{
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec))
    throw FileError(std::string("cannot read ") + what + file + ": it is a folder");
  if (::access(file.c_str(), R_OK) != 0)
    throw FileError(std::string("cannot read ") + what + file + ": " + std::strerror(errno));
}

// A number of millimetres as the shortest text that reads back the same.
std::string mm_text(double mm)
{
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, mm);
  return std::string(buf, r.ptr);
}

void parse_at(const std::string &at, int &x, int &y)
{
  const std::size_t comma = at.find(',');
  auto number = [](const std::string &t, int &v) {
    const auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    return !t.empty() && ec == std::errc() && p == t.data() + t.size() && v >= 0 && v <= 100000;
  };
  if (comma == std::string::npos || !number(at.substr(0, comma), x) ||
      !number(at.substr(comma + 1), y))
    throw Error("bad position '" + at + "': expected X,Y in dots, such as 40,40");
}

} // namespace

int wait_and_report(Printer &printer, const WaitOptions &wait)
{
  if (!wait.wait)
    return kExitOk;
  const WaitOutcome o = printer.wait_until_printed(
      std::chrono::duration_cast<std::chrono::milliseconds>(wait.timeout));
  std::cout << to_string(o) << std::endl;
  return outcome_exit(o);
}

int run_status(const Address &address, bool json, std::chrono::milliseconds timeout)
{
  Printer printer(address, Timing{timeout});
  const Status s = printer.status();
  if (json) {
    Json j;
    j["printer"] = address.text();
    j.update(status_json(s));
    print_json(j);
  } else {
    std::cout << s.text() << '\n';
  }
  return status_exit(s);
}

FinishLabelOnStop::FinishLabelOnStop()
{
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sa.sa_flags = SA_RESTART; // the send goes on where it was
  sigemptyset(&sa.sa_mask);
  for (const int sig : kStopSignals)
    ::sigaction(sig, &sa, nullptr);
}

FinishLabelOnStop::~FinishLabelOnStop()
{
  for (const int sig : kStopSignals)
    std::signal(sig, SIG_DFL);
}

int FinishLabelOnStop::signalled() { return stop_signal; }

int run_info(const Address &address, bool json, std::chrono::milliseconds timeout)
{
  Printer printer(address, Timing{timeout});
  // Status first: a silent printer is then known after one wait, not three.
  const Status s = printer.status();
  std::string name, serial;
  if (s.answered()) {
    name = printer.name();
    serial = printer.serial();
  }
  if (json) {
    Json j;
    j["printer"] = address.text();
    j["name"] = s.answered() ? Json(name) : Json(nullptr);
    j["serial"] = s.answered() ? Json(serial) : Json(nullptr);
    j["status"] = status_json(s);
    print_json(j);
  } else {
    std::cout << "printer  " << printer.describe() << '\n';
    if (s.answered())
      std::cout << "name     " << terminal_text(name) << '\n'
                << "serial   " << terminal_text(serial) << '\n';
    std::cout << "status   " << s.text() << '\n';
  }
  return status_exit(s);
}

int run_send(const Address &address, const std::string &file, const WaitOptions &wait)
{
  // The bytes go to the printer as they are read, so a file of any size,
  // or a stream that does not end, costs one chunk of memory.
  const Input in = open_input(file);
  Printer printer(address);
  ProgressMeter meter(STDERR_FILENO);
  const Progress shown = meter.callback();
  std::vector<char> chunk(kSendChunk);
  std::size_t sent = 0;
  for (;;) {
    const std::size_t n = read_some(in, chunk.data(), chunk.size());
    if (n == 0)
      break;
    Progress progress;
    if (shown)
      progress = [&](std::size_t done, std::size_t) {
        shown(sent + done, std::max(in.size, sent + done));
      };
    printer.send_binary(std::string_view(chunk.data(), n), progress);
    sent += n;
  }
  meter.finish(sent);
  return wait_and_report(printer, wait);
}

int run_query(const Address &address, const std::string &command)
{
  Printer printer(address);
  const std::string reply = printer.query(command);
  if (::isatty(STDOUT_FILENO) == 1) {
    // Shown to a person line by line; a pipe gets the bytes as they came.
    std::string_view rest = reply;
    while (!rest.empty()) {
      const std::size_t end = std::min(rest.find('\n'), rest.size());
      std::string_view line = rest.substr(0, end);
      if (line.ends_with('\r'))
        line.remove_suffix(1);
      std::cout << terminal_text(line) << '\n';
      rest.remove_prefix(std::min(end + 1, rest.size()));
    }
  } else {
    std::cout.write(reply.data(), static_cast<std::streamsize>(reply.size()));
  }
  std::cout.flush();
  return kExitOk;
}

int run_upload(const Address &address, const std::string &file, std::string as)
{
  require_readable(file, "");
  if (as.empty())
    as = std::filesystem::path(file).filename().string();
  const auto size = std::filesystem::file_size(file);
  // Refused before the printer is opened, so nothing reaches it.
  if (const std::string why = zarn::upload_name_problem(as, size); !why.empty())
    throw Error("cannot upload " + zarn::printable(file) + " as '" + zarn::printable(as) +
                "': " + why + "; give it another with --as NAME");
  Printer printer(address);
  ProgressMeter meter(STDERR_FILENO);
  printer.upload(file, as, meter.callback());
  meter.finish(size);
  return kExitOk;
}

// The text is measured before it is rendered: one that cannot fit the
// label, even at the finest resolution printers have (600 dpi), would
// take gigabytes to render and give a block the printer refuses.
void require_fits(const std::string &text, const std::string &font, int size, const LabelSize &mm)
{
  constexpr double kFinestDotsPerMm = 600 / 25.4;
  const int most_w = static_cast<int>(mm.width_mm * kFinestDotsPerMm);
  const int most_h = static_cast<int>(mm.height_mm * kFinestDotsPerMm);
  // TTF_Init counts its callers: each is matched by one TTF_Quit, after
  // the font is closed.
  struct FontEngine {
    FontEngine()
    {
      if (TTF_Init() != 0)
        throw Error(std::string("cannot start the font engine: ") + TTF_GetError());
    }
    ~FontEngine() { TTF_Quit(); }
  } const engine;
  const Owned<TTF_Font, TTF_CloseFont> f(TTF_OpenFont(font.c_str(), size));
  if (!f)
    throw FileError("cannot use the font " + printable(font) + " (not a TrueType font?)");
  int w = 0, h = 0;
  if (TTF_SizeUTF8(f.get(), text.c_str(), &w, &h) != 0)
    throw Error("cannot measure the text: " + std::string(TTF_GetError()));
  if (w > most_w || h > most_h)
    throw Error("the text is " + std::to_string(w) + " x " + std::to_string(h) + " dots at size " +
                std::to_string(size) + "; the " + mm_text(mm.width_mm) + " x " +
                mm_text(mm.height_mm) + " mm label holds at most " + std::to_string(most_w) +
                " x " + std::to_string(most_h));
}

int run_text(const Address &address, const std::string &text, const std::string &font, int size,
             const std::string &label, const std::string &at, const WaitOptions &wait)
{
  const LabelSize mm = parse_label_size(label);
  int x = 0, y = 0;
  parse_at(at, x, y);
  if (size < 1 || size > 2000)
    throw Error("bad font size " + std::to_string(size) + ": points from 1 to 2000");
  if (text.empty())
    throw Error("the text is empty");
  require_readable(font, "the font ");
  require_fits(text, font, size, mm);
  Printer printer(address);
  const FinishLabelOnStop finish;
  printer.send("SIZE " + mm_text(mm.width_mm) + " mm," + mm_text(mm.height_mm) + " mm");
  printer.send("CLS");
  printer.text_bitmap(x, y, size, font, text);
  printer.send("PRINT 1,1");
  if (const int sig = FinishLabelOnStop::signalled())
    throw Stopped(sig, "the label was sent whole");
  return wait_and_report(printer, wait);
}

int run_list(bool json)
{
  std::string problem;
  std::vector<UsbDevice> usb = usb_devices(problem);
  std::erase_if(usb, [](const UsbDevice &d) { return d.vendor != protocol::kVendorId; });
  const std::vector<SerialDevice> serial = serial_adapters();
  const std::string vendor = "0x" + hex4(protocol::kVendorId);
  if (json) {
    Json j;
    j["usb"] = Json::array();
    for (const UsbDevice &d : usb)
      j["usb"].push_back({{"bus", d.bus},
                          {"address", d.address},
                          {"vendor", hex4(d.vendor)},
                          {"product_id", hex4(d.product)},
                          {"manufacturer", d.manufacturer},
                          {"product", d.product_name},
                          {"serial", d.serial},
                          {"node", d.node.path},
                          {"can_open", d.node.can_open},
                          {"printer", "usb"}});
    j["serial"] = Json::array();
    for (const SerialDevice &s : serial) {
      const std::string name =
          std::filesystem::path(s.target.empty() ? s.node.path : s.target).filename().string();
      j["serial"].push_back({{"device", s.node.path},
                             {"target", s.target},
                             {"group", s.node.group},
                             {"terminal", s.is_terminal},
                             {"can_open", s.node.can_open},
                             {"printer", "serial:" + name}});
    }
    if (!problem.empty())
      j["problem"] = problem;
    print_json(j);
    return kExitOk;
  }
  if (!problem.empty())
    std::cout << problem << '\n';
  if (usb.empty())
    std::cout << "no USB device with vendor ID " << vendor << '\n';
  else
    std::cout << "USB printers (vendor ID " << vendor << "):\n";
  for (const UsbDevice &d : usb) {
    char head[64];
    std::snprintf(head, sizeof head, "  bus %03d address %03d  %s:%s", d.bus, d.address,
                  hex4(d.vendor).c_str(), hex4(d.product).c_str());
    std::cout << head;
    if (!d.manufacturer.empty() || !d.product_name.empty())
      std::cout << "  " << d.manufacturer << (d.manufacturer.empty() ? "" : " ") << d.product_name;
    if (!d.serial.empty())
      std::cout << "  serial " << d.serial;
    std::cout << "  " << d.node.path << "  "
              << (d.node.can_open
                      ? "you may open it"
                      : std::string("you may not open it: ") + std::strerror(d.node.open_errno))
              << '\n';
  }
  if (serial.empty()) {
    std::cout << "no serial adapters (/dev/ttyUSB*, /dev/ttyACM*)\n";
  } else {
    std::cout << "serial devices:\n";
    for (const SerialDevice &s : serial)
      std::cout << "  " << s.node.path << (s.target.empty() ? "" : " -> " + s.target) << "  group "
                << s.node.group << "  "
                << (s.node.can_open
                        ? "you may open it"
                        : std::string("you may not open it: ") + std::strerror(s.node.open_errno))
                << '\n';
  }
  return kExitOk;
}

int run_doctor(const Address &address)
{
  const std::vector<Finding> findings = diagnose(gather(address));
  std::cout << render(findings);
  return any_problem(findings) ? kExitFailure : kExitOk;
}

std::string explain_usb_failure()
{
  std::string problem;
  const std::vector<UsbDevice> usb = usb_devices(problem);
  const auto d = std::find_if(usb.begin(), usb.end(),
                              [](const UsbDevice &u) { return u.vendor == protocol::kVendorId; });
  if (d == usb.end())
    return "no USB printer: no device with vendor ID 0x" + hex4(protocol::kVendorId) +
           " is attached (zarn doctor lists what is)";
  char where[64];
  std::snprintf(where, sizeof where, "the USB printer on bus %03d address %03d", d->bus,
                d->address);
  if (!d->node.can_open && (d->node.open_errno == EACCES || d->node.open_errno == EPERM))
    return "permission denied: " + d->node.path + " (" + where +
           ") is not writable by you; zarn doctor shows the fix";
  if (!d->holders.empty())
    return std::string(where) + " is busy: held by " + d->holders.front().name + " (PID " +
           std::to_string(d->holders.front().pid) + "); zarn doctor shows the fix";
  return "";
}

} // namespace zarn::cli
