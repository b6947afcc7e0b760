// SPDX-License-Identifier: MIT
// One printer connection: opening by address with the one-per-process
// guard, status with the kind of reply, queries, waiting and sending.
//
// On TCP and serial the host layer learns silence by waiting on the
// connection itself for the host's chosen time; libzarn's own queries would
// take their whole 10 s receive wait to say nothing. On USB libusb hides
// the transfer, so there silence is still told by the time the query took.
#include "common/console.hpp"
#include "core.hpp"
#include "printer.hpp"
#include "wire/wire.hpp"
#include "zarn.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace zarn::client {

std::string format_address(const zarn_client_address &a);

namespace {

using Clock = std::chrono::steady_clock;

// libzarn's receive wait on USB; a query that took this long heard nothing.
constexpr auto kUsbReplyWait = std::chrono::milliseconds(10000);
constexpr std::size_t kProgressPiece = 2048;
constexpr std::string_view kReceiveFailed = "Receive Failed\r\n";

// One connection per process, in this one library, whoever includes which
// header: every front end shares this flag.
std::atomic<bool> g_taken{false};

// The library's constant empty reply, learnt once while no connection is
// open (sendcommand_getstring gives it then and sends nothing), so an
// allocated empty reply can still be released.
std::once_flag g_constants_once;
const char *g_empty_reply = nullptr;

void learn_constants()
{
  std::call_once(g_constants_once, [] {
    if (openportStatus != 1) {
      char none[] = "";
      g_empty_reply = sendcommand_getstring(none);
    }
  });
}

std::string take_reply(char *reply)
{
  if (reply == nullptr)
    return {};
  std::string s(reply);
  zarn_client_free_reply(reply);
  return s;
}

enum class Readiness { readable, silent, hung_up, failed };

// Waits until fd has a byte to read, hangs up, or timeout passes.
Readiness wait_readable(int fd, bool tcp, std::chrono::milliseconds timeout)
{
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    pollfd p{fd, static_cast<short>(POLLIN | (tcp ? POLLRDHUP : 0)), 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int rc = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (rc < 0 && errno == EINTR)
      continue;
    if (rc < 0)
      return Readiness::failed;
    if (rc == 0)
      return Readiness::silent;
    if (p.revents & POLLIN)
      return Readiness::readable;
    if (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL))
      return Readiness::hung_up;
    return Readiness::failed;
  }
}

// Whether the TCP peer closed or the serial line hung up.
bool peer_gone(int fd, bool tcp)
{
  pollfd p{fd, static_cast<short>(POLLIN | (tcp ? POLLRDHUP : 0)), 0};
  int rc;
  do
    rc = ::poll(&p, 1, 0);
  while (rc < 0 && errno == EINTR);
  if (rc <= 0)
    return false;
  if (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))
    return true;
  if (tcp && (p.revents & POLLIN)) {
    char byte;
    ssize_t n;
    do
      n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return n == 0;
  }
  return false;
}

// Reads what is there now without waiting: count of bytes, 0 when the peer
// closed, -1 on failure.
ssize_t read_now(int fd, bool tcp, char *buf, std::size_t size)
{
  ssize_t n;
  do
    n = tcp ? ::recv(fd, buf, size, MSG_DONTWAIT) : ::read(fd, buf, size);
  while (n < 0 && errno == EINTR);
  return n;
}

// Drops a reply that came after its request gave up, so it is never taken
// for the answer to the next one.
void drop_late_replies(int fd, bool tcp)
{
  if (!tcp) {
    ::tcflush(fd, TCIFLUSH);
    return;
  }
  char buf[512];
  for (int i = 0; i < 1024; ++i) { // bounded: a printer that streams cannot hold us
    const ssize_t n = read_now(fd, true, buf, sizeof buf);
    if (n <= 0)
      return;
  }
}

} // namespace

Connection::Kind Connection::kind() const
{
  if (openUsbPortResult == 1)
    return Kind::usb;
  if (openSerialPortResult == 1)
    return Kind::serial;
  return Kind::tcp;
}

