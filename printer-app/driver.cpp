// SPDX-License-Identifier: MIT
#include "driver.hpp"
#include "order.hpp"

#include "devices.hpp"
#include "media.hpp"
#include "zarn-raster.h"
#include "common/handle.hpp"
#include "wire/wire.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zarn::app {

pappl_pr_driver_t kDrivers[3] = {
    {"label203", "Zarn label printer, 203 dpi", "MFG:Zarn;CMD:ZARN-LABEL;", nullptr},
    {"label300", "Zarn label printer, 300 dpi", nullptr, nullptr},
    {"label600", "Zarn label printer, 600 dpi", nullptr, nullptr},
};

// Per printer: whether the driver paused it because the printer was paused
// at its panel (only then does the driver resume it), and whose turn it is.
struct PrinterState {
  std::mutex mutex;
  bool paused_by_device = false;
  std::condition_variable turn_free;
  int running = 0;                // the job printing now
  std::thread::id running_thread; // and the thread printing it
  std::set<int> waiting;          // jobs waiting for their turn
  std::set<int> printed;          // jobs that had their turn
  std::string address;            // its device, as the client writes it
};

// The devices that have a printer. Two printers on one device would put
// their labels through one connection in turns and mix their states.
std::mutex devices_mutex;
std::map<std::string, PrinterState *> devices;

namespace {

using namespace std::chrono_literals;

// How often a job that waits for the printer asks it again.
constexpr auto kPollInterval = 500ms;
constexpr auto kCancelCheck = 50ms;
// How long a job lets older jobs that PAPPL started at once go first.
constexpr auto kStartedJobsLimit = 2s;

// The bytes of an encoding go to the job's device; a failed write stops
// the encoding (the device has logged why).
int send_to_device(const unsigned char *bytes, size_t size, void *device)
{
  return papplDeviceWrite(static_cast<pappl_device_t *>(device), bytes, size) < 0 ? 1 : 0;
}

bool write_line_to(pappl_device_t *device, const std::string &line)
{
  const std::string framed = line + "\r\n";
  return papplDeviceWrite(device, framed.data(), framed.size()) >= 0;
}

// Per job: the page being streamed. The raster library dithers each line
// and hands the BITMAP block, header first, to send_to_device.
struct JobState {
  std::unique_ptr<JobTurn> turn;
  std::thread::id owner = std::this_thread::get_id();
  zarn_raster_stream *stream = nullptr;
  zarn_raster_pixel_format format = ZARN_RASTER_GREY8;
  bool invert = false; // 8-bit black (255 = ink) sent as grey
  std::vector<unsigned char> line;

  ~JobState() { close_stream(); }

