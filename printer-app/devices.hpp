// SPDX-License-Identifier: MIT
// Device URI schemes that reach the printer through libzarn-client:
//   zarn-usb://                            the first printer with the vendor ID
//   zarn-serial:/dev/ttyUSB0?baud=9600     a serial line, with the client's
//                                          settings (baud, parity, data, stop)
//   zarn-tcp://HOST[:PORT]                 TCP, port 9100 if not given
#pragma once

#include "status.hpp"

#include <pappl/pappl.h>

#include <chrono>
#include <optional>
#include <string>

namespace zarn::app {

// Bytes a worker takes in one request.
inline constexpr size_t kMaxRequestData = 64 * 1024;

// How long the app waits for the printer's first byte of a status or name
// reply on TCP and serial before it takes the printer as offline.
inline constexpr std::chrono::milliseconds kReplyTimeout{2000};

// Reads a zarn-usb:, zarn-serial: or zarn-tcp: URI as the client's address.
// On a bad one returns nothing and says why in error.
std::optional<zarn_client_address> parse_device_uri(const std::string &uri, std::string &error);

// True for the URI schemes registered here.
bool is_zarn_uri(const char *uri);

// Registers the three schemes with PAPPL (before papplMainloop).
void register_device_schemes();

// The client's address text ("tcp://host:9100"): one printer, one worker.
std::string address_text(const zarn_client_address &address);

// Ties an open device to the job that prints on it: cancelling the job
// ends a send the printer does not take.
void attach_job(pappl_device_t *device, pappl_job_t *job);

// Asks the printer behind an open zarn- device for its status byte (after
// the bytes PAPPL still buffers).
Status query_status(pappl_device_t *device);

// Sends what PAPPL still buffers; false when that or an earlier write of
// the device failed.
bool flush_device(pappl_device_t *device);

// The worker process serving an open device (0 when none), for the logs.
pid_t worker_pid(pappl_device_t *device);

// True when the last device open on this thread failed (the printer is
// then unreachable). Reading it clears it.
bool last_open_failed();

} // namespace zarn::app
