// SPDX-License-Identifier: MIT
// The label203, label300 and label600 drivers: PAPPL hands raster lines,
// which libzarn-raster dithers and the host layer streams to the printer,
// one BITMAP per label between libzarn's setup/CLS and PRINT.
#pragma once

#include "media.hpp"
#include "status.hpp"

#include <pappl/pappl.h>

namespace zarn::app {

extern pappl_pr_driver_t kDrivers[3];

bool driver_callback(pappl_system_t *system, const char *driver_name, const char *device_uri,
                     const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs,
                     void *cbdata);

// Picks the driver for a printer found by its device ID (autoadd, and add without -m).
const char *autoadd_callback(const char *device_info, const char *device_uri, const char *device_id,
                             void *data);

// Ends job as failed: message logged and shown as its state message, with
// reason. Returns false, for a filter or callback to return.
bool fail_job(pappl_job_t *job, pappl_jreason_t reason, const std::string &message);

// A job's turn on its printer: one job prints at a time, whatever PAPPL
// starts. Waits for the turn; taken() is false when the job was cancelled
// or the application stopped meanwhile.
struct PrinterState;
class JobTurn {
 public:
  explicit JobTurn(pappl_job_t *job);
  ~JobTurn();
  JobTurn(const JobTurn &) = delete;
  JobTurn &operator=(const JobTurn &) = delete;
  bool taken() const { return taken_; }
  // The job is being printed, or was, by another thread: do nothing.
  bool duplicate() const { return duplicate_; }

 private:
  pappl_job_t *job_;
  PrinterState *state_ = nullptr;
  bool taken_ = false;
  bool duplicate_ = false;
};

// Waits until the printer can print, showing why it cannot in the printer's
// state reasons and the job's message. False when the job was cancelled
// meanwhile, the printer stopped answering or the application is stopping.
bool wait_until_ready(pappl_job_t *job, pappl_device_t *device);

// Sends a label's setup lines and CLS; false (the job failed) when they
// could not be sent.
bool start_label(pappl_job_t *job, pappl_device_t *device, const LabelSetup &setup);

// Sends the bitmap as one BITMAP at the top left of a label just cleared.
bool send_bitmap(pappl_job_t *job, pappl_device_t *device, const zarn_raster_bitmap *bitmap);

// Waits until the printer is ready, then sends PRINT for copies.
bool print_label(pappl_job_t *job, pappl_device_t *device, int copies);

// Puts a status into the printer's state reasons (and pauses or resumes
// the printer when it was paused at its panel).
void apply_status(pappl_printer_t *printer, const Status &status);

} // namespace zarn::app
