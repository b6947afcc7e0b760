// The port layer against the bare system calls it wraps, over loopback TCP.
// Every case is registered twice, as "<case>/zarn" and "<case>/raw";
// scripts/bench.sh pairs them up and prints the ratios.
#include "zarn.h"
#include "loopback.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A loopback peer on its own thread. In sink mode it reads and discards;
// in status mode it answers every complete status request with one byte.
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

  // A plain connected socket with default options, as openethernet makes.
  int connect_raw() const
  {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
      std::abort();
    return fd;
  }

 private:
  static constexpr std::size_t kRequest = 6; // ESC ! ? CR LF CR LF

  void serve()
  {
    std::vector<char> buf(1 << 20);
    for (;;) {
      const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0)
        return;
      std::size_t pending = 0;
      for (;;) {
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0)
          break;
        if (mode_ == Mode::status) {
          pending += static_cast<std::size_t>(n);
          for (; pending >= kRequest; pending -= kRequest)
            (void)!::send(fd, "\x20", 1, MSG_NOSIGNAL);
        }
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
    if (::send(fd, "\033!?\r\n\r\n", 6, MSG_NOSIGNAL) != 6) {
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

} // namespace

BENCHMARK_MAIN();
