// SPDX-License-Identifier: MIT
// A C++ host of the installed zarn.hpp through find_package's zarn::client.
#include <zarn.hpp>

#include <cstdio>

int main()
{
  try {
    (void)zarn::Address::parse("serial:ttyUSB0?baud=nine");
  } catch (const zarn::AddressError &e) {
    std::printf("installed zarn.hpp works: %s\n", e.what());
    return 0;
  }
  std::fprintf(stderr, "installed zarn.hpp took a wrong address\n");
  return 1;
}
