// SPDX-License-Identifier: MIT
// The emulator program as the tests run it: a real process on loopback
// ports, a pty or a umockdev device, whose log the test reads.
#pragma once

#include "child_process.hpp"
#include "tcp_client.hpp"
#include "test_emulator_util.hpp"

#include "common/handle.hpp"
#include "test_emulator_util.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zarn::emu::test {

using zarn::test::ChildProcess;

inline std::string emulator_binary() { return ZARN_EMULATOR_BIN; }

// Starts zarn-emulator with args and waits until its log shows ready.
inline std::unique_ptr<ChildProcess> run_emulator(const std::vector<std::string> &args,
                                                  const std::filesystem::path &log,
                                                  const std::string &ready = "listening on")
{
  std::vector<std::string> argv{emulator_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  auto child = std::make_unique<ChildProcess>(argv, log,
                                              std::vector{zarn::test::asan_options_for_preload()});
  if (!ready.empty())
    child->wait_for(ready);
  return child;
}

inline int tcp_port(const ChildProcess &emu) { return emu.number_after("listening on 127.0.0.1:"); }

inline int control_port(const ChildProcess &emu)
{
  return emu.number_after("control on 127.0.0.1:");
}

// A client of the emulator's control port.
class ControlClient {
 public:
  explicit ControlClient(int port) : fd_(zarn::test::connect_loopback(port)) {}
  bool connected() const { return static_cast<bool>(fd_); }
  // Sends one line and returns the answer line, CR LF included.
  std::string say(const std::string &line)
  {
    if (!zarn::test::send_all(fd_.get(), line + "\n"))
      return "<not sent>";
    std::string answer;
    while (!answer.ends_with("\r\n")) {
      const std::string more = zarn::test::receive_for(fd_.get(), 1, std::chrono::seconds(5));
      if (more.empty())
        return answer + "<no answer>";
      answer += more;
    }
    return answer;
  }

 private:
  zarn::UniqueFd fd_;
};

// A test that runs the emulator program, with a fresh folder for its labels
// and logs.
class EmulatorProgramTest : public ::testing::Test {
 protected:
  // Starts the emulator writing to dir/out with args, and waits until its
  // log shows ready (nothing when empty).
  std::unique_ptr<ChildProcess> start(std::vector<std::string> args, const std::string &ready = "")
  {
    args.insert(args.begin(), {"--out", (dir.path / "out").string()});
    return run_emulator(args, dir.path / ("emulator-" + std::to_string(++runs_) + ".log"), ready);
  }
  // The same on a free loopback TCP port, which port_ then holds.
  std::unique_ptr<ChildProcess> start_tcp(std::vector<std::string> args)
  {
    args.insert(args.begin(), {"--tcp", "127.0.0.1:0"});
    auto emu = start(args, "listening on");
    port_ = tcp_port(*emu);
    EXPECT_GT(port_, 0) << emu->log();
    return emu;
  }

  TempDir dir;
  int port_ = -1;
  int runs_ = 0;
};

} // namespace zarn::emu::test
