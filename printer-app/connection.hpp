// SPDX-License-Identifier: MIT
// libzarn holds one printer connection per process and takes no locks, while
// PAPPL prints jobs, answers status queries and lists devices on threads of
// its own, for any number of printers. So the whole process shares one
// connection token: a device (a job or a status query) holds it from open to
// close, and holds the connection only that long. Every library call, the
// raster library's sends included, is made by the token's holder inside a
// LibraryCall, so even two threads of one device never overlap in libzarn.
#pragma once

#include <chrono>
#include <mutex>

namespace zarn::app {

// Takes the token, waiting at most `limit`; false when it stayed taken.
bool acquire_connection(std::chrono::milliseconds limit);

// Gives the token back. Any thread may: PAPPL does not promise to close a
// device on the thread that opened it.
void release_connection();

// How long the next device open on this thread waits for the token. A status
// query sets it short so that a web page never waits behind another
// printer's job; jobs wait longer (PAPPL retries a failed open).
inline constexpr std::chrono::milliseconds kJobOpenWait{15000};
void set_open_wait(std::chrono::milliseconds limit);
std::chrono::milliseconds open_wait();

// Held around each libzarn call.
class LibraryCall {
 public:
  LibraryCall();

 private:
  std::lock_guard<std::mutex> lock_;
};

} // namespace zarn::app
