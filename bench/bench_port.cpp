// The port layer against the bare system calls it wraps, over loopback TCP.
// Every case is registered twice, as "<case>/zarn" and "<case>/raw";
// scripts/bench.sh pairs them up and prints the ratios.
#include "zarn.h"
#include "common/protocol.hpp"
#include "loopback.hpp"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// The status request as printerstatus puts it on the wire: its own line
// break, then the framing.
const std::string kStatusWire = std::string(zarn::protocol::kStatusRequest) + "\r\n";

// A loopback peer on its own thread. In sink mode it reads and discards;
// in status mode it answers every status request in the stream (whatever
// else comes with it) with one byte.
class Peer {
 public:
  enum class Mode { sink, status };

  explicit Peer(Mode mode) : mode_(mode)
  {
    listen_ = zarn::test::listen_on_loopback(port_, 16);
    worker_ = std::thread([this] { serve(); });
  }
  ~Peer()
  {
    shutdown(listen_, SHUT_RDWR);
    worker_.join();
    close(listen_);
  }
  int port() const { return port_; }

  // A connected socket with the one option openethernet sets: TCP_NODELAY,
  // without which small writes after the first wait for the peer's
  // delayed acknowledgement.
  int connect_raw() const
  {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
      std::abort();
    return fd;
  }

 private:
  void serve()
  {
    std::vector<char> buf(1 << 20);
    for (;;) {
      const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0)
        return;
      std::string seen; // the unanswered tail of the stream
      for (;;) {
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0)
          break;
        if (mode_ != Mode::status)
          continue;
        seen.append(buf.data(), static_cast<std::size_t>(n));
        for (std::size_t at; (at = seen.find(kStatusWire)) != std::string::npos;) {
          (void)!::send(fd, "\x20", 1, MSG_NOSIGNAL);
          seen.erase(0, at + kStatusWire.size());
        }
        if (seen.size() > kStatusWire.size())
          seen.erase(0, seen.size() - kStatusWire.size());
      }
      close(fd);
    }
  }

  Mode mode_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::thread worker_;
};

char *text(const char *s) { return const_cast<char *>(s); }

bool send_all(int fd, const char *data, std::size_t len)
{
  while (len > 0) {
    const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

constexpr std::size_t k16MiB = 16u << 20;

std::vector<unsigned char> &block()
{
  static std::vector<unsigned char> b = [] {
    std::vector<unsigned char> v(k16MiB);
    for (std::size_t i = 0; i < v.size(); ++i)
      v[i] = static_cast<unsigned char>(i * 131 + (i >> 10));
    return v;
  }();
  return b;
}

void send16_zarn(benchmark::State &state)
{
  Peer peer(Peer::Mode::sink);
  if (openethernet(text("127.0.0.1"), peer.port()) != 1) {
    state.SkipWithError("openethernet failed");
    return;
  }
  auto &b = block();
  for (auto _ : state)
    if (sendBinaryData(b.data(), static_cast<int>(b.size())) != 1)
      state.SkipWithError("send failed");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.size()));
  closeport();
}

void send16_raw(benchmark::State &state)
{
  Peer peer(Peer::Mode::sink);
  const int fd = peer.connect_raw();
  auto &b = block();
  for (auto _ : state)
    if (!send_all(fd, reinterpret_cast<const char *>(b.data()), b.size()))
      state.SkipWithError("send failed");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.size()));
  close(fd);
}

// A typical label line, as sendcommand gets it and as it goes on the wire.
constexpr char kCommand[] = "TEXT 100,100,\"3\",0,1,1,\"Hello\"";
constexpr char kFramed[] = "TEXT 100,100,\"3\",0,1,1,\"Hello\"\r\n";

void command_zarn(benchmark::State &state)
{
  Peer peer(Peer::Mode::sink);
  if (openethernet(text("127.0.0.1"), peer.port()) != 1) {
    state.SkipWithError("openethernet failed");
    return;
  }
  for (auto _ : state)
    if (sendcommand(text(kCommand)) != 1)
      state.SkipWithError("send failed");
  closeport();
}

void command_raw(benchmark::State &state)
{
  Peer peer(Peer::Mode::sink);
  const int fd = peer.connect_raw();
  for (auto _ : state)
    if (::send(fd, kFramed, sizeof kFramed - 1, MSG_NOSIGNAL) != sizeof kFramed - 1)
      state.SkipWithError("send failed");
  close(fd);
}

