// SPDX-License-Identifier: MIT
// Small helpers for calling the library the way a host does.
#pragma once

#include "zarn.h"

#include <chrono>
#include <string>

namespace zarn::test {

// The interface takes char*; the library never writes through it.
inline char *text(const std::string &s) { return const_cast<char *>(s.c_str()); }

// Copies a reply text and releases it as a C++ host should; null gives
// "<null>".
inline std::string take_reply(char *reply)
{
  if (reply == nullptr)
    return "<null>";
  std::string s(reply);
  zarn_free_reply(reply);
  return s;
}

inline std::chrono::milliseconds since(std::chrono::steady_clock::time_point start)
{
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

} // namespace zarn::test
