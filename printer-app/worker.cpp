// SPDX-License-Identifier: MIT
#include "worker.hpp"

#include "devices.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

extern char **environ;

namespace zarn::app {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool send_packet(int fd, unsigned char kind, std::string_view data)
{
  std::string packet(1, static_cast<char>(kind));
  packet.append(data);
  for (;;) {
    const ssize_t n = ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
    if (n >= 0)
      return static_cast<std::size_t>(n) == packet.size();
    if (errno != EINTR)
      return false;
  }
}

// A packet, or nothing when the peer has gone (or the descriptor failed).
std::optional<std::string> receive_packet(int fd)
{
  std::string packet(kMaxRequestData + 1, '\0');
  for (;;) {
    const ssize_t n = ::recv(fd, packet.data(), packet.size(), 0);
    if (n > 0) {
      packet.resize(static_cast<std::size_t>(n));
      return packet;
    }
    if (n == 0 || errno != EINTR)
      return std::nullopt;
  }
}

// ---- The worker process ---------------------------------------------------

struct Served {
  zarn_client_status code = ZARN_CLIENT_OK;
  std::string data;
};

Served failed(zarn_client_status code) { return {code, zarn_client_last_error()}; }

Served serve(zarn_client_printer *&printer, Request request, std::string_view data)
{
  switch (request) {
  case Request::open: {
    // The app opens each printer's connection once; a second open means
    // the app lost track of the first (it was killed meanwhile), so the
    // stale connection goes.
    if (printer != nullptr)
      zarn_client_close(std::exchange(printer, nullptr));
    const std::string address(data);
    if (const zarn_client_status s = zarn_client_open(address.c_str(), &printer);
        s != ZARN_CLIENT_OK)
      return failed(s);
    zarn_client_set_reply_timeout(printer, static_cast<int>(kReplyTimeout.count()));
    return {};
  }
  case Request::close: zarn_client_close(std::exchange(printer, nullptr)); return {};
  case Request::write:
    if (printer == nullptr)
      return {ZARN_CLIENT_ERR_CLOSED, "the printer connection is not open"};
    if (const zarn_client_status s =
            zarn_client_send_binary(printer, data.data(), data.size(), nullptr, nullptr);
        s != ZARN_CLIENT_OK)
      return failed(s);
    return {};
  case Request::status: {
    Status status{};
    // Not even asked (the connection is closed, or the request could not
    // be sent): the printer is out of reach as surely as when it hangs up.
    if (printer == nullptr || zarn_client_status_get(printer, &status) != ZARN_CLIENT_OK)
      status = Status{ZARN_CLIENT_REPLY_DISCONNECTED, 0};
    return {ZARN_CLIENT_OK, {static_cast<char>(status.reply), static_cast<char>(status.bits)}};
  }
  case Request::name: {
    if (printer == nullptr)
      return {ZARN_CLIENT_ERR_CLOSED, "the printer connection is not open"};
    char *text = nullptr;
    if (const zarn_client_status s = zarn_client_name(printer, nullptr, &text); s != ZARN_CLIENT_OK)
      return failed(s);
    Served out{ZARN_CLIENT_OK, std::string(text).substr(0, kMaxRequestData)};
    zarn_client_free(text);
    return out;
  }
  }
  return {ZARN_CLIENT_ERR_ARGUMENT, "unknown request"};
}

} // namespace

int worker_main()
{
  // A worker never outlives the app, even when the app is killed while the
  // worker is inside a send. (The parent-death signal would not do: it
  // follows the thread that started the worker, and PAPPL's threads end.)
  const pid_t app = ::getppid();
  std::thread([app] {
    while (::getppid() == app)
      std::this_thread::sleep_for(250ms);
    std::_Exit(0);
  }).detach();
  // Nothing of the app (its listening sockets, its spool files) stays open here.
  ::close_range(kWorkerFd + 1, ~0U, 0);
  ::signal(SIGPIPE, SIG_IGN);
  zarn_client_printer *printer = nullptr;
  for (;;) {
    const std::optional<std::string> packet = receive_packet(kWorkerFd);
    if (!packet)
      break; // the app closed its end
    const auto request = static_cast<Request>((*packet)[0]);
    const Served s = serve(printer, request, std::string_view(*packet).substr(1));
    if (!send_packet(kWorkerFd, static_cast<unsigned char>(s.code), s.data))
      break;
  }
  zarn_client_close(printer);
  return 0;
}