void Connection::require_open() const
{
  if (!open)
    fail(ZARN_CLIENT_ERR_CLOSED, "the printer connection to " + described + " is closed");
  if (openportStatus != 1)
    fail(ZARN_CLIENT_ERR_CLOSED,
         "the printer connection to " + described + " was closed from outside (closeport)");
}

int Connection::fd() const { return kind() == Kind::tcp ? net_socket : tty_device; }

void Connection::send_line(std::string_view line)
{
  require_open();
  std::string copy(line);
  if (sendcommand(copy.data()) != 1)
    fail(ZARN_CLIENT_ERR_SEND, "cannot send to the printer at " + described);
}

void Connection::send_bytes(const void *data, std::size_t size, zarn_client_progress progress,
                            void *context)
{
  require_open();
  const std::size_t piece = progress ? kProgressPiece : static_cast<std::size_t>(INT_MAX);
  const auto *bytes = static_cast<const unsigned char *>(data);
  std::size_t done = 0;
  while (done < size) {
    const std::size_t n = std::min(piece, size - done);
    if (sendBinaryData(const_cast<unsigned char *>(bytes + done), static_cast<int>(n)) != 1)
      fail(ZARN_CLIENT_ERR_SEND, "cannot send to the printer at " + described + " (" +
                                     std::to_string(done) + " of " + std::to_string(size) +
                                     " bytes went out)");
    done += n;
    if (progress)
      progress(done, size, context);
  }
}

// Sends the request lines and waits for the first byte of the answer.
// Returns the reply kind; answered means a byte is waiting to be read.
zarn_client_reply Connection::ask(std::initializer_list<std::string_view> lines)
{
  require_open();
  const int f = fd();
  const bool tcp = kind() == Kind::tcp;
  drop_late_replies(f, tcp);
  for (const std::string_view line : lines)
    send_line(line);
  switch (wait_readable(f, tcp, std::chrono::milliseconds(reply_timeout_ms))) {
  case Readiness::readable:
    return peer_gone(f, tcp) ? ZARN_CLIENT_REPLY_DISCONNECTED : ZARN_CLIENT_REPLY_ANSWERED;
  case Readiness::silent: return ZARN_CLIENT_REPLY_NONE;
  case Readiness::hung_up: return ZARN_CLIENT_REPLY_DISCONNECTED;
  case Readiness::failed: break;
  }
  return ZARN_CLIENT_REPLY_RECEIVE_FAILED;
}

zarn_client_printer_status Connection::status()
{
  require_open();
  if (kind() != Kind::usb) {
    const zarn_client_reply r = ask({wire::kStatusRequest});
    if (r != ZARN_CLIENT_REPLY_ANSWERED)
      return {r, 0};
    char buf[256];
    const ssize_t n = read_now(fd(), kind() == Kind::tcp, buf, sizeof buf);
    if (n == 0)
      return {ZARN_CLIENT_REPLY_DISCONNECTED, 0};
    if (n < 0)
      return {ZARN_CLIENT_REPLY_RECEIVE_FAILED, 0};
    return {ZARN_CLIENT_REPLY_ANSWERED, static_cast<unsigned char>(buf[0])};
  }
  // USB: printerstatus gives 0 both for the byte 0 and for nothing, 82 both
  // for a failed receive and the byte 0x52; the time taken and one more
  // receive tell them apart.
  const auto silent = [](Clock::time_point start) {
    return Clock::now() - start >= kUsbReplyWait - kUsbReplyWait / 20;
  };
  auto start = Clock::now();
  const int code = printerstatus();
  if (code == 0)
    return silent(start) ? zarn_client_printer_status{ZARN_CLIENT_REPLY_NONE, 0}
                         : zarn_client_printer_status{ZARN_CLIENT_REPLY_ANSWERED, 0};
  if (code != 'R')
    return {ZARN_CLIENT_REPLY_ANSWERED, static_cast<unsigned char>(code)};
  if (silent(start))
    return {ZARN_CLIENT_REPLY_NONE, 0}; // a transfer that timed out
  start = Clock::now();
  std::string request(wire::kStatusRequest);
  if (sendcommand(request.data()) != 1)
    return {ZARN_CLIENT_REPLY_RECEIVE_FAILED, 0}; // the device is gone: transfers fail at once
  char none[] = "";
  const std::string reply = take_reply(Read(none));
  if (reply == kReceiveFailed)
    return {silent(start) ? ZARN_CLIENT_REPLY_NONE : ZARN_CLIENT_REPLY_RECEIVE_FAILED, 0};
  if (reply.empty())
    return {silent(start) ? ZARN_CLIENT_REPLY_NONE : ZARN_CLIENT_REPLY_ANSWERED, 0};
  return {ZARN_CLIENT_REPLY_ANSWERED, static_cast<unsigned char>(reply[0])};
}

