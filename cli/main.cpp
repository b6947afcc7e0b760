// SPDX-License-Identifier: MIT
// zarn: a label printer from the shell.
#include "commands.hpp"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

using namespace zarn::cli;

constexpr const char *kAddressHelp =
    "printer address: usb (the first USB printer), serial:ttyUSB0?baud=9600&parity=none&data=8"
    "&stop=1 (a device under /dev; any setting may be left out: 115200 8N1), or tcp://HOST[:PORT] "
    "(a host name or IPv4 address; port 9100). Default: $ZARN_PRINTER, else usb";

constexpr const char *kExitStatus = "Exit status:\n"
                                    "  0  done; the printer is ready (or only printing); --wait: "
                                    "printed\n"
                                    "  1  bad input, no printer, no reply, or a failed transfer\n"
                                    "  2  the printer needs attention (paper out, ribbon out, "
                                    "paper jam, head or cover open, paused, temperature)\n"
                                    "  3  --wait: still printing when the time-out ran out\n"
                                    "  128+N  stopped by signal N (the label being sent was "
                                    "sent whole)";

// Seconds from min to max, as --timeout and --max-seconds take them.
// CLI11's Range lets NaN through, which no wait can be made of.
CLI::Validator seconds_in(double min, double max)
{
  const auto text = [](double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
  };
  const std::string range = "seconds from " + text(min) + " to " + text(max);
  return CLI::Validator(
      [min, max, range](std::string &input) -> std::string {
        double v = 0;
        const auto [end, ec] = std::from_chars(input.data(), input.data() + input.size(), v);
        if (ec != std::errc() || end != input.data() + input.size() || !std::isfinite(v) ||
            v < min || v > max)
          return input + " is not a number of " + range;
        return {};
      },
      "SECONDS (" + range + ")");
}

void add_wait(CLI::App *cmd, WaitOptions &wait, double &timeout)
{
  cmd->add_flag("--wait", wait.wait,
                "wait until the label is printed and report how it ended: printed, paper out, "
                "ribbon out, paper jam, head or cover open, temperature out of range, paused, "
                "no reply, or timed out");
  cmd->add_option("--timeout", timeout, "seconds --wait waits for printing to end")
      ->default_val(60)
      ->check(seconds_in(0.001, 86400));
}

} // namespace

