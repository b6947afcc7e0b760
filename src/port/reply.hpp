// SPDX-License-Identifier: MIT
#pragma once

namespace zarn::port {

// The constant reply texts; every return of either is the same object.
extern char kEmptyReply[];
extern char kReceiveFailedReply[];

} // namespace zarn::port