// ---- The app's side -------------------------------------------------------

std::string worker_program() { return "/proc/self/exe"; }

Worker::~Worker()
{
  std::lock_guard lock(mutex_);
  if (pid_ == 0)
    return;
  // Closing our end lets the worker close its printer connection and end.
  socket_.reset();
  for (auto waited = 0ms; waited < 2s; waited += 20ms) {
    if (::waitpid(pid_, nullptr, WNOHANG) != 0) {
      pid_ = 0;
      return;
    }
    std::this_thread::sleep_for(20ms);
  }
  kill();
}

bool Worker::start(std::string &error)
{
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    error = std::strerror(errno);
    return false;
  }
  UniqueFd ours(pair[0]);
  UniqueFd theirs(pair[1]);
  // dup2 onto the same number would keep close-on-exec set.
  if (static_cast<int>(theirs.get()) == kWorkerFd)
    theirs.reset(::fcntl(kWorkerFd, F_DUPFD_CLOEXEC, kWorkerFd + 1));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, theirs.get(), kWorkerFd);
  std::string name = "zarn-printer-app", argument = kWorkerArgument;
  char *argv[] = {name.data(), argument.data(), nullptr};
  // The app's threads block SIGTERM and SIGINT for its signal watcher; a
  // worker takes them as any process does.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program_.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    error = std::strerror(rc);
    return false;
  }
  pid_ = pid;
  ++generation_;
  socket_ = std::move(ours);
  return true;
}

void Worker::reap()
{
  socket_.reset();
  if (const pid_t pid = pid_.exchange(0); pid != 0)
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void Worker::kill()
{
  if (pid_ != 0)
    ::kill(pid_, SIGKILL);
  reap();
}

Reply Worker::call(Request request, std::string_view data, std::chrono::milliseconds limit,
                   const StopCheck &stop)
{
  std::lock_guard lock(mutex_);
  if (!socket_) {
    std::string error;
    if (!start(error))
      return {false, ZARN_CLIENT_ERR_CONNECT,
              "cannot start the printer's worker process: " + error};
  }
  const auto lost = [&](const std::string &why) {
    kill();
    return Reply{false, ZARN_CLIENT_ERR_SEND, why};
  };
  if (data.size() > kMaxRequestData)
    return {false, ZARN_CLIENT_ERR_ARGUMENT, "a request of more than 64 KiB"};
  if (!send_packet(socket_.get(), static_cast<unsigned char>(request), data))
    return lost("the printer's worker process has ended");
  const auto deadline = Clock::now() + limit;
  for (;;) {
    pollfd p{socket_.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready > 0) {
      const std::optional<std::string> packet = receive_packet(socket_.get());
      if (!packet || packet->empty())
        return lost("the printer's worker process has ended");
      const auto code = static_cast<zarn_client_status>(static_cast<unsigned char>((*packet)[0]));
      return {code == ZARN_CLIENT_OK, code, packet->substr(1)};
    }
    if (ready < 0)
      return lost(std::string("waiting for the printer's worker process failed: ") +
                  std::strerror(errno));
    if (stop && stop()) {
      kill();
      return {false, ZARN_CLIENT_ERR_CLOSED, "stopped"};
    }
    if (Clock::now() >= deadline)
      return lost("the printer did not take the request within " +
                  std::to_string(limit.count() / 1000) + " s");
  }
}

} // namespace zarn::app