zarn_client_reply Connection::query(std::initializer_list<std::string_view> lines,
                                    const char *terminator, std::string &out)
{
  require_open();
  std::string reply;
  if (kind() == Kind::usb) {
    // libzarn's own queries, timed: nothing else shows silence on USB.
    const auto start = Clock::now();
    std::vector<std::string_view> v(lines);
    if (v.size() == 2) {
      std::string command(v[0]);
      reply = take_reply(sendcommand_getstring(command.data()));
    } else {
      for (const std::string_view line : v)
        send_line(line);
      char t[16] = {};
      std::strncpy(t, terminator, sizeof t - 1);
      reply = take_reply(Read(t));
    }
    if (reply == kReceiveFailed)
      return ZARN_CLIENT_REPLY_RECEIVE_FAILED;
    if (reply.empty() && Clock::now() - start >= kUsbReplyWait - kUsbReplyWait / 20)
      return ZARN_CLIENT_REPLY_NONE;
    out = std::move(reply);
    return ZARN_CLIENT_REPLY_ANSWERED;
  }
  const zarn_client_reply r = ask(lines);
  if (r != ZARN_CLIENT_REPLY_ANSWERED)
    return r;
  char t[16] = {};
  std::strncpy(t, terminator, sizeof t - 1);
  reply = take_reply(Read(t));
  if (reply == kReceiveFailed)
    return ZARN_CLIENT_REPLY_RECEIVE_FAILED;
  if (reply.empty() && peer_gone(fd(), kind() == Kind::tcp))
    return ZARN_CLIENT_REPLY_DISCONNECTED;
  out = std::move(reply);
  return ZARN_CLIENT_REPLY_ANSWERED;
}

void Connection::close_now()
{
  if (open) {
    // Closed only while it is still ours: a connection someone closed
    // from outside may since be another's.
    if (openportStatus == 1)
      closeport();
    open = false;
    g_taken.store(false);
  }
}

namespace {

void open_serial(Connection &c, const zarn_client_address &a)
{
  const std::string device(a.device, strnlen(a.device, sizeof a.device));
  const std::string path = "/dev/" + device;
  if (!device.starts_with("tty") || device.find('/') != std::string::npos)
    fail(ZARN_CLIENT_ERR_ADDRESS,
         "bad serial device '" + printable(device) + "': a name under /dev beginning with tty");
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || ::access(path.c_str(), R_OK | W_OK) != 0)
    fail(ZARN_CLIENT_ERR_CONNECT,
         "cannot open the serial printer " + path + ": " + std::strerror(errno));
  if (S_ISCHR(st.st_mode) && zarn::is_console(st.st_rdev))
    fail(ZARN_CLIENT_ERR_CONNECT,
         "cannot use the serial printer " + path +
             ": it is a console (a screen and keyboard), not a serial line");
  {
    // openport refuses anything but a terminal; say so rather than just fail.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool terminal = fd >= 0 && ::isatty(fd);
    if (fd >= 0)
      ::close(fd);
    if (!terminal)
      fail(ZARN_CLIENT_ERR_CONNECT,
           "cannot use the serial printer " + path + ": it is not a terminal");
  }
  std::string name = device;
  if (openport(name.data()) != 1)
    fail(ZARN_CLIENT_ERR_CONNECT, "cannot open the serial printer " + path);
  const bool defaults = a.baud == 115200 && a.parity == 'N' && a.data_bits == 8 && a.stop_bits == 1;
  if (!defaults) {
    set_Speed(a.baud);
    if (set_Parity(a.data_bits, a.stop_bits, a.parity) != 1) {
      closeport();
      fail(ZARN_CLIENT_ERR_CONNECT,
           "cannot use the serial printer " + path + ": its line settings cannot be applied");
    }
  }
  (void)c;
}

