// SPDX-License-Identifier: MIT
// The emulated label printer: reads the command stream, keeps the label
// being built, prints it as images, stores downloaded files and answers
// queries. Transports feed it bytes and send back what take_replies() gives.
#pragma once

#include "files.hpp"
#include "image.hpp"
#include "label.hpp"
#include "parser.hpp"
#include "status.hpp"
#include "text.hpp"
#include "variables.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::emu {

struct PrinterConfig {
  std::filesystem::path output_dir;  // PNG files go here; empty: none written
  std::filesystem::path storage_dir; // downloaded files; empty: kept in memory only
  std::string font_path;             // monospace TrueType face for printer fonts
  std::uint8_t status = 0;           // bits set by hand; the printer's states are ORed on
  int dpi = 203;                     // 203, 300 or 600: 8, 12 or 24 dots per mm
  std::string model_name;            // answer to ~!T; empty: "ZARN-EMU <dpi>"
  std::string serial_number = "ZE00000001";
  int max_images_per_print = 100; // a PRINT asking for more prints this many
  // Caps that keep a host from filling memory or disk. Reaching one is a
  // log line; what does not fit is not kept (or not printed).
  std::size_t max_variable_bytes = 1u << 20; // names and values of all variables
  std::size_t max_label_bytes = 64u << 20;   // objects of the label being built
  std::size_t max_files = 1000;              // stored files
  int max_labels_per_connection = 10000;     // printed labels, counted per connection
  // Printer states: how long each label keeps the printing bit set, and
  // how many labels of paper are loaded (nothing: unlimited).
  std::chrono::milliseconds print_time{0};
  std::optional<long long> paper;
  // The clock the printing time is measured on; empty: the steady clock.
  std::function<std::chrono::steady_clock::time_point()> clock;
};

struct PrintedLabel {
  int number = 0;               // 1, 2, ... over the printer's life
  std::filesystem::path file;   // empty when no output folder is set
  const Image *image = nullptr; // valid during the callback only
  std::uint64_t line_no = 0;    // of the PRINT or FORMFEED
  bool blank = false;           // fed by FORMFEED
  int dots_per_mm = 8;
};

class Printer : private ParserSink {
 public:
  using LogFn = std::function<void(const std::string &)>;
  using PrintedFn = std::function<void(const PrintedLabel &)>;

  // Answers not yet taken are held to this many bytes; the rest of a longer
  // answer is cut off (and logged).
  static constexpr std::size_t kMaxReplyBytes = 1u << 20;

  // Throws std::runtime_error when the font cannot be loaded.
  explicit Printer(PrinterConfig config);
  ~Printer() override;

  // The stream entry point: any bytes, in pieces of any size.
  void feed(const std::uint8_t *data, std::size_t size);
  // The host went away: a half block is dropped, line counting restarts.
  void end_of_stream();
  // Bytes the printer has answered since the last call.
  std::string take_replies();

  void set_log(LogFn fn) { log_ = std::move(fn); }
  void set_printed(PrintedFn fn) { printed_ = std::move(fn); }

  // The status byte as the status request would answer it now.
  std::uint8_t status() const;
  // Sets the bits set by hand, as EMULATOR STATUS does.
  void set_status(std::uint8_t s) { mechanics_.set_bits(s); }
  // One line from the control port: an EMULATOR command. Returns what is
  // wrong with it, empty when it was carried out.
  std::string control(std::string_view line);

  int dots_per_mm() const { return dots_per_mm_; }
  const std::string &model_name() const { return config_.model_name; }

  // The current label as PRINT would print it now.
  Image render();
  int width_dots() const { return page_.width; }
  int height_dots() const { return page_.height; }
  int labels_printed() const { return counts_.total; }
  const std::map<std::string, std::vector<std::uint8_t>> &files() const { return files_.files(); }
  std::uint64_t problems() const { return problems_; }

  // Where a stored file of this printer name lives in the storage folder.
  static std::string storage_file_name(std::string_view name) { return FileStore::file_name(name); }

 private:
  // A command's handler gets its word (upper-cased), the rest of the line
  // and the line number; false means the command is malformed.
  using Handler = bool (Printer::*)(std::string_view word, std::string_view args,
                                    std::uint64_t line_no);
  struct Command {
    std::string_view word;
    Handler handler;
  };

  // Settings that outlive CLS.
  struct Page {
    int width = 0, height = 0; // dots; 100 mm x 50 mm until SIZE
    double speed = 4, density = 8;
    bool black_line = false;
    double gap_mm = 2, gap_offset_mm = 0;
    bool turned = false, mirrored = false; // DIRECTION
    long long ref_x = 0, ref_y = 0;        // REFERENCE
  };

  void on_line(std::string_view line, std::uint64_t line_no) override;
  void on_immediate(std::string_view command, std::uint64_t line_no) override;
  void on_bitmap(const BitmapHeader &h, std::span<const std::uint8_t> data,
                 std::uint64_t line_no) override;
  void on_download(const DownloadHeader &h, std::span<const std::uint8_t> data,
                   std::uint64_t line_no) override;
  void on_problem(std::string_view what, std::uint64_t line_no) override;

  void problem(std::uint64_t line_no, const std::string &what);
  void note(const std::string &what);
  void answer(std::string_view text, std::uint64_t line_no);
  void add(Label::Item item, std::uint64_t line_no);
  std::string lookup(std::string_view var, std::uint64_t line_no);
  Label::Resources resources();
  std::chrono::steady_clock::time_point now() const;
  std::string emulator_command(std::string_view args);
  bool may_print(std::uint64_t line_no);
  void emit_label(const Image &image, std::uint64_t line_no, bool blank);

  // commands.cpp: settings, printing, answers, files and variables.
  bool cmd_size(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_media(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_setting(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_cls(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_direction(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_reference(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_print(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_formfeed(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_set(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_out(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_kill(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_emulator(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_assign(std::string_view line, std::uint64_t line_no);
  // drawing.cpp: objects placed on the label.
  bool cmd_text(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_barcode(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_rect(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_box(std::string_view word, std::string_view args, std::uint64_t line_no);

  PrinterConfig config_;
  StreamParser parser_;
  Typeface face_;
  LogFn log_;
  PrintedFn printed_;
  std::string replies_;
  bool answers_cut_ = false; // said once until the answers are taken

  int dots_per_mm_;
  Page page_;
  Mechanics mechanics_;
  Label label_;
  Variables variables_;
  FileStore files_;
  PrintCounts counts_;
  std::uint64_t problems_ = 0;
};

} // namespace zarn::emu