void status_zarn(benchmark::State &state)
{
  Peer peer(Peer::Mode::status);
  if (openethernet(text("127.0.0.1"), peer.port()) != 1) {
    state.SkipWithError("openethernet failed");
    return;
  }
  for (auto _ : state)
    if (printerstatus() != 32)
      state.SkipWithError("wrong status");
  closeport();
}

// What printerstatus amounts to with bare calls: the framed request, a wait
// for readability, one receive.
void status_raw(benchmark::State &state)
{
  Peer peer(Peer::Mode::status);
  const int fd = peer.connect_raw();
  char reply[64];
  for (auto _ : state) {
    if (!send_all(fd, kStatusWire.data(), kStatusWire.size())) {
      state.SkipWithError("send failed");
      break;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1 || recv(fd, reply, sizeof reply, 0) != 1 || reply[0] != 0x20) {
      state.SkipWithError("no status");
      break;
    }
  }
  close(fd);
}

// A whole label and a status query: the calls a host makes for one label,
// each its own small send.
void label_zarn(benchmark::State &state)
{
  Peer peer(Peer::Mode::status);
  if (openethernet(text("127.0.0.1"), peer.port()) != 1) {
    state.SkipWithError("openethernet failed");
    return;
  }
  for (auto _ : state) {
    setup(text("100"), text("60"), text("4"), text("8"), text("0"), text("3"), text("0"));
    clearbuffer();
    printerfont(text("40"), text("40"), text("3"), text("0"), text("1"), text("1"), text("Hello"));
    printerfont(text("40"), text("90"), text("3"), text("0"), text("1"), text("1"), text("label"));
    printerfont(text("40"), text("140"), text("2"), text("0"), text("1"), text("1"), text("world"));
    barcode(text("40"), text("200"), text("128"), text("80"), text("1"), text("0"), text("2"),
            text("2"), text("ZARN-0001"));
    printlabel(text("1"), text("1"));
    if (printerstatus() != 32) {
      state.SkipWithError("wrong status");
      break;
    }
  }
  closeport();
}

// The same label bytes, then the same status round trip as status_raw.
constexpr std::string_view kLabelLines[] = {
    "SIZE 100 mm,60 mm\r\n",
    "SPEED 4\r\n",
    "DENSITY 8\r\n",
    "GAP 3 mm,0 mm\r\n",
    "CLS\r\n",
    "TEXT 40,40,\"3\",0,1,1,\"Hello\"\r\n",
    "TEXT 40,90,\"3\",0,1,1,\"label\"\r\n",
    "TEXT 40,140,\"2\",0,1,1,\"world\"\r\n",
    "BARCODE 40,200,\"128\",80,1,0,2,2,\"ZARN-0001\"\r\n",
    "PRINT 1,1\r\n",
};

// per_line false: the whole label in one write (the target to compare
// with); true: one write per line, as the library must make them, which
// shows what is the library's own cost and what the writes' own.
void label_raw(benchmark::State &state, bool per_line)
{
  Peer peer(Peer::Mode::status);
  const int fd = peer.connect_raw();
  std::string whole;
  for (std::string_view line : kLabelLines)
    whole += line;
  char reply[64];
  for (auto _ : state) {
    bool sent = true;
    if (per_line) {
      for (std::string_view line : kLabelLines)
        sent = sent && send_all(fd, line.data(), line.size());
    } else {
      sent = send_all(fd, whole.data(), whole.size());
    }
    if (!sent || !send_all(fd, kStatusWire.data(), kStatusWire.size())) {
      state.SkipWithError("send failed");
      break;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1 || recv(fd, reply, sizeof reply, 0) != 1 || reply[0] != 0x20) {
      state.SkipWithError("no status");
      break;
    }
  }
  close(fd);
}

// Blocking I/O: wall time is what a host waits; CPU time would hide it.
BENCHMARK(send16_zarn)
    ->Name("sendBinaryData_16MiB/zarn")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);
BENCHMARK(send16_raw)
    ->Name("sendBinaryData_16MiB/raw")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);
BENCHMARK(command_zarn)->Name("sendcommand/zarn")->UseRealTime()->Unit(benchmark::kNanosecond);
BENCHMARK(command_raw)->Name("sendcommand/raw")->UseRealTime()->Unit(benchmark::kNanosecond);
BENCHMARK(status_zarn)
    ->Name("printerstatus_round_trip/zarn")
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(status_raw)
    ->Name("printerstatus_round_trip/raw")
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(label_zarn)->Name("label_and_status/zarn")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(label_raw, whole, false)
    ->Name("label_and_status/raw")
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(label_raw, per_line, true)
    ->Name("label_and_status/raw_per_line")
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
