// SPDX-License-Identifier: MIT
#pragma once

namespace zarn::port {

enum class Readiness { ready, timeout, error };

// Waits until fd is readable (or hung up, so the caller's receive reports
// it), for at most timeout_ms (negative: no limit). A signal restarts the
// wait with the time that is left.
Readiness wait_readable(int fd, int timeout_ms);

} // namespace zarn::port
