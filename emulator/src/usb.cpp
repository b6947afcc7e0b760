// SPDX-License-Identifier: MIT
// The printer on USB: a child process sees it as a USB device with the
// printer maker's vendor ID (bulk OUT 0x01, bulk IN 0x82) through umockdev.
#include "control.hpp"
#include "stop.hpp"
#include "transports.hpp"

#include "common/handle.hpp"

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>

#ifdef ZARN_EMULATOR_USB
#include "usb_printer_sim.hpp"

#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace zarn::emu {

#ifdef ZARN_EMULATOR_USB
namespace {

int exit_status(int status)
{
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

int reap(pid_t pid)
{
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR)
      return 1;
  return exit_status(status);
}

// Asks the child to end, and makes it after two seconds.
int end_child(pid_t pid, int pidfd)
{
  ::kill(pid, SIGTERM);
  pollfd fd{pidfd, POLLIN, 0};
  while (::poll(&fd, 1, 2000) < 0 && errno == EINTR) {
  }
  if (!fd.revents)
    ::kill(pid, SIGKILL);
  return reap(pid);
}

} // namespace

int run_usb(Emulator &emulator, const std::vector<std::string> &command)
{
  const Faults &faults = emulator.faults;
  const HostLimits &limits = emulator.limits;
  try {
    usbsim::UsbPrinterSim sim;
    sim.add_device();
    // A USB host holds the device as long as it likes: no idle limit.
    HostLimits usb_limits = limits;
    usb_limits.idle = Clock::duration::zero();
    Session session(emulator.printer, faults, usb_limits);
    // umockdev calls the handlers on its own thread; the main thread only
    // watches the child, the stop signals and the time limits.
    std::mutex m;
    // Wakes the main thread when answers start to wait, so that it times
    // the unread limit from then on.
    zarn::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake)
      throw std::runtime_error("eventfd failed");
    bool said_cut = false;
    bool paused = false;
    int opens = 0;
    // With m held: a printer whose answers are not read stops taking bulk
    // OUT transfers, as one with a full buffer does.
    auto throttle = [&] {
      if (paused != !session.wants_input()) {
        paused = !paused;
        sim.pause_out(paused);
      }
    };
    sim.set_out_handler([&](const std::uint8_t *data, std::size_t size) {
      std::lock_guard lock(m);
      // A host that opened the device anew starts a new stream: whatever the
      // last one left half sent is dropped, as when a TCP host hangs up.
      const int now_opens = sim.open_count();
      if (now_opens != opens) {
        if (opens != 0) {
          session.end_of_stream();
          sim.clear_in();
        }
        opens = now_opens;
      }
      if (!session.receive(data, size, Clock::now()) && !said_cut) {
        std::fprintf(stderr, "zarn-emulator: silent after %llu bytes (--close-after)\n",
                     faults.close_after);
        said_cut = true;
      }
      throttle();
      const std::uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wake.get(), &one, sizeof one);
    });
    sim.set_in_provider([&]() -> std::optional<std::vector<std::uint8_t>> {
      std::lock_guard lock(m);
      auto piece = session.take_due(Clock::now());
      throttle();
      if (!piece)
        return std::nullopt;
      return std::vector<std::uint8_t>(piece->begin(), piece->end());
    });
    if (emulator.control) {
      // Control lines come on the main thread; the printer is shared with
      // umockdev's.
      emulator.control->set_handler([&](std::string_view line) {
        std::lock_guard lock(m);
        return emulator.printer.control(line);
      });
      ::setenv("ZARN_EMULATOR_CONTROL", emulator.control->address().c_str(), 1);
    }
    std::printf("USB printer %04x:%04x at %s, running %s\n", usbsim::kVendorId, usbsim::kProductId,
                sim.devnode().c_str(), command.front().c_str());
    std::fflush(stdout);
    const pid_t pid = sim.spawn_child(command);
    if (pid < 0) {
      std::fprintf(stderr, "zarn-emulator: cannot run %s\n", command.front().c_str());
      return 127;
    }
    // glibc's pidfd_open declaration lacks C linkage for C++; the system call is the same.
    zarn::UniqueFd child(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!child)
      return reap(pid); // no pidfd: the child alone decides when we end
    for (;;) {
      int timeout = -1;
      {
        std::lock_guard lock(m);
        if (session.expired(Clock::now()) == Session::Expired::unread) {
          std::fprintf(stderr, "zarn-emulator: host read none of its answers for %g s, dropped\n",
                       Session::seconds(limits.unread));
          session.end_of_stream();
          sim.clear_in();
          throttle();
        }
        timeout = session.wait_ms(Clock::now());
      }
      pollfd fds[2] = {{child.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}};
      const Wake woke = wait_events(fds, timeout, emulator.control);
      if (woke == Wake::failed) {
        std::perror("zarn-emulator: poll");
        return end_child(pid, child.get());
      }
      if (woke == Wake::stop) {
        // Stopped: the host goes with the printer it was using.
        std::fprintf(stderr, "zarn-emulator: stopping, ending %s\n", command.front().c_str());
        return end_child(pid, child.get());
      }
      if (fds[0].revents)
        return reap(pid);
      std::uint64_t count = 0;
      [[maybe_unused]] ssize_t n = ::read(wake.get(), &count, sizeof count);
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "zarn-emulator: USB: %s\n", e.what());
    return 1;
  }
}
#else
int run_usb(Emulator &, const std::vector<std::string> &)
{
  std::fprintf(stderr, "zarn-emulator: built without the USB transport (umockdev)\n");
  return 2;
}
#endif

} // namespace zarn::emu