  // Ends the page; rows never written go as paper, so the printer is not
  // left inside the BITMAP block. Gives the stream's verdict on the page.
  zarn_raster_status close_stream()
  {
    if (stream == nullptr)
      return ZARN_RASTER_OK;
    const zarn_raster_status s = zarn_raster_stream_close(stream);
    stream = nullptr;
    return s;
  }
};

// The message of a failed stream call.
std::string stream_failure(zarn_raster_status status)
{
  return status == ZARN_RASTER_ERR_SEND ? "sending to the printer failed"
                                        : zarn_raster_last_error();
}

PrinterState *printer_state(pappl_printer_t *printer)
{
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  return static_cast<PrinterState *>(data.extension);
}

void delete_printer(pappl_printer_t * /*printer*/, pappl_pr_driver_data_t *data)
{
  auto *state = static_cast<PrinterState *>(data->extension);
  {
    std::lock_guard lock(devices_mutex);
    if (const auto found = devices.find(state ? state->address : "");
        found != devices.end() && found->second == state)
      devices.erase(found);
  }
  delete state;
  data->extension = nullptr;
}

// The job's state, for the thread that prints it. PAPPL can run one job on
// two threads at once under a burst; the second sees nullptr and does
// nothing, so the label is printed once and nothing is freed twice.
JobState *state_of(pappl_job_t *job)
{
  auto *state = static_cast<JobState *>(papplJobGetData(job));
  return state != nullptr && state->owner == std::this_thread::get_id() ? state : nullptr;
}

bool start_job(pappl_job_t *job, pappl_pr_options_t * /*options*/, pappl_device_t *device)
{
  attach_job(device, job);
  auto turn = std::make_unique<JobTurn>(job);
  if (turn->duplicate())
    return true;
  if (!turn->taken())
    return false;
  auto state = std::make_unique<JobState>();
  state->turn = std::move(turn);
  papplJobSetData(job, state.release());
  return true;
}

bool start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                unsigned /*page*/)
{
  JobState *state = state_of(job);
  if (state == nullptr)
    return true;
  const auto &h = options->header;
  state->invert = false;
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG,
              "Page of %ux%u dots, %u bits per pixel, colour space %d, %u bytes a line.",
              h.cupsWidth, h.cupsHeight, h.cupsBitsPerPixel, h.cupsColorSpace, h.cupsBytesPerLine);
  if (h.cupsBitsPerPixel == 1 && h.cupsColorSpace == CUPS_CSPACE_K)
    state->format = ZARN_RASTER_BLACK1;
  else if (h.cupsBitsPerPixel == 8 &&
           (h.cupsColorSpace == CUPS_CSPACE_SW || h.cupsColorSpace == CUPS_CSPACE_W))
    state->format = ZARN_RASTER_GREY8;
  else if (h.cupsBitsPerPixel == 8 && h.cupsColorSpace == CUPS_CSPACE_K) {
    state->format = ZARN_RASTER_GREY8;
    state->invert = true;
  } else if (h.cupsBitsPerPixel == 24 &&
             (h.cupsColorSpace == CUPS_CSPACE_SRGB || h.cupsColorSpace == CUPS_CSPACE_RGB))
    state->format = ZARN_RASTER_RGB24;
  else
    return fail_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                    "Unsupported raster: " + std::to_string(h.cupsBitsPerPixel) +
                        " bits per pixel in colour space " + std::to_string(h.cupsColorSpace) +
                        ".");
  if (h.HWResolution[0] == 0 || h.HWResolution[1] == 0 || h.cupsWidth == 0 || h.cupsHeight == 0)
    return fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The raster page has no size.");
  state->line.resize(h.cupsBytesPerLine);

  // The label is the raster page: dots at the raster's resolution. One
  // longer than any label would get a SIZE the printer refuses, and the
  // job would end as printed with nothing printed.
  const int width = static_cast<int>(std::lround(h.cupsWidth * 2540.0 / h.HWResolution[0]));
  const int height = static_cast<int>(std::lround(h.cupsHeight * 2540.0 / h.HWResolution[1]));
  if (height > kLongestLabel)
    return fail_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                    "The raster page is " + std::to_string(std::lround(height / 100.0)) +
                        " mm long; labels are at most " + std::to_string(kLongestLabel / 100) +
                        " mm.");

  if (!wait_until_ready(job, device))
    return false;

  LabelSetup s = label_setup(*options, width, height);
  zarn_raster_options ro;
  zarn_raster_options_init(&ro);
  ro.dither = dither_for(options->print_quality);

  if (!start_label(job, device, s))
    return false;
  if (const zarn_raster_status st =
          zarn_raster_stream_open(static_cast<int>(h.cupsWidth), static_cast<int>(h.cupsHeight),
                                  state->format, &ro, send_to_device, device, &state->stream);
      st != ZARN_RASTER_OK)
    return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                    "Cannot start the label: " + stream_failure(st));
  return true;
}

