// SPDX-License-Identifier: MIT
#include "options.hpp"

#include "common/protocol.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>

namespace zarn::emu {
namespace {

void usage(std::FILE *out)
{
  std::fputs("usage: zarn-emulator [options] --tcp [ADDR:]PORT\n"
             "       zarn-emulator [options] --serial NAME\n"
             "       zarn-emulator [options] --usb -- COMMAND [ARG...]\n"
             "\n"
             "A label printer: reads the label command language, answers the status,\n"
             "name and serial queries and OUT, stores downloaded files, and writes each\n"
             "printed label as a 1-bit PNG.\n"
             "\n"
             "Transports:\n"
             "  --tcp [ADDR:]PORT    listen on TCP (127.0.0.1:9100 by default; port 0\n"
             "                       picks a free one); prints 'listening on ADDR:PORT'\n"
             "  --serial NAME        a pseudo-terminal; as root also linked as /dev/NAME\n"
             "                       so that openport(\"NAME\") opens it (NAME: ttyXXX)\n"
             "  --usb -- COMMAND...  run COMMAND seeing this printer as a USB device;\n"
             "                       the emulator exits with COMMAND's status\n"
             "Output:\n"
             "  --out DIR            folder for label-0001.png, ... (default: labels)\n"
             "  --storage DIR        folder for downloaded files (default: OUT/files)\n"
             "  --quiet              no console line per printed label\n"
             "Printer:\n"
             "  --status BYTE        answer to ESC ! ?: a number (0x04) or names joined\n"
             "                       by '+': head-open, paper-jam, paper-out, ribbon-out,\n"
             "                       paused, printing, cover-open, error\n"
             "  --model TEXT         answer to ~!T (default: ZARN-EMU and the dpi)\n"
             "  --dpi 203|300|600    resolution: 8, 12 or 24 dots per mm (default: 203)\n"
             "  --print-time MS      after each label the printing bit stays set MS ms\n"
             "  --paper N|unlimited  labels of paper loaded (default: unlimited)\n"
             "  --control [ADDR:]PORT  a second TCP port for EMULATOR lines (loopback\n"
             "                       by default; prints 'control on ADDR:PORT')\n"
             "  --serial-number TEXT answer to OUT _SERIAL$ (default: ZE00000001)\n"
             "  --font FILE          monospace TrueType font for printer fonts\n"
             "  --max-labels N       most labels one PRINT prints (default: 100)\n"
             "Limits:\n"
             "  --idle-timeout S     close a TCP host that sends nothing for S seconds;\n"
             "                       on serial, silence ends the connection (default: 60)\n"
             "  --unread-timeout S   drop a host that reads none of its waiting answers\n"
             "                       for S seconds (default: 10); 0 turns a limit off\n"
             "  --variable-memory B  bytes for all variables, names included (default: 1048576)\n"
             "  --label-memory B     bytes for the objects of one label (default: 67108864)\n"
             "  --max-files N        files kept in storage (default: 1000)\n"
             "  --max-labels-per-connection N\n"
             "                       labels printed per connection (default: 10000)\n"
             "Faults:\n"
             "  --reply-delay MS     answer every query MS milliseconds late\n"
             "  --reply-chunk N      send answers in pieces of N bytes ...\n"
             "  --chunk-gap MS       ... MS milliseconds apart (default: 50)\n"
             "  --close-after N      after N bytes from the host: TCP closes the\n"
             "                       connection, serial and USB fall silent\n",
             out);
}

[[noreturn]] void bad(const std::string &what)
{
  std::fprintf(stderr, "zarn-emulator: %s (see --help)\n", what.c_str());
  std::exit(2);
}

bool number(const char *text, long long lo, long long hi, long long &v)
{
  char *end = nullptr;
  errno = 0;
  v = std::strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && v >= lo && v <= hi;
}

// Seconds with an optional fraction ("60", "0.25"), at most a day.
bool seconds(const char *text, Clock::duration &d)
{
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= 0 && v <= 86400))
    return false;
  d = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(v));
  return true;
}

// [ADDR:]PORT, or ADDR alone (with a dot) for the default port.
void endpoint(const std::string &text, TcpOptions &tcp)
{
  const auto colon = text.rfind(':');
  std::string port_text = text;
  if (colon != std::string::npos) {
    tcp.address = text.substr(0, colon);
    port_text = text.substr(colon + 1);
  } else if (text.find('.') != std::string::npos) {
    tcp.address = text;
    port_text = std::to_string(protocol::kTcpPort);
  }
  long long v = 0;
  if (!number(port_text.c_str(), 0, 65535, v))
    bad("bad TCP port: " + port_text);
  tcp.port = static_cast<int>(v);
}

// Options that take a whole number in a range.
struct NumberOption {
  const char *name;
  long long lo, hi;
  std::function<void(Options &, long long)> set;
};

