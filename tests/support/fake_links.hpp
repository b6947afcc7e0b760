// SPDX-License-Identifier: MIT
// One test body over TCP and serial alike: makes a fake printer of the kind
// asked for and opens the library's connection to it.
#pragma once

#include "fake_printer.hpp"
#include "zarn.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace zarn::test {

enum class LinkKind { tcp, serial };

inline std::string link_name(LinkKind kind) { return kind == LinkKind::tcp ? "Tcp" : "Serial"; }

struct FakeLink {
  LinkKind kind = LinkKind::tcp;
  std::unique_ptr<FakePrinter> printer;
  std::string problem; // why the fake could not be made; empty when it was
  bool opened = false; // the library's open call returned 1

  // Opens the library's connection to the same fake again: 1 or 0.
  int reopen() const
  {
    if (kind == LinkKind::tcp)
      return openethernet(const_cast<char *>("127.0.0.1"),
                          static_cast<FakeTcpPrinter &>(*printer).port());
    return openport(
        const_cast<char *>(static_cast<FakeSerialPrinter &>(*printer).port_name().c_str()));
  }
  // The library's descriptor of this connection.
  int descriptor() const { return kind == LinkKind::tcp ? net_socket : tty_device; }
};

// Closes whatever the library has open, then opens a fresh fake of kind.
inline FakeLink open_fake_link(LinkKind kind)
{
  FakeLink link;
  link.kind = kind;
  closeport();
  if (kind == LinkKind::tcp) {
    link.printer = std::make_unique<FakeTcpPrinter>();
  } else {
    auto serial = std::make_unique<FakeSerialPrinter>();
    link.problem = serial->problem();
    link.printer = std::move(serial);
    if (!link.problem.empty())
      return link;
  }
  link.opened = link.reopen() == 1;
  return link;
}

// A suite run once per kind of link: a fresh fake and connection per test.
class LinkTest : public ::testing::TestWithParam<LinkKind> {
 protected:
  void SetUp() override { reopen_fresh(); }
  void TearDown() override { closeport(); }
  // A fresh printer: leftovers of an earlier reply cannot leak into the next.
  void reopen_fresh()
  {
    link_ = open_fake_link(GetParam());
    ZARN_REQUIRE_FAKE(link_.problem.empty(), link_.problem);
    ASSERT_TRUE(link_.opened);
  }
  FakePrinter &printer() { return *link_.printer; }
  bool tcp() const { return GetParam() == LinkKind::tcp; }
  FakeLink link_;
};

inline std::string link_test_name(const ::testing::TestParamInfo<LinkKind> &info)
{
  return link_name(info.param);
}

} // namespace zarn::test
