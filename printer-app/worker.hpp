// SPDX-License-Identifier: MIT
// One worker process per printer. libzarn holds one connection per process,
// so printers can only be kept apart by processes: each printer's device is
// served by a child of the app (the same program, started with
// kWorkerArgument) that owns that printer's libzarn connection and makes
// every send, read and status query of it. The app talks to it over a
// socket pair, one request and one reply at a time; a worker that hangs in
// a send is killed, and the next request starts a new one.
#pragma once

#include "status.hpp"

#include "common/handle.hpp"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace zarn::app {

// argv[1] of a worker process; the socket is its descriptor 3.
inline constexpr char kWorkerArgument[] = "--zarn-device-worker";
inline constexpr int kWorkerFd = 3;

// The worker's side: serves requests on kWorkerFd until the app goes away.
// Returns the process's exit status.
int worker_main();

// Requests, one byte each, followed by their data.
enum class Request : unsigned char {
  open = 'O',   // the client's address text: opens the connection
  close = 'C',  // closes it
  write = 'W',  // bytes to send as they are
  status = 'S', // the status byte, with its reply kind
  name = 'N',   // the printer's model name
};

// What a request came back with. ok false: message says why (the client's
// message, or what happened to the worker).
struct Reply {
  bool ok = false;
  zarn_client_status code = ZARN_CLIENT_ERR_SEND;
  std::string data; // the reply's data on success, the message otherwise
};

// The app's side of one worker process.
class Worker {
 public:
  // Why a request gave up before its reply (killing the worker).
  using StopCheck = std::function<bool()>;

  explicit Worker(std::string program) : program_(std::move(program)) {}
  ~Worker();
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  // Sends one request and waits for its reply, at most limit, starting the
  // process first when there is none. While waiting, stop() is asked every
  // 100 ms; when it says so, or the limit passes, or the process dies, the
  // process is ended (and started again by the next request).
  Reply call(Request request, std::string_view data, std::chrono::milliseconds limit,
             const StopCheck &stop = {});

  // Ends the process at once (SIGKILL) and reaps it.
  void kill();

  // The running process's ID, 0 when there is none (for tests and logs).
  pid_t pid() const { return pid_; }
  // Counts the processes started: a connection opened by an earlier one
  // is gone.
  unsigned generation() const { return generation_; }

 private:
  bool start(std::string &error);
  void reap();

  mutable std::mutex mutex_; // one request at a time
  std::string program_;
  std::atomic<pid_t> pid_ = 0;
  std::atomic<unsigned> generation_ = 0;
  UniqueFd socket_;
};

// The program a worker runs: this very executable.
std::string worker_program();

} // namespace zarn::app
