// SPDX-License-Identifier: MIT
#include "stop.hpp"

#include "control.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace zarn::emu {

namespace {
int stop_pipe[2] = {-1, -1};

void on_stop_signal(int)
{
  const int saved = errno;
  const char c = 1;
  [[maybe_unused]] ssize_t n = ::write(stop_pipe[1], &c, 1);
  errno = saved;
}
} // namespace

int stop_fd() { return stop_pipe[0]; }

void install_stop_handlers()
{
  if (stop_pipe[0] < 0 && ::pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return;
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

Wake wait_events(std::span<pollfd> fds, int timeout_ms, ControlServer *control)
{
  std::vector<pollfd> all;
  all.reserve(fds.size() + 1);
  all.push_back({stop_fd(), POLLIN, 0});
  all.insert(all.end(), fds.begin(), fds.end());
  const std::size_t first_control = all.size();
  if (control)
    control->add_fds(all);
  const int n = ::poll(all.data(), all.size(), timeout_ms);
  for (std::size_t i = 0; i < fds.size(); ++i)
    fds[i].revents = n > 0 ? all[i + 1].revents : 0;
  if (n < 0)
    return errno == EINTR ? Wake::ready : Wake::failed;
  if (n > 0 && all[0].revents)
    return Wake::stop;
  if (n > 0 && control)
    control->serve(std::span(all).subspan(first_control));
  return Wake::ready;
}

} // namespace zarn::emu
