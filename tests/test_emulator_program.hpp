// The emulator program as the tests run it: a real process on loopback
// ports, a pty or a umockdev device, whose log the test reads.
#pragma once

#include "child_process.hpp"

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

} // namespace zarn::emu::test
