// SPDX-License-Identifier: MIT
// Load: 10,000 labels from the library to the emulated printer over one TCP
// connection. The printer side keeps every byte it read, so the whole stream
// is compared with what the host meant to send, and the printer must have
// printed every label, in order, without a single problem.
#include "fake_printer.hpp" // open_descriptor_count
#include "loopback.hpp"
#include "common/handle.hpp"
#include "common/protocol.hpp"
#include "printer.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using zarn::test::since;
using zarn::test::text;

namespace {

// The printer model behind a loopback listener, served from one thread:
// every byte read is kept and fed to the model, every reply written back.
class EmulatedTcpPrinter {
 public:
  EmulatedTcpPrinter()
  {
    zarn::emu::PrinterConfig config;
    config.font_path = ZARN_EMULATOR_FONT;
    printer_ = std::make_unique<zarn::emu::Printer>(config);
    printer_->set_log([this](const std::string &s) { log_.push_back(s); });
    printer_->set_printed(
        [this](const zarn::emu::PrintedLabel &l) { numbers_.push_back(l.number); });

    listen_.reset(zarn::test::listen_on_loopback(port_, 4));
    worker_ = std::thread([this] { serve(); });
  }
  ~EmulatedTcpPrinter()
  {
    shutdown(listen_.get(), SHUT_RDWR);
    if (worker_.joinable())
      worker_.join();
  }
  int port() const { return port_; }
  // Read once the host has closed and the worker has finished the stream.
  void wait_done()
  {
    if (worker_.joinable())
      worker_.join();
  }
  const std::string &received() const { return received_; }
  const std::vector<int> &numbers() const { return numbers_; }
  const std::vector<std::string> &log() const { return log_; }
  std::uint64_t problems() const { return printer_->problems(); }

 private:
  void serve()
  {
    const zarn::UniqueFd fd(accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd)
      return;
    std::vector<std::uint8_t> buf(1 << 16);
    for (;;) {
      const ssize_t n = read(fd.get(), buf.data(), buf.size());
      if (n <= 0)
        break;
      received_.append(reinterpret_cast<const char *>(buf.data()), static_cast<std::size_t>(n));
      printer_->feed(buf.data(), static_cast<std::size_t>(n));
      const std::string reply = printer_->take_replies();
      if (!reply.empty())
        (void)!::send(fd.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    printer_->end_of_stream();
  }

  std::unique_ptr<zarn::emu::Printer> printer_;
  std::string received_;
  std::vector<int> numbers_;
  std::vector<std::string> log_;
  zarn::UniqueFd listen_;
  std::uint16_t port_ = 0;
  std::thread worker_;
};

TEST(EmulatorLoad, TenThousandLabelsOverTcpEveryByteAccountedFor)
{
  constexpr int kLabels = 10000;
  EmulatedTcpPrinter printer;
  const int fds = zarn::test::open_descriptor_count();
  ASSERT_EQ(openethernet(text("127.0.0.1"), printer.port()), 1);

  std::string expected;
  auto line = [&](const std::string &s) { expected += s + "\r\n"; };
  // A small label keeps each print cheap to render.
  ASSERT_EQ(setup(text("20"), text("10"), text("4"), text("8"), text("0"), text("2"), text("0")),
            1);
  line("SIZE 20 mm,10 mm");
  line("SPEED 4");
  line("DENSITY 8");
  line("GAP 2 mm,0 mm");
  for (int i = 0; i < kLabels; ++i) {
    const std::string n = std::to_string(i);
    ASSERT_EQ(clearbuffer(), 1);
    line("CLS");
    ASSERT_EQ(printerfont(text("8"), text("8"), text("1"), text("0"), text("1"), text("1"),
                          text("No " + n)),
              1);
    line("TEXT 8,8,\"1\",0,1,1,\"No " + n + "\"");
    ASSERT_EQ(printlabel(text("1"), text("1")), 1);
    line("PRINT 1,1");
  }
  // The status round trip proves the printer has worked through all of it.
  EXPECT_GE(printerstatus(), 0);
  expected += std::string(zarn::protocol::kStatusRequest) + "\r\n";
  EXPECT_EQ(closeport(), 1);
  printer.wait_done();

  EXPECT_EQ(printer.received().size(), expected.size());
  EXPECT_TRUE(printer.received() == expected) << "the stream differs from what was sent";
  ASSERT_EQ(printer.numbers().size(), static_cast<std::size_t>(kLabels));
  for (int i = 0; i < kLabels; ++i)
    ASSERT_EQ(printer.numbers()[static_cast<std::size_t>(i)], i + 1);
  EXPECT_EQ(printer.problems(), 0u) << (printer.log().empty() ? "" : printer.log().front());
  EXPECT_EQ(zarn::test::open_descriptor_count(), fds);
}

} // namespace