bool write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t * /*device*/,
                unsigned /*y*/, const unsigned char *line)
{
  JobState *state = state_of(job);
  if (state == nullptr)
    return true;
  const void *pixels = line;
  if (state->invert) {
    const size_t n = options->header.cupsBytesPerLine;
    for (size_t i = 0; i < n; ++i)
      state->line[i] = static_cast<unsigned char>(255 - line[i]);
    pixels = state->line.data();
  }
  if (const zarn_raster_status st = zarn_raster_stream_write(state->stream, pixels, nullptr);
      st != ZARN_RASTER_OK)
    return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                    "Cannot send the label: " + stream_failure(st));
  return true;
}

bool end_page(pappl_job_t *job, pappl_pr_options_t * /*options*/, pappl_device_t *device,
              unsigned /*page*/)
{
  JobState *state = state_of(job);
  if (state == nullptr)
    return true;
  // A page that ended early was completed with paper so the printer is not
  // left inside the BITMAP block; it is not printed.
  if (const zarn_raster_status st = state->close_stream(); st != ZARN_RASTER_OK)
    return fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                    "The label was not printed: " + stream_failure(st));
  return print_label(job, device, 1);
}

bool end_job(pappl_job_t *job, pappl_pr_options_t * /*options*/, pappl_device_t * /*device*/)
{
  if (JobState *state = state_of(job)) {
    papplJobSetData(job, nullptr);
    delete state;
  }
  return true;
}

// A job in the printer's own language (application/vnd.zarn-label) goes
// to the printer as it is.
bool print_raw(pappl_job_t *job, pappl_pr_options_t * /*options*/, pappl_device_t *device)
{
  const JobTurn turn(job);
  if (turn.duplicate())
    return true;
  if (!turn.taken())
    return false;
  const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Cannot open the job's document.");
  const UniqueFd file(fd);
  attach_job(device, job);
  papplJobSetImpressions(job, 1);
  if (!wait_until_ready(job, device))
    return false;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t n = read(file.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Cannot read the job's document.");
    if (n == 0)
      break;
    if (papplDeviceWrite(device, buffer.data(), static_cast<size_t>(n)) < 0)
      return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Sending to the printer failed.");
  }
  if (!flush_device(device))
    return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Sending to the printer failed.");
  papplJobSetImpressionsCompleted(job, 1);
  return true;
}

// Status for the web page and get-printer-attributes. A printer whose
// device a job holds is skipped: the job keeps its reasons up to date.
bool update_status(pappl_printer_t *printer)
{
  last_open_failed();
  // No device while a job holds it: the job keeps the reasons up to date.
  pappl_device_t *device = papplPrinterOpenDevice(printer);
  if (device == nullptr) {
    if (last_open_failed())
      papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_DEVICE_STATUS);
    return true;
  }
  apply_status(printer, query_status(device));
  papplPrinterCloseDevice(printer);
  return true;
}

// Whether PAPPL has started a job of job's printer that is older than job
// and has not had its turn yet.
bool older_job_started(pappl_job_t *job)
{
  struct Look {
    int id;
    PrinterState *state;
    bool found = false;
  } look{papplJobGetID(job), printer_state(papplJobGetPrinter(job))};
  papplPrinterIterateActiveJobs(
      papplJobGetPrinter(job),
      [](pappl_job_t *other, void *data) {
        auto *look = static_cast<Look *>(data);
        const int id = papplJobGetID(other);
        if (id >= look->id || papplJobGetState(other) != IPP_JSTATE_PROCESSING)
          return;
        std::lock_guard lock(look->state->mutex);
        if (look->state->running != id && look->state->printed.count(id) == 0)
          look->found = true;
      },
      &look, 1, 0);
  return look.found;
}

} // namespace

bool fail_job(pappl_job_t *job, pappl_jreason_t reason, const std::string &message)
{
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message.c_str());
  papplJobSetMessage(job, "%s", message.c_str());
  papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
  return false;
}

