// SPDX-License-Identifier: MIT
// A C99 host of libzarn-client against the emulator as a real process.
#include "cli_test_util.hpp"

#include <gtest/gtest.h>

namespace {

using namespace zarn::cli::test;

TEST(ClientCHost, OpensByAddressPrintsWaitsAndReadsTheStatus)
{
  TempDir dir;
  auto emulator = Emulator::tcp(dir.path, {"--print-time", "300"});
  ZARN_REQUIRE_FAKE(emulator != nullptr, "the emulator did not start");
  const Result r = run_program(
      {ZARN_C_HOST_CLIENT_BIN, emulator->address(), "127.0.0.1", std::to_string(emulator->port())});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("status: ready"), std::string::npos) << r.out;
  EXPECT_TRUE(emulator->wait_for("label-0001.png")) << emulator->log();
}

} // namespace