void open_tcp(Connection &c, const zarn_client_address &a)
{
  const std::string host(a.host, strnlen(a.host, sizeof a.host));
  std::vector<std::string> candidates;
  in_addr numeric{};
  if (::inet_pton(AF_INET, host.c_str(), &numeric) == 1) {
    candidates.push_back(host);
  } else {
    addrinfo hints{};
    hints.ai_family = AF_INET; // the library connects over IPv4 only
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0)
      fail(ZARN_CLIENT_ERR_CONNECT,
           "cannot find the printer host '" + printable(host) + "': " + ::gai_strerror(rc));
    for (const addrinfo *ai = found; ai != nullptr; ai = ai->ai_next) {
      char text[INET_ADDRSTRLEN] = {};
      const auto *sin = reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
      if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr &&
          std::find(candidates.begin(), candidates.end(), text) == candidates.end())
        candidates.emplace_back(text);
    }
    ::freeaddrinfo(found);
  }
  std::string why = "no IPv4 address";
  for (std::string &ip : candidates) {
    errno = 0;
    if (openethernet(ip.data(), a.port) == 1) {
      if (ip != host)
        c.described += " (" + ip + ":" + std::to_string(a.port) + ")";
      return;
    }
    why = ip + ": " + (errno != 0 ? std::strerror(errno) : "cannot connect");
  }
  fail(ZARN_CLIENT_ERR_CONNECT,
       "cannot connect to the printer at " + format_address(a) + " (" + why + ")");
}

} // namespace

void open_connection(Connection &c, const zarn_client_address &a)
{
  c.described = format_address(a);
  if (g_taken.exchange(true))
    fail(ZARN_CLIENT_ERR_BUSY, "cannot open " + c.described +
                                   ": this process already has a printer open (the library "
                                   "holds one connection per process)");
  try {
    if (openportStatus == 1)
      fail(ZARN_CLIENT_ERR_BUSY,
           "cannot open " + c.described +
               ": a connection opened with openport or openethernet is open in this process; "
               "close it first");
    learn_constants();
    switch (a.kind) {
    case ZARN_CLIENT_USB: {
      char usb[] = "USB";
      if (openport(usb) != 1)
        fail(ZARN_CLIENT_ERR_CONNECT,
             "cannot open the USB printer: no device with the printer vendor ID could be opened "
             "(none attached, no permission on its /dev/bus/usb node, or held by another "
             "program)");
      break;
    }
    case ZARN_CLIENT_SERIAL: open_serial(c, a); break;
    case ZARN_CLIENT_TCP: open_tcp(c, a); break;
    default: fail(ZARN_CLIENT_ERR_ARGUMENT, "unknown address kind");
    }
  } catch (...) {
    g_taken.store(false);
    throw;
  }
  c.address = a;
  c.open = true;
}

} // namespace zarn::client

using namespace zarn::client;