// PAPPL may start a printer's next job while one is printing (two jobs of a
// burst 6 ms apart): a job waits here for its turn, and of the jobs waiting
// the oldest goes first.
JobTurn::JobTurn(pappl_job_t *job) : job_(job)
{
  pappl_printer_t *printer = papplJobGetPrinter(job);
  state_ = printer_state(printer);
  if (state_ == nullptr)
    return;
  const int id = papplJobGetID(job);
  std::unique_lock lock(state_->mutex);
  // A filter that hands the job on to the raster path already has the turn;
  // the same job on another thread, or once more, is PAPPL running it twice.
  if (state_->running == id && state_->running_thread == std::this_thread::get_id()) {
    taken_ = true;
    state_ = nullptr;
    return;
  }
  if (state_->running == id || state_->printed.count(id) != 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "The job was started twice; it prints once.");
    // PAPPL closes the printer's device when this run returns: not before
    // the run that prints is done with it.
    while (state_->running == id)
      state_->turn_free.wait_for(lock, 100ms);
    duplicate_ = true;
    state_ = nullptr;
    return;
  }
  state_->waiting.insert(id);
  const auto give_up = std::chrono::steady_clock::now() + kStartedJobsLimit;
  for (;;) {
    if (state_->running == 0 && *state_->waiting.begin() == id) {
      // An older job that PAPPL has started is on its way here: it goes
      // first. PAPPL is asked without this printer's lock.
      lock.unlock();
      const bool older = std::chrono::steady_clock::now() < give_up && older_job_started(job);
      lock.lock();
      if (!older && state_->running == 0 && *state_->waiting.begin() == id)
        break;
    }
    if (papplJobIsCanceled(job) || papplSystemIsShutdown(papplPrinterGetSystem(printer))) {
      state_->waiting.erase(id);
      state_->turn_free.notify_all();
      state_ = nullptr;
      return;
    }
    state_->turn_free.wait_for(lock, 100ms);
  }
  state_->waiting.erase(id);
  state_->running = id;
  state_->running_thread = std::this_thread::get_id();
  state_->printed.insert(id);
  // Only the latest jobs can be started again.
  while (state_->printed.size() > 1000)
    state_->printed.erase(state_->printed.begin());
  taken_ = true;
}

JobTurn::~JobTurn()
{
  if (state_ == nullptr || !taken_)
    return;
  {
    std::lock_guard lock(state_->mutex);
    state_->running = 0;
  }
  state_->turn_free.notify_all();
  settle_job_order(job_);
}

bool start_label(pappl_job_t *job, pappl_device_t *device, const LabelSetup &s)
{
  // The SIZE, SPEED, DENSITY and GAP or BLINE lines, as libzarn's setup makes them.
  for (const std::string &line : wire::setup_lines(
           {s.width_mm, s.height_mm, s.speed, s.density, s.media_kind, s.gap_mm, s.offset_mm}))
    if (!write_line_to(device, line))
      return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                      "Cannot set up the label: sending to the printer failed.");
  if (!write_line_to(device, "CLS"))
    return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                    "Cannot set up the label: sending to the printer failed.");
  return true;
}

bool send_bitmap(pappl_job_t *job, pappl_device_t *device, const zarn_raster_bitmap *bitmap)
{
  // The label is blank after CLS: rows of paper above and below stay out.
  if (const zarn_raster_status st = zarn_raster_encode_bitmap(
          bitmap, 0, 0, ZARN_RASTER_ENCODE_ON_BLANK, send_to_device, device);
      st != ZARN_RASTER_OK)
    return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                    "Cannot send the label: " + stream_failure(st));
  return true;
}

bool print_label(pappl_job_t *job, pappl_device_t *device, int copies)
{
  // PRINT only once the printer can print, so the label is not lost.
  if (!wait_until_ready(job, device))
    return false;
  // Flushed at once: PAPPL may keep the device open for the next job.
  if (!write_line_to(device, wire::print_line(copies)) || !flush_device(device))
    return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                    "Cannot print the label: sending to the printer failed.");
  return true;
}