const NumberOption kNumberOptions[] = {
    {"--print-time", 0, 3600000,
     [](Options &o, long long v) { o.config.print_time = std::chrono::milliseconds(v); }},
    {"--max-labels", 1, 1000000,
     [](Options &o, long long v) { o.config.max_images_per_print = static_cast<int>(v); }},
    {"--variable-memory", 0, 1LL << 40,
     [](Options &o, long long v) { o.config.max_variable_bytes = static_cast<std::size_t>(v); }},
    {"--label-memory", 0, 1LL << 40,
     [](Options &o, long long v) { o.config.max_label_bytes = static_cast<std::size_t>(v); }},
    {"--max-files", 0, 1000000000,
     [](Options &o, long long v) { o.config.max_files = static_cast<std::size_t>(v); }},
    {"--max-labels-per-connection", 0, 1000000000,
     [](Options &o, long long v) { o.config.max_labels_per_connection = static_cast<int>(v); }},
    {"--reply-delay", 0, 3600000,
     [](Options &o, long long v) { o.faults.reply_delay_ms = static_cast<int>(v); }},
    {"--reply-chunk", 1, 1 << 20,
     [](Options &o, long long v) { o.faults.reply_chunk = static_cast<std::size_t>(v); }},
    {"--chunk-gap", 0, 3600000,
     [](Options &o, long long v) { o.faults.chunk_gap_ms = static_cast<int>(v); }},
    {"--close-after", 1, 1LL << 50,
     [](Options &o, long long v) { o.faults.close_after = static_cast<unsigned long long>(v); }},
};

// Options that take a text.
struct TextOption {
  const char *name;
  std::function<void(Options &, const char *)> set;
};

const TextOption kTextOptions[] = {
    {"--serial",
     [](Options &o, const char *v) {
       o.transport = Options::Transport::serial;
       o.serial_name = v;
     }},
    {"--out", [](Options &o, const char *v) { o.out = v; }},
    {"--storage", [](Options &o, const char *v) { o.storage = v; }},
    {"--status",
     [](Options &o, const char *v) {
       if (!parse_status(v, o.config.status))
         bad(std::string("bad status: ") + v);
     }},
    {"--model", [](Options &o, const char *v) { o.config.model_name = v; }},
    {"--dpi",
     [](Options &o, const char *v) {
       long long dpi = 0;
       if (!number(v, 203, 600, dpi) || (dpi != 203 && dpi != 300 && dpi != 600))
         bad(std::string("bad --dpi (203, 300 or 600): ") + v);
       o.config.dpi = static_cast<int>(dpi);
     }},
    {"--paper",
     [](Options &o, const char *v) {
       long long labels = 0;
       if (std::strcmp(v, "unlimited") == 0 || std::strcmp(v, "UNLIMITED") == 0)
         o.config.paper.reset();
       else if (number(v, 0, 1000000000, labels))
         o.config.paper = labels;
       else
         bad(std::string("bad --paper (a number of labels or unlimited): ") + v);
     }},
    {"--control",
     [](Options &o, const char *v) {
       o.control = true;
       endpoint(v, o.control_at);
     }},
    {"--serial-number", [](Options &o, const char *v) { o.config.serial_number = v; }},
    {"--font", [](Options &o, const char *v) { o.config.font_path = v; }},
    {"--idle-timeout",
     [](Options &o, const char *v) {
       if (!seconds(v, o.limits.idle))
         bad("bad --idle-timeout");
     }},
    {"--unread-timeout",
     [](Options &o, const char *v) {
       if (!seconds(v, o.limits.unread))
         bad("bad --unread-timeout");
     }},
};

} // namespace

Options parse_options(int argc, char **argv)
{
  Options o;
  o.config.font_path = ZARN_EMULATOR_FONT;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char * {
      if (i + 1 >= argc)
        bad(arg + " needs a value");
      return argv[++i];
    };
    const auto is = [&](const auto &option) { return arg == option.name; };
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      std::exit(0);
    } else if (arg == "--tcp") {
      o.transport = Options::Transport::tcp;
      if (i + 1 < argc && argv[i + 1][0] != '-')
        endpoint(argv[++i], o.tcp);
    } else if (arg == "--usb") {
      o.transport = Options::Transport::usb;
      if (i + 1 < argc && std::strcmp(argv[i + 1], "--") == 0)
        ++i;
      for (++i; i < argc; ++i)
        o.command.emplace_back(argv[i]);
      if (o.command.empty())
        bad("--usb needs a command to run");
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else if (const auto n =
                   std::find_if(std::begin(kNumberOptions), std::end(kNumberOptions), is);
               n != std::end(kNumberOptions)) {
      long long v = 0;
      if (!number(value(), n->lo, n->hi, v))
        bad("bad " + arg);
      n->set(o, v);
    } else if (const auto t = std::find_if(std::begin(kTextOptions), std::end(kTextOptions), is);
               t != std::end(kTextOptions)) {
      t->set(o, value());
    } else {
      bad("unknown option " + arg);
    }
  }
  if (o.transport == Options::Transport::none) {
    usage(stderr);
    std::exit(2);
  }
  if (o.storage.empty())
    o.storage = o.out / "files";
  return o;
}

} // namespace zarn::emu