extern "C" {

void zarn_client_free_reply(char *reply)
{
  if (reply == nullptr || reply == g_empty_reply)
    return;
  if (std::string_view(reply) == kReceiveFailed)
    return; // the library's constant, or a printer's text that reads the same: kept
  if (reply[0] == '\0' && g_empty_reply == nullptr)
    return; // cannot tell an allocated empty reply from the constant yet
  delete[] reply;
}

zarn_client_status zarn_client_open_address(const zarn_client_address *address,
                                            zarn_client_printer **printer)
{
  if (printer != nullptr)
    *printer = nullptr;
  return guarded([&] {
    if (address == nullptr || printer == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "an address and a place for the printer are needed");
    auto p = std::make_unique<zarn_client_printer>();
    open_connection(p->connection, *address);
    *printer = p.release();
  });
}

zarn_client_status zarn_client_open(const char *address, zarn_client_printer **printer)
{
  if (printer != nullptr)
    *printer = nullptr;
  zarn_client_address a;
  const zarn_client_status s = zarn_client_address_parse(address, &a);
  return s != ZARN_CLIENT_OK ? s : zarn_client_open_address(&a, printer);
}

void zarn_client_close(zarn_client_printer *printer)
{
  if (printer == nullptr)
    return;
  printer->connection.close_now();
  delete printer;
}

const char *zarn_client_describe(const zarn_client_printer *printer)
{
  return printer != nullptr ? printer->connection.described.c_str() : "";
}

zarn_client_status zarn_client_set_reply_timeout(zarn_client_printer *printer, int milliseconds)
{
  return guarded([&] {
    if (printer == nullptr || milliseconds < 1 || milliseconds > 60000)
      fail(ZARN_CLIENT_ERR_ARGUMENT,
           "the reply timeout is from 1 to 60000 ms, not " + std::to_string(milliseconds));
    printer->connection.reply_timeout_ms = milliseconds;
  });
}

zarn_client_status zarn_client_status_get(zarn_client_printer *printer,
                                          zarn_client_printer_status *status)
{
  return guarded([&] {
    if (printer == nullptr || status == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a printer and a place for its status are needed");
    *status = printer->connection.status();
  });
}

char *zarn_client_status_words(const zarn_client_printer_status *status)
{
  char *out = nullptr;
  guarded([&] {
    if (status == nullptr)
      return;
    switch (status->reply) {
    case ZARN_CLIENT_REPLY_ANSWERED: out = c_string(zarn::wire::status_words(status->bits)); break;
    case ZARN_CLIENT_REPLY_NONE: out = c_string("no reply"); break;
    case ZARN_CLIENT_REPLY_RECEIVE_FAILED: out = c_string("receive failed"); break;
    case ZARN_CLIENT_REPLY_DISCONNECTED: out = c_string("disconnected"); break;
    }
  });
  return out;
}

const char *zarn_client_condition_text(unsigned bit)
{
  for (const auto &w : zarn::wire::kStatusWords)
    if (w.bit == bit)
      return w.words;
  return "";
}

zarn_client_outcome zarn_client_outcome_of(const zarn_client_printer_status *status)
{
  if (status == nullptr || status->reply != ZARN_CLIENT_REPLY_ANSWERED)
    return ZARN_CLIENT_OUTCOME_NO_REPLY;
  for (const auto &w : zarn::wire::kStatusWords) {
    if (!(status->bits & w.bit))
      continue;
    switch (w.bit) {
    case ZARN_CLIENT_BIT_PAPER_OUT: return ZARN_CLIENT_OUTCOME_PAPER_OUT;
    case ZARN_CLIENT_BIT_RIBBON_OUT: return ZARN_CLIENT_OUTCOME_RIBBON_OUT;
    case ZARN_CLIENT_BIT_PAPER_JAM: return ZARN_CLIENT_OUTCOME_PAPER_JAM;
    case ZARN_CLIENT_BIT_HEAD_OPEN:
    case ZARN_CLIENT_BIT_COVER_OPEN: return ZARN_CLIENT_OUTCOME_HEAD_OR_COVER_OPEN;
    case ZARN_CLIENT_BIT_TEMPERATURE: return ZARN_CLIENT_OUTCOME_TEMPERATURE;
    case ZARN_CLIENT_BIT_PAUSED: return ZARN_CLIENT_OUTCOME_PAUSED;
    case ZARN_CLIENT_BIT_PRINTING: return ZARN_CLIENT_OUTCOME_TIMED_OUT;
    }
  }
  return ZARN_CLIENT_OUTCOME_PRINTED;
}

const char *zarn_client_outcome_text(zarn_client_outcome outcome)
{
  switch (outcome) {
  case ZARN_CLIENT_OUTCOME_PRINTED: return "printed";
  case ZARN_CLIENT_OUTCOME_PAPER_OUT: return "paper out";
  case ZARN_CLIENT_OUTCOME_RIBBON_OUT: return "ribbon out";
  case ZARN_CLIENT_OUTCOME_PAPER_JAM: return "paper jam";
  case ZARN_CLIENT_OUTCOME_HEAD_OR_COVER_OPEN: return "head or cover open";
  case ZARN_CLIENT_OUTCOME_TEMPERATURE: return "temperature out of range";
  case ZARN_CLIENT_OUTCOME_PAUSED: return "paused";
  case ZARN_CLIENT_OUTCOME_NO_REPLY: return "no reply";
  case ZARN_CLIENT_OUTCOME_TIMED_OUT: return "timed out";
  }
  return "unknown";
}

zarn_client_status zarn_client_wait(zarn_client_printer *printer, int timeout_ms, int poll_ms,
                                    zarn_client_printer_status *last, zarn_client_outcome *outcome)
{
  return guarded([&] {
    if (printer == nullptr || outcome == nullptr || timeout_ms < 0 || poll_ms < 0)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a printer, a place for the outcome and times of 0 or more "
                                     "are needed");
    const auto pause = std::chrono::milliseconds(poll_ms == 0 ? 250 : poll_ms);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const zarn_client_printer_status s = printer->connection.status();
      if (last != nullptr)
        *last = s;
      *outcome = zarn_client_outcome_of(&s);
      if (*outcome != ZARN_CLIENT_OUTCOME_TIMED_OUT)
        return;
      const auto now = Clock::now();
      if (now >= deadline)
        return;
      std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    }
  });
}