int main(int argc, char **argv)
{
  CLI::App app{"Drive a thermal label printer over USB, a serial line or TCP (libzarn)."};
  app.name("zarn");
  app.fallthrough();
  app.require_subcommand(1);
  app.footer(kExitStatus);

  std::string printer_text;
  app.add_option("-p,--printer", printer_text, kAddressHelp)->envname("ZARN_PRINTER");

  bool json = false;
  WaitOptions wait;
  double timeout = 60;
  std::string file, command, as, text, font, label = "100x60mm", at = "0,0";
  int size = 0;

  CLI::App *status = app.add_subcommand("status", "print the printer's status in words");
  status->add_flag("--json", json, "print a JSON object instead");
  double reply_timeout = 2;
  const auto add_reply_timeout = [&](CLI::App *cmd) {
    cmd->add_option("--timeout", reply_timeout,
                    "seconds a TCP or serial printer may stay silent before it is reported as "
                    "no reply (default 2)")
        ->check(seconds_in(0.001, 60));
  };
  add_reply_timeout(status);
  status->footer("Prints ready, printing, no reply, receive failed, or the conditions that are "
                 "set, most pressing first: paper out, ribbon out, paper jam, head open, cover "
                 "open, temperature out of range, paused, printing.\n\n" +
                 std::string(kExitStatus));

  CLI::App *info = app.add_subcommand("info", "print the printer's name, serial number and status");
  info->add_flag("--json", json, "print a JSON object instead");
  add_reply_timeout(info);
  info->footer(kExitStatus);

  CLI::App *send = app.add_subcommand("send", "send a file of label commands or bytes, unchanged");
  send->add_option("FILE", file, "the file, or - for standard input")->required();
  add_wait(send, wait, timeout);
  send->footer("Shows progress (bytes, rate, time left) when standard error is a terminal.\n\n" +
               std::string(kExitStatus));

  CLI::App *query = app.add_subcommand("query", "send a command and print the printer's output");
  query
      ->add_option("COMMAND", command,
                   "a line of the label command language, such as "
                   "'OUT _MODEL$'")
      ->required();
  query->footer(kExitStatus);

  CLI::App *upload = app.add_subcommand("upload", "store a file in the printer");
  upload->add_option("FILE", file, "the file to store")->required();
  upload->add_option("--as", as, "its name in the printer (default: the file's name)");
  upload->footer("Shows progress when standard error is a terminal.\n\n" +
                 std::string(kExitStatus));

  CLI::App *text_cmd =
      app.add_subcommand("text", "print one label with a line of text in a TrueType font");
  text_cmd->add_option("TEXT", text, "the text (UTF-8)")->required();
  text_cmd->add_option("--font", font, "a TrueType font file")->required();
  text_cmd->add_option("--size", size, "the font size in points")->required();
  text_cmd->add_option("--label", label, "label size WIDTHxHEIGHT in mm")->default_str("100x60mm");
  text_cmd->add_option("--at", at, "position X,Y of the text's top left corner, in dots")
      ->default_str("0,0");
  add_wait(text_cmd, wait, timeout);
  text_cmd->footer("Sends SIZE, CLS, the text as a bitmap, and PRINT 1,1.\n\n" +
                   std::string(kExitStatus));

  PrintOptions print_options;
  CLI::App *print = app.add_subcommand(
      "print", "print pictures (PNG, JPEG, BMP, GIF, TIFF, WebP) and PDF pages as 1-bit labels");
  print
      ->add_option("FILE", print_options.files,
                   "pictures and PDF files, one label a page, in order; - for standard input")
      ->required();
  print->add_option(
      "--pages", print_options.pages,
      "pages of each PDF, such as 1-3, 1,3-4 or 2- (to the end); default: all. A picture "
      "always prints its one page");
  print->add_option("--copies", print_options.copies, "copies of each label")
      ->check(CLI::Range(1, 9999))
      ->default_val(1);
  CLI::Option *label_option = print->add_option(
      "--label", print_options.label,
      "label size WIDTHxHEIGHT in mm or in (100x60mm, 4x6in); each page is fitted to it. "
      "Default: the page's own size (a PDF page at its size, a picture one pixel a dot)");
  print->add_option("--dpi", print_options.dpi, "the printer's resolution: 203, 300 or 600")
      ->check(CLI::IsMember({203, 300, 600}))
      ->default_val(203);
  print
      ->add_option("--dither", print_options.dither,
                   "how greys become dots: threshold, floyd-steinberg (default), atkinson or "
                   "ordered; black and white stay sharp with each")
      ->check(CLI::IsMember({"threshold", "floyd-steinberg", "atkinson", "ordered"}));
  print->add_option("--threshold", print_options.threshold,
                    "ink where the grey is darker than this share of white, such as 50% "
                    "(the default); implies --dither threshold");
  print
      ->add_option("--rotate", print_options.rotate,
                   "turn clockwise by 0 (default), 90, 180 or 270 degrees, or auto: by 90 when "
                   "the page and the label differ in orientation")
      ->check(CLI::IsMember({"auto", "0", "90", "180", "270"}));
  print
      ->add_option("--fit", print_options.fit,
                   "with --label: contain (default: scaled up or down to fit), shrink (only "
                   "down) or none (one pixel a dot, cut to the label)")
      ->check(CLI::IsMember({"contain", "shrink", "none"}));
  print
      ->add_option("--margin", print_options.margin,
                   "with --label: paper kept free at the edges in mm: ALL, or V,H, or "
                   "TOP,RIGHT,BOTTOM,LEFT")
      ->needs(label_option);
  print
      ->add_option("--max-seconds", print_options.max_seconds,
                   "CPU time one page may take to decode and render, in seconds (default 10); "
                   "a page that needs more is refused")
      ->check(seconds_in(0.001, 86400));
  print
      ->add_option("--max-mib", print_options.max_mib,
                   "memory one page may take to decode and render, in MiB (default 256)")
      ->check(CLI::Range(1u, 1u << 20));
  CLI::Option *preview_option = print->add_option(
      "--preview", print_options.preview,
      "write the dots that would be sent as 1-bit PNG files instead of printing: FILE for one "
      "label; for several, a number before the extension: out.png gives out-1.png, out-2.png, "
      "... in the order they would print");
  add_wait(print, wait, timeout);
  preview_option->excludes(print->get_option("--wait"));
  print->footer(
      "Every page of every file is rendered before anything is sent: a damaged file, a page "
      "that is not there or a bad option stops the job with one line on standard error, and "
      "the printer gets nothing. Each label is sent as SIZE (its size), CLS, BITMAP and PRINT "
      "1,COPIES. Shows progress when standard error is a terminal; --preview prints the names "
      "of the files it wrote.\n\n" +
      std::string(kExitStatus));

  CLI::App *list = app.add_subcommand(
      "list", "list USB printers and serial adapters, and whether you may open them");
  list->add_flag("--json", json, "print a JSON object instead");
  list->footer(kExitStatus);

  CLI::App *doctor = app.add_subcommand(
      "doctor", "find the printer and explain what keeps you from using it, with the fix");
  doctor->footer("Checks the printer of -p (default: the USB printer, found as the library finds "
                 "it) and changes nothing.\n\nExit status:\n  0  no problem found\n  1  a "
                 "problem was found (each comes with its fix), or bad input");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0)
      return app.exit(e);
    // CLI11 calls an unknown command a missing one; say which word it was.
    const std::vector<std::string> left = app.remaining();
    if (app.get_subcommands().empty() && !left.empty())
      std::cerr << "zarn: unknown command '" << left.front() << "' (see zarn --help)\n";
    else if (app.get_subcommands().empty())
      std::cerr << "zarn: no command given (see zarn --help)\n";
    else
      std::cerr << "zarn: " << e.what() << " (see zarn --help)\n";
    return kExitFailure;
  }
  // An empty name would mean the default printer, or no file at all.
  if (app.get_option("--printer")->count() > 0 && printer_text.empty()) {
    std::cerr << "zarn: the printer address is empty (see zarn --help)\n";
    return kExitFailure;
  }
  if (preview_option->count() > 0 && print_options.preview.empty()) {
    std::cerr << "zarn: the --preview file name is empty\n";
    return kExitFailure;
  }
  wait.timeout = std::chrono::duration<double>(timeout);
  print_options.wait = wait;

  const auto reply_ms = std::chrono::milliseconds(static_cast<long long>(reply_timeout * 1000));
  zarn::Address address;
  try {
    if (!printer_text.empty())
      address = zarn::Address::parse(printer_text);
    if (status->parsed())
      return run_status(address, json, reply_ms);
    if (info->parsed())
      return run_info(address, json, reply_ms);
    if (send->parsed())
      return run_send(address, file, wait);
    if (query->parsed())
      return run_query(address, command);
    if (upload->parsed())
      return run_upload(address, file, as);
    if (text_cmd->parsed())
      return run_text(address, text, font, size, label, at, wait);
    if (print->parsed())
      return run_print(address, print_options);
    if (list->parsed())
      return run_list(json);
    if (doctor->parsed())
      return run_doctor(address);
  } catch (const Stopped &e) {
    std::cerr << "zarn: " << e.what() << '\n';
    return 128 + e.signal();
  } catch (const zarn::ConnectError &e) {
    std::string why;
    if (address.kind == zarn::Address::Kind::usb)
      why = explain_usb_failure();
    std::cerr << "zarn: " << (why.empty() ? e.what() : why) << '\n';
    return kExitFailure;
  } catch (const std::exception &e) {
    std::cerr << "zarn: " << e.what() << '\n';
    return kExitFailure;
  }
  return kExitFailure;
}
