// The emulated label printer: reads the command stream, keeps the label
// being built, prints it as images, stores downloaded files and answers
// queries. Transports feed it bytes and send back what take_replies() gives.
#pragma once

#include "barcode.hpp"
#include "image.hpp"
#include "parser.hpp"
#include "text.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zarn::emu {

// Status byte bits answered to ESC ! ?.
enum StatusBit : std::uint8_t {
  kHeadOpen = 0x01,
  kPaperJam = 0x02,
  kPaperOut = 0x04,
  kRibbonOut = 0x08,
  kPaused = 0x10,
  kPrinting = 0x20,
  kCoverOpen = 0x40,
  kOtherError = 0x80,
};
// Parses "0x45", "69" or names joined by '+' or ',' ("paper-out+head-open").
bool parse_status(std::string_view text, std::uint8_t &status);

struct PrinterConfig {
  std::filesystem::path output_dir;  // PNG files go here; empty: none written
  std::filesystem::path storage_dir; // downloaded files; empty: kept in memory only
  std::string font_path;             // monospace TrueType face for printer fonts
  std::uint8_t status = 0;
  std::string model_name = "ZARN-EMU 203";
  std::string serial_number = "ZE00000001";
  int max_images_per_print = 100; // a PRINT asking for more prints this many
  // Caps that keep a host from filling memory or disk. Reaching one is a
  // log line; what does not fit is not kept (or not printed).
  std::size_t max_variable_bytes = 1u << 20; // names and values of all variables
  std::size_t max_label_bytes = 64u << 20;   // objects of the label being built
  std::size_t max_files = 1000;              // stored files
  int max_labels_per_connection = 10000;     // printed labels, counted per connection
};

struct PrintedLabel {
  int number = 0;               // 1, 2, ... over the printer's life
  std::filesystem::path file;   // empty when no output folder is set
  const Image *image = nullptr; // valid during the callback only
  std::uint64_t line_no = 0;    // of the PRINT or FORMFEED
  bool blank = false;           // fed by FORMFEED
};

class Printer : private ParserSink {
 public:
  using LogFn = std::function<void(const std::string &)>;
  using PrintedFn = std::function<void(const PrintedLabel &)>;

  // Throws std::runtime_error when the font cannot be loaded.
  explicit Printer(PrinterConfig config);
  ~Printer() override;

  // Answers not yet taken are held to this many bytes; the rest of a longer
  // answer is cut off (and logged).
  static constexpr std::size_t kMaxReplyBytes = 1u << 20;

  // The stream entry point: any bytes, in pieces of any size.
  void feed(const std::uint8_t *data, std::size_t size);
  // The host went away: a half block is dropped, line counting restarts.
  void end_of_stream();
  // Bytes the printer has answered since the last call.
  std::string take_replies();

  void set_log(LogFn fn) { log_ = std::move(fn); }
  void set_printed(PrintedFn fn) { printed_ = std::move(fn); }

  std::uint8_t status() const { return config_.status; }
  void set_status(std::uint8_t s) { config_.status = s; }

  // The current label as PRINT would print it now.
  Image render();
  int width_dots() const { return width_; }
  int height_dots() const { return height_; }
  int labels_printed() const { return printed_count_; }
  const std::map<std::string, std::vector<std::uint8_t>> &files() const { return files_; }
  std::uint64_t problems() const { return problems_; }

  // Where a stored file of this printer name lives in the storage folder.
  static std::string storage_file_name(std::string_view name);

 private:
  struct TextArgs {
    std::string font;
    long long x = 0, y = 0;
    int rotation = 0, xm = 1, ym = 1, align = 0;
  };
  struct Placed {
    Image image;
    long long x, y;
    int rotation;
    Paint paint;
    int anchor;
  };
  // Text and barcodes whose content is a variable are drawn at print time.
  struct VarText {
    TextArgs args;
    std::string var;
    std::uint64_t line_no;
  };
  struct VarBarcode {
    BarcodeRequest request;
    long long x, y;
    int rotation, align;
    std::string var;
    std::uint64_t line_no;
  };
  struct Rect {
    long long x0, y0, x1, y1; // corners, x1 and y1 one past the area
    Paint paint;
  };
  // A BITMAP is kept as it came, one bit a dot: blocks can be large and
  // much of one may lie off the label.
  struct Bitmap {
    long long x, y;
    std::size_t width_bytes, height;
    std::vector<std::uint8_t> bits;
    Paint paint;
  };
  using Item = std::variant<Placed, Bitmap, VarText, VarBarcode, Rect>;

  void on_line(std::string_view line, std::uint64_t line_no) override;
  void on_immediate(std::string_view command, std::uint64_t line_no) override;
  void on_bitmap(const BitmapHeader &h, std::span<const std::uint8_t> data,
                 std::uint64_t line_no) override;
  void on_download(const DownloadHeader &h, std::span<const std::uint8_t> data,
                   std::uint64_t line_no) override;
  void on_problem(std::string_view what, std::uint64_t line_no) override;

  void problem(std::uint64_t line_no, const std::string &what);
  void note(const std::string &what);
  void add(Item item);
  static std::size_t cost(const Item &item);
  void answer(std::string_view text, std::uint64_t line_no);
  bool set_variable(const std::string &name, std::string value, std::uint64_t line_no);
  void clear_variables();

  bool cmd_size(std::string_view args, std::uint64_t line_no);
  bool cmd_media(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_text(std::string_view args, std::uint64_t line_no);
  bool cmd_barcode(std::string_view args, std::uint64_t line_no);
  bool cmd_print(std::string_view args, std::uint64_t line_no);
  bool cmd_rect(std::string_view word, std::string_view args, std::uint64_t line_no);
  bool cmd_box(std::string_view args, std::uint64_t line_no);
  bool cmd_set(std::string_view args, std::uint64_t line_no);
  bool cmd_out(std::string_view args, std::uint64_t line_no);
  bool cmd_kill(std::string_view args, std::uint64_t line_no);
  bool cmd_assign(std::string_view line, std::uint64_t line_no);
  bool cmd_emulator(std::string_view args, std::uint64_t line_no);

  std::optional<Image> text_image(const TextArgs &a, std::string_view content,
                                  std::uint64_t line_no);
  std::string lookup(std::string_view var, std::uint64_t line_no);
  static void draw_bitmap(Image &canvas, const Bitmap &b);
  bool may_print(std::uint64_t line_no);
  void emit_label(const Image &image, std::uint64_t line_no, bool blank);
  void advance_counters(std::uint64_t line_no);

  PrinterConfig config_;
  StreamParser parser_;
  Typeface face_;
  LogFn log_;
  PrintedFn printed_;
  std::string replies_;
  bool answers_cut_ = false; // said once until the answers are taken

  int width_ = 800, height_ = 400; // dots; 100 mm x 50 mm until SIZE
  double speed_ = 4, density_ = 8;
  bool black_line_ = false;
  double gap_mm_ = 2, gap_offset_mm_ = 0;
  bool turned_ = false, mirrored_ = false; // DIRECTION
  long long ref_x_ = 0, ref_y_ = 0;        // REFERENCE
  std::vector<Item> items_;
  std::size_t item_bytes_ = 0;
  std::map<std::string, std::string> vars_;
  std::size_t var_bytes_ = 0;
  std::map<std::string, long long> counters_; // variable -> step
  std::map<std::string, std::vector<std::uint8_t>> files_;
  std::size_t file_bytes_ = 0;
  int printed_count_ = 0;
  int connection_labels_ = 0; // printed since the connection began
  std::uint64_t problems_ = 0;
};

} // namespace zarn::emu
