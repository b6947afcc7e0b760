// zarn-emulator: a label printer that prints to PNG files.
#include "link.hpp"
#include "printer.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace zarn::emu;

void usage(std::FILE *out)
{
  std::fputs("usage: zarn-emulator [options] --tcp [ADDR:]PORT\n"
             "       zarn-emulator [options] --serial NAME\n"
             "       zarn-emulator [options] --usb -- COMMAND [ARG...]\n"
             "\n"
             "A label printer: reads the label command language, answers the status,\n"
             "name and serial queries and OUT, stores downloaded files, and writes each\n"
             "printed label as a 1-bit PNG (8 dots per mm).\n"
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
             "  --model TEXT         answer to ~!T (default: ZARN-EMU 203)\n"
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

[[noreturn]] void bad(const std::string &what)
{
  std::fprintf(stderr, "zarn-emulator: %s (see --help)\n", what.c_str());
  std::exit(2);
}

} // namespace

int main(int argc, char **argv)
{
  // The console line per label is read by scripts while we keep running.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  PrinterConfig config;
  config.font_path = ZARN_EMULATOR_FONT;
  Faults faults;
  HostLimits limits;
  enum class Transport { None, Tcp, Serial, Usb } transport = Transport::None;
  TcpOptions tcp;
  std::string serial_name;
  std::vector<std::string> command;
  std::filesystem::path out = "labels", storage;
  bool quiet = false;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char * {
      if (i + 1 >= argc)
        bad(arg + " needs a value");
      return argv[++i];
    };
    long long v = 0;
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    } else if (arg == "--tcp") {
      transport = Transport::Tcp;
      if (i + 1 < argc && argv[i + 1][0] != '-') {
        std::string endpoint = argv[++i];
        const auto colon = endpoint.rfind(':');
        std::string port_text = endpoint;
        if (colon != std::string::npos) {
          tcp.address = endpoint.substr(0, colon);
          port_text = endpoint.substr(colon + 1);
        } else if (endpoint.find('.') != std::string::npos) {
          tcp.address = endpoint;
          port_text = "9100";
        }
        if (!number(port_text.c_str(), 0, 65535, v))
          bad("bad TCP port: " + port_text);
        tcp.port = static_cast<int>(v);
      }
    } else if (arg == "--serial") {
      transport = Transport::Serial;
      serial_name = value();
    } else if (arg == "--usb") {
      transport = Transport::Usb;
      if (i + 1 < argc && std::strcmp(argv[i + 1], "--") == 0)
        ++i;
      for (++i; i < argc; ++i)
        command.emplace_back(argv[i]);
      if (command.empty())
        bad("--usb needs a command to run");
    } else if (arg == "--out") {
      out = value();
    } else if (arg == "--storage") {
      storage = value();
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--status") {
      const char *s = value();
      if (!parse_status(s, config.status))
        bad(std::string("bad status: ") + s);
    } else if (arg == "--model") {
      config.model_name = value();
    } else if (arg == "--serial-number") {
      config.serial_number = value();
    } else if (arg == "--font") {
      config.font_path = value();
    } else if (arg == "--max-labels") {
      if (!number(value(), 1, 1000000, v))
        bad("bad --max-labels");
      config.max_images_per_print = static_cast<int>(v);
    } else if (arg == "--idle-timeout") {
      if (!seconds(value(), limits.idle))
        bad("bad --idle-timeout");
    } else if (arg == "--unread-timeout") {
      if (!seconds(value(), limits.unread))
        bad("bad --unread-timeout");
    } else if (arg == "--variable-memory") {
      if (!number(value(), 0, 1LL << 40, v))
        bad("bad --variable-memory");
      config.max_variable_bytes = static_cast<std::size_t>(v);
    } else if (arg == "--label-memory") {
      if (!number(value(), 0, 1LL << 40, v))
        bad("bad --label-memory");
      config.max_label_bytes = static_cast<std::size_t>(v);
    } else if (arg == "--max-files") {
      if (!number(value(), 0, 1000000000, v))
        bad("bad --max-files");
      config.max_files = static_cast<std::size_t>(v);
    } else if (arg == "--max-labels-per-connection") {
      if (!number(value(), 0, 1000000000, v))
        bad("bad --max-labels-per-connection");
      config.max_labels_per_connection = static_cast<int>(v);
    } else if (arg == "--reply-delay") {
      if (!number(value(), 0, 3600000, v))
        bad("bad --reply-delay");
      faults.reply_delay_ms = static_cast<int>(v);
    } else if (arg == "--reply-chunk") {
      if (!number(value(), 1, 1 << 20, v))
        bad("bad --reply-chunk");
      faults.reply_chunk = static_cast<std::size_t>(v);
    } else if (arg == "--chunk-gap") {
      if (!number(value(), 0, 3600000, v))
        bad("bad --chunk-gap");
      faults.chunk_gap_ms = static_cast<int>(v);
    } else if (arg == "--close-after") {
      if (!number(value(), 1, 1LL << 50, v))
        bad("bad --close-after");
      faults.close_after = static_cast<unsigned long long>(v);
    } else {
      bad("unknown option " + arg);
    }
  }
  if (transport == Transport::None) {
    usage(stderr);
    return 2;
  }

  if (storage.empty())
    storage = out / "files";
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  std::filesystem::create_directories(storage, ec);
  if (!std::filesystem::is_directory(out) || !std::filesystem::is_directory(storage)) {
    std::fprintf(stderr, "zarn-emulator: cannot create %s or %s\n", out.c_str(), storage.c_str());
    return 1;
  }
  config.output_dir = out;
  config.storage_dir = storage;

  try {
    Printer printer(config);
    printer.set_log(
        [](const std::string &line) { std::fprintf(stderr, "zarn-emulator: %s\n", line.c_str()); });
    if (!quiet) {
      printer.set_printed([](const PrintedLabel &label) {
        const Image &img = *label.image;
        std::printf("label %d: %s  %d x %d dots (%.1f x %.1f mm)%s\n", label.number,
                    label.file.empty() ? "(not written)" : label.file.c_str(), img.width,
                    img.height, img.width / 8.0, img.height / 8.0,
                    label.blank ? ", blank (FORMFEED)" : "");
      });
    }
    install_stop_handlers();
    switch (transport) {
    case Transport::Tcp: return run_tcp(printer, faults, limits, tcp);
    case Transport::Serial: return run_serial(printer, faults, limits, serial_name);
    case Transport::Usb: return run_usb(printer, faults, limits, command);
    case Transport::None: break;
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "zarn-emulator: %s\n", e.what());
    return 1;
  }
  return 2;
}