void apply_status(pappl_printer_t *printer, const Status &status)
{
  papplPrinterSetReasons(printer, reasons_for(status), PAPPL_PREASON_DEVICE_STATUS);
  PrinterState *state = printer_state(printer);
  if (state == nullptr || !answered(status))
    return;
  const bool paused = has(status, ZARN_CLIENT_BIT_PAUSED);
  std::lock_guard lock(state->mutex);
  if (paused && !state->paused_by_device && papplPrinterGetState(printer) != IPP_PSTATE_STOPPED) {
    state->paused_by_device = true;
    papplPrinterPause(printer);
  } else if (!paused && state->paused_by_device) {
    state->paused_by_device = false;
    papplPrinterResume(printer);
  }
}

bool wait_until_ready(pappl_job_t *job, pappl_device_t *device)
{
  pappl_printer_t *printer = papplJobGetPrinter(job);
  pappl_system_t *system = papplPrinterGetSystem(printer);
  bool waited = false;
  for (;;) {
    const Status status = query_status(device);
    apply_status(printer, status);
    if (ready_to_print(status)) {
      if (waited) {
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The printer is ready again.");
        papplJobSetReasons(job, PAPPL_JREASON_NONE, PAPPL_JREASON_PRINTER_STOPPED);
        papplJobSetMessage(job, "Printing.");
      }
      return true;
    }
    // A printer that is silent on a connection still open (switched off,
    // busy, its cable out) waits like one out of paper: the label is kept.
    // One that hung up or whose reply failed cannot be asked again.
    if (!answered(status) && status.reply != ZARN_CLIENT_REPLY_NONE)
      return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                      "The printer does not answer its status request: " + describe(status) + ".");
    const std::string why = describe(status);
    // A stop (SIGTERM, Shutdown-System) waits for the job in hand: a printer
    // without paper would otherwise keep the server from ever ending.
    if (papplSystemIsShutdown(system))
      return fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                      "The printer application is stopping; the printer was not ready: " + why +
                          ".");
    if (!waited)
      papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Waiting for the printer: %s.", why.c_str());
    waited = true;
    papplJobSetReasons(job, PAPPL_JREASON_PRINTER_STOPPED, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "Waiting for the printer: %s.", why.c_str());
    // Short steps, so that a cancel or a stop takes effect at once.
    for (auto slept = 0ms; slept < kPollInterval && !papplSystemIsShutdown(system);
         slept += kCancelCheck) {
      if (papplJobIsCanceled(job)) {
        papplJobSetReasons(job, PAPPL_JREASON_NONE, PAPPL_JREASON_PRINTER_STOPPED);
        return false;
      }
      std::this_thread::sleep_for(kCancelCheck);
    }
  }
}

namespace {

// Identify-Printer: the printer feeds one blank label, which a person at it
// sees. While a job holds the device PAPPL gives none; the printer is
// printing then anyway.
void identify(pappl_printer_t *printer, pappl_identify_actions_t /*actions*/,
              const char * /*message*/)
{
  pappl_device_t *device = papplPrinterOpenDevice(printer);
  if (device == nullptr) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN,
                    "Cannot identify the printer: it is busy or does not answer.");
    return;
  }
  if (papplDevicePuts(device, "FORMFEED\r\n") < 0)
    papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN,
                    "Cannot identify the printer: sending the label feed failed.");
  papplDeviceFlush(device);
  papplPrinterCloseDevice(printer);
}

// The ribbon as the printer's one supply: its status tells only whether
// the ribbon ran out, so the level is 0 then and unknown otherwise.
bool update_status_and_supplies(pappl_printer_t *printer)
{
  const bool ok = update_status(printer);
  pappl_supply_t ribbon{};
  ribbon.color = PAPPL_SUPPLY_COLOR_BLACK;
  papplCopyString(ribbon.description, "Ribbon", sizeof ribbon.description);
  ribbon.is_consumed = true;
  ribbon.type = PAPPL_SUPPLY_TYPE_INK_RIBBON;
  ribbon.level = (papplPrinterGetReasons(printer) & PAPPL_PREASON_MARKER_SUPPLY_EMPTY) ? 0 : -1;
  papplPrinterSetSupplies(printer, 1, &ribbon);
  return ok;
}

} // namespace

