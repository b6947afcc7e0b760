// SPDX-License-Identifier: MIT
// zarn-emulator: a label printer that prints to PNG files.
#include "control.hpp"
#include "options.hpp"
#include "stop.hpp"
#include "transports.hpp"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

using namespace zarn::emu;

int main(int argc, char **argv)
{
  // The console line per label is read by scripts while we keep running.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options o = parse_options(argc, argv);

  std::error_code ec;
  std::filesystem::create_directories(o.out, ec);
  std::filesystem::create_directories(o.storage, ec);
  if (!std::filesystem::is_directory(o.out) || !std::filesystem::is_directory(o.storage)) {
    std::fprintf(stderr, "zarn-emulator: cannot create %s or %s\n", o.out.c_str(),
                 o.storage.c_str());
    return 1;
  }
  o.config.output_dir = o.out;
  o.config.storage_dir = o.storage;

  try {
    Printer printer(o.config);
    printer.set_log(
        [](const std::string &line) { std::fprintf(stderr, "zarn-emulator: %s\n", line.c_str()); });
    if (!o.quiet) {
      printer.set_printed([](const PrintedLabel &label) {
        const Image &img = *label.image;
        const double mm = label.dots_per_mm;
        std::printf("label %d: %s  %d x %d dots (%.1f x %.1f mm)%s\n", label.number,
                    label.file.empty() ? "(not written)" : label.file.c_str(), img.width,
                    img.height, img.width / mm, img.height / mm,
                    label.blank ? ", blank (FORMFEED)" : "");
      });
    }
    install_stop_handlers();
    std::unique_ptr<ControlServer> control;
    if (o.control) {
      control = std::make_unique<ControlServer>(o.control_at);
      control->set_handler([&](std::string_view line) { return printer.control(line); });
      std::printf("control on %s\n", control->address().c_str());
    }
    Emulator emulator{printer, o.faults, o.limits, control.get()};
    switch (o.transport) {
    case Options::Transport::tcp: return run_tcp(emulator, o.tcp);
    case Options::Transport::serial: return run_serial(emulator, o.serial_name);
    case Options::Transport::usb: return run_usb(emulator, o.command);
    case Options::Transport::none: break;
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "zarn-emulator: %s\n", e.what());
    return 1;
  }
  return 2;
}
