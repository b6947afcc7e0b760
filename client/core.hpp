// SPDX-License-Identifier: MIT
// The host layer's failures: a status code and a message per thread, and the
// one place where C++ exceptions stop before a C caller.
#pragma once

#include "zarn-client.h"

#include <new>
#include <string>
#include <utility>

namespace zarn::client {

struct Failure {
  zarn_client_status status;
  std::string message;
};

[[noreturn]] inline void fail(zarn_client_status status, std::string message)
{
  throw Failure{status, std::move(message)};
}

void set_error(zarn_client_status status, std::string message);
void set_raster_status(zarn_raster_status status);

// Runs f; a Failure or any other exception becomes a status and the
// thread's message.
template <class F>
zarn_client_status guarded(F &&f) noexcept
{
  try {
    f();
    return ZARN_CLIENT_OK;
  } catch (Failure &e) {
    set_error(e.status, std::move(e.message));
    return e.status;
  } catch (const std::bad_alloc &) {
    set_error(ZARN_CLIENT_ERR_NO_MEMORY, "out of memory");
    return ZARN_CLIENT_ERR_NO_MEMORY;
  } catch (...) {
    set_error(ZARN_CLIENT_ERR_ARGUMENT, "unexpected failure");
    return ZARN_CLIENT_ERR_ARGUMENT;
  }
}

// A copy of text in memory the caller releases with zarn_client_free.
char *c_string(const std::string &text);

// text for a one-line message: control bytes and backslashes as C escapes.
std::string printable(std::string_view text);

} // namespace zarn::client
