// One test body over TCP and serial alike: makes a fake printer of the kind
// asked for and opens the library's connection to it.
#pragma once

#include "fake_printer.h"
#include "zarn.h"

#include <memory>
#include <string>

namespace zarn::test {

enum class LinkKind { tcp, serial };

inline std::string link_name(LinkKind kind) { return kind == LinkKind::tcp ? "Tcp" : "Serial"; }

struct FakeLink {
  std::unique_ptr<FakePrinter> printer;
  std::string problem; // why the fake could not be made; empty when it was
  bool opened = false; // the library's open call returned 1
};

// Closes whatever the library has open, then opens a fresh fake of kind.
inline FakeLink open_fake_link(LinkKind kind)
{
  FakeLink link;
  closeport();
  if (kind == LinkKind::tcp) {
    auto tcp = std::make_unique<FakeTcpPrinter>();
    link.opened = openethernet(const_cast<char *>("127.0.0.1"), tcp->port()) == 1;
    link.printer = std::move(tcp);
  } else {
    auto serial = std::make_unique<FakeSerialPrinter>();
    link.problem = serial->problem();
    if (link.problem.empty())
      link.opened = openport(const_cast<char *>(serial->port_name().c_str())) == 1;
    link.printer = std::move(serial);
  }
  return link;
}

} // namespace zarn::test