bool driver_callback(pappl_system_t *system, const char *driver_name, const char *device_uri,
                     const char * /*device_id*/, pappl_pr_driver_data_t *data, ipp_t ** /*attrs*/,
                     void * /*cbdata*/)
{
  int dpi = 0;
  for (const auto &[name, d] : {std::pair{"label203", 203}, {"label300", 300}, {"label600", 600}})
    if (driver_name && std::strcmp(driver_name, name) == 0)
      dpi = d;
  if (dpi == 0) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unknown driver '%s'.", driver_name ? driver_name : "");
    return false;
  }
  // The driver prints through libzarn, which owns the connection.
  if (!is_zarn_uri(device_uri)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR,
             "Device '%s' is not a zarn-usb:, zarn-serial: or zarn-tcp: device.",
             device_uri ? device_uri : "");
    return false;
  }

  // A device that can never work is refused now, with the reason, rather
  // than taking jobs that wait for it for ever.
  auto state = std::make_unique<PrinterState>();
  std::string error;
  const auto address = parse_device_uri(device_uri, error);
  if (!address) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Bad device %s", error.c_str());
    return false;
  }
  {
    state->address = address_text(*address);
    std::lock_guard lock(devices_mutex);
    if (devices.count(state->address) != 0) {
      papplLog(system, PAPPL_LOGLEVEL_ERROR,
               "Device '%s' already has a printer; one device serves one printer.", device_uri);
      return false;
    }
    devices[state->address] = state.get();
  }
  data->extension = state.release();
  data->delete_cb = delete_printer;
  data->rstartjob_cb = start_job;
  data->rstartpage_cb = start_page;
  data->rwriteline_cb = write_line;
  data->rendpage_cb = end_page;
  data->rendjob_cb = end_job;
  data->status_cb = update_status_and_supplies;
  data->printfile_cb = print_raw;
  data->format = "application/vnd.zarn-label";
  data->identify_cb = identify;
  data->identify_supported = PAPPL_IDENTIFY_ACTIONS_FLASH;
  data->identify_default = PAPPL_IDENTIFY_ACTIONS_FLASH;
  data->has_supplies = true;

  snprintf(data->make_and_model, sizeof data->make_and_model, "Zarn Label Printer %d dpi", dpi);
  data->ppm = 30;
  data->kind = PAPPL_KIND_LABEL | PAPPL_KIND_ROLL;
  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = dpi;
  data->x_default = data->y_default = dpi;
  // 8-bit grey only: every page reaches the driver undithered, so
  // print-quality picks the dithering. (PAPPL hands PWG raster lines as the
  // client sent them but describes them with this type, so 1-bit raster is
  // not offered.)
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->color_supported = PAPPL_COLOR_MODE_MONOCHROME | PAPPL_COLOR_MODE_BI_LEVEL;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->orient_default = IPP_ORIENT_NONE;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;
  // A picture scaled to fill the label loses its ends, and a barcode with
  // them: pictures are fitted unless a job asks for fill.
  data->scaling_default = PAPPL_SCALING_FIT;
  fill_media(*data);
  return true;
}

const char *autoadd_callback(const char * /*device_info*/, const char *device_uri,
                             const char *device_id, void * /*data*/)
{
  if (!is_zarn_uri(device_uri))
    return nullptr;
  const std::string id = device_id ? device_id : "";
  const auto model = id.find("MDL:");
  const std::string mdl =
      model == std::string::npos ? "" : id.substr(model, id.find(';', model) - model);
  if (mdl.find("600") != std::string::npos)
    return "label600";
  if (mdl.find("300") != std::string::npos)
    return "label300";
  return "label203";
}

} // namespace zarn::app
