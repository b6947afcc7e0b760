// SPDX-License-Identifier: MIT
// The printer on a serial line: a pseudo-terminal whose far end a host
// opens like a tty; as root also reachable as /dev/NAME.
#include "stop.hpp"
#include "transports.hpp"

#include "common/handle.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

namespace zarn::emu {
namespace {

// The /dev link to our terminal.
struct DevLink {
  std::string link, target;
};

// Removes the link when the emulator ends, but only while it still points at
// our terminal (another run may have taken the name since).
void remove_dev_link(DevLink *d)
{
  char buf[PATH_MAX];
  const ssize_t n = ::readlink(d->link.c_str(), buf, sizeof buf - 1);
  if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == d->target)
    ::unlink(d->link.c_str());
  delete d;
}

} // namespace

int run_serial(Emulator &emulator, const std::string &name)
{
  const Faults &faults = emulator.faults;
  const HostLimits &limits = emulator.limits;
  if (name.empty() || name.find('/') != std::string::npos) {
    std::fprintf(stderr, "zarn-emulator: --serial takes a device name such as ttyZARN0\n");
    return 2;
  }
  zarn::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
    std::perror("zarn-emulator: pseudo-terminal");
    return 1;
  }
  char slave_path[PATH_MAX];
  if (::ptsname_r(master.get(), slave_path, sizeof slave_path) != 0) {
    std::perror("zarn-emulator: ptsname");
    return 1;
  }
  // Holding the far end open keeps the line up between hosts: without it
  // the master reads EIO whenever no host has the tty open.
  zarn::UniqueFd slave(::open(slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave) {
    std::perror("zarn-emulator: open pseudo-terminal");
    return 1;
  }
  // Raw from the start: the line discipline must not echo our replies back
  // to us or turn CR into LF before a host has set the line up itself.
  termios tio{};
  if (::tcgetattr(slave.get(), &tio) == 0) {
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    ::tcsetattr(slave.get(), TCSANOW, &tio);
  }

  zarn::Owned<DevLink, remove_dev_link> dev_link;
  const std::string dev = "/dev/" + name;
  if (::geteuid() == 0) {
    struct stat st {};
    if (::lstat(dev.c_str(), &st) == 0) {
      char buf[PATH_MAX];
      const ssize_t n = ::readlink(dev.c_str(), buf, sizeof buf - 1);
      // A link left behind into /dev/pts by an earlier run may go; anything
      // else under that name is not ours to replace.
      if (!S_ISLNK(st.st_mode) || n <= 0 ||
          std::string(buf, static_cast<std::size_t>(n)).rfind("/dev/pts/", 0) != 0) {
        std::fprintf(stderr, "zarn-emulator: %s exists and is not an old emulator link\n",
                     dev.c_str());
        return 1;
      }
      ::unlink(dev.c_str());
    }
    if (::symlink(slave_path, dev.c_str()) != 0) {
      std::fprintf(stderr, "zarn-emulator: cannot link %s: %s\n", dev.c_str(),
                   std::strerror(errno));
      return 1;
    }
    dev_link.reset(new DevLink{dev, slave_path});
    std::printf("serial line %s, linked as %s (openport(\"%s\"))\n", slave_path, dev.c_str(),
                name.c_str());
  } else {
    std::printf("serial line %s (not root: no %s link)\n", slave_path, dev.c_str());
  }
  if (name.rfind("tty", 0) != 0)
    std::fprintf(stderr,
                 "zarn-emulator: note: openport() only opens names that begin with \"tty\"\n");
  std::fflush(stdout);

  // Answers are written without blocking: a host that does not read must
  // not stop the printer from reading on or from ending.
  ::fcntl(master.get(), F_SETFL, ::fcntl(master.get(), F_GETFL) | O_NONBLOCK);
  Session session(emulator.printer, faults, limits);
  std::vector<std::uint8_t> buf(64 * 1024);
  bool said_cut = false;
  for (;;) {
    // A serial line never shows that a host went away: silence for the idle
    // limit ends the connection, and answers nobody reads are dropped.
    const auto expired = session.expired(Clock::now());
    if (expired == Session::Expired::unread) {
      std::fprintf(stderr, "zarn-emulator: host read none of its answers for %g s, dropped\n",
                   Session::seconds(limits.unread));
      ::tcflush(slave.get(), TCIFLUSH); // what already waits in the line, too
      session.end_of_stream();
      said_cut = false;
    } else if (expired == Session::Expired::idle) {
      std::fprintf(stderr, "zarn-emulator: serial line silent for %g s, connection ended\n",
                   Session::seconds(limits.idle));
      session.end_of_stream();
      said_cut = false;
    }
    const auto now = Clock::now();
    const short events = static_cast<short>((session.wants_input() ? POLLIN : 0) |
                                            (session.due(now).empty() ? 0 : POLLOUT));
    pollfd line{master.get(), events, 0};
    const Wake wake = wait_events({&line, 1}, session.wait_ms(now), emulator.control);
    if (wake == Wake::failed) {
      std::perror("zarn-emulator: poll");
      return 1;
    }
    if (wake == Wake::stop)
      return 0;
    if (session.wants_input() && (line.revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t got = ::read(master.get(), buf.data(), buf.size());
      if (got < 0 && (errno == EINTR || errno == EAGAIN))
        continue;
      if (got < 0) {
        std::perror("zarn-emulator: read");
        return 1;
      }
      // A serial line cannot be hung up from here: once cut, the printer
      // reads on (so the host never blocks) and stays silent.
      if (!session.receive(buf.data(), static_cast<std::size_t>(got), Clock::now()) && !said_cut) {
        std::fprintf(stderr, "zarn-emulator: silent after %llu bytes (--close-after)\n",
                     faults.close_after);
        said_cut = true;
      }
    }
    if (!send_due(session, master.get(), false)) {
      std::perror("zarn-emulator: write");
      session.end_of_stream();
    }
  }
}

} // namespace zarn::emu