zarn_client_status zarn_client_send(zarn_client_printer *printer, const char *line)
{
  return guarded([&] {
    if (printer == nullptr || line == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a printer and a line are needed");
    printer->connection.send_line(line);
  });
}

zarn_client_status zarn_client_send_binary(zarn_client_printer *printer, const void *data,
                                           size_t size, zarn_client_progress progress,
                                           void *context)
{
  return guarded([&] {
    if (printer == nullptr || (data == nullptr && size > 0))
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a printer and the bytes are needed");
    printer->connection.send_bytes(data, size, progress, context);
  });
}

namespace {

zarn_client_status answer(zarn_client_printer *printer,
                          std::initializer_list<std::string_view> lines, const char *terminator,
                          const std::string &what, bool trim, zarn_client_reply *reply, char **text)
{
  if (text != nullptr)
    *text = nullptr;
  return guarded([&] {
    if (printer == nullptr || text == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a printer and a place for the reply are needed");
    std::string out;
    const zarn_client_reply r = printer->connection.query(lines, terminator, out);
    if (reply != nullptr)
      *reply = r;
    const std::string &at = printer->connection.described;
    switch (r) {
    case ZARN_CLIENT_REPLY_ANSWERED: break;
    case ZARN_CLIENT_REPLY_NONE:
      fail(ZARN_CLIENT_ERR_REPLY, "no reply to " + what + " from the printer at " + at);
    case ZARN_CLIENT_REPLY_RECEIVE_FAILED:
      fail(ZARN_CLIENT_ERR_REPLY, "no complete reply to " + what + " from the printer at " + at);
    case ZARN_CLIENT_REPLY_DISCONNECTED:
      fail(ZARN_CLIENT_ERR_REPLY,
           "the printer at " + at + " disconnected before answering " + what);
    }
    if (trim)
      while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    *text = c_string(out);
  });
}

} // namespace

zarn_client_status zarn_client_query(zarn_client_printer *printer, const char *command,
                                     zarn_client_reply *reply, char **text)
{
  if (command == nullptr) {
    if (text != nullptr)
      *text = nullptr;
    return guarded([] { fail(ZARN_CLIENT_ERR_ARGUMENT, "a command is needed"); });
  }
  return answer(printer, {command, zarn::wire::kEndLineRequest}, zarn::wire::kEndLineReply,
                "'" + printable(command) + "'", false, reply, text);
}

zarn_client_status zarn_client_name(zarn_client_printer *printer, zarn_client_reply *reply,
                                    char **text)
{
  return answer(printer, {zarn::wire::kNameRequest}, "", "the name request", true, reply, text);
}

zarn_client_status zarn_client_serial(zarn_client_printer *printer, zarn_client_reply *reply,
                                      char **text)
{
  return answer(printer, {zarn::wire::kSerialRequest}, "", "the serial number request", true, reply,
                text);
}

} // extern "C"
