// SPDX-License-Identifier: MIT
#pragma once

#include <exception>

namespace zarn::port {

// Runs body and turns any exception (in practice std::bad_alloc) into
// the function's failure result, so none crosses the C interface.
template <typename Result, typename Body>
Result guarded(Result on_failure, Body &&body) noexcept
{
  try {
    return body();
  } catch (...) {
    return on_failure;
  }
}

} // namespace zarn::port
