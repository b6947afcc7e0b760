// SPDX-License-Identifier: MIT
// The port layer against the bare system calls it wraps, over loopback TCP.
// Every case is registered twice, as "<case>/zarn" and "<case>/raw";
// scripts/bench.sh pairs them up and prints the ratios.
#include "zarn.h"
#include "common/protocol.hpp"
#include "host_calls.hpp"
#include "loopback_peer.hpp"

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

using Peer = zarn::test::LoopbackPeer;

using zarn::test::text;

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

// The library's connection to peer; false, with the benchmark told why,
// when it cannot be opened.
bool open_library_connection(const Peer &peer, benchmark::State &state)
{
  if (openethernet(text("127.0.0.1"), peer.port()) == 1)
    return true;
  state.SkipWithError("openethernet failed");
  return false;
}

// The status request on a raw socket, and its one-byte reply.
bool status_round_trip(int fd)
{
  char reply[64];
  if (!send_all(fd, kStatusWire.data(), kStatusWire.size()))
    return false;
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 10000) == 1 && recv(fd, reply, sizeof reply, 0) == 1 && reply[0] == 0x20;
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
  if (!open_library_connection(peer, state))
    return;
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
  if (!open_library_connection(peer, state))
    return;
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
  if (!open_library_connection(peer, state))
    return;
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
  for (auto _ : state)
    if (!status_round_trip(fd)) {
      state.SkipWithError("no status");
      break;
    }
  close(fd);
}

// A whole label and a status query: the calls a host makes for one label,
// each its own small send.
void label_zarn(benchmark::State &state)
{
  Peer peer(Peer::Mode::status);
  if (!open_library_connection(peer, state))
    return;
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
  for (auto _ : state) {
    bool sent = true;
    if (per_line) {
      for (std::string_view line : kLabelLines)
        sent = sent && send_all(fd, line.data(), line.size());
    } else {
      sent = send_all(fd, whole.data(), whole.size());
    }
    if (!sent || !status_round_trip(fd)) {
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
