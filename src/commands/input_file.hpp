// SPDX-License-Identifier: MIT
// Opening the host files the commands read (files to store, fonts).
#pragma once

#include "common/handle.hpp"

namespace zarn::commands {

enum class Directories { refused, opened };

// Opens path for reading when it is a regular file (or a directory, when
// asked: reading one then fails as it always did). FIFOs, devices and
// sockets give an empty handle at once: a FIFO without a writer would hold
// the open forever, and a device is no file.
UniqueFd open_input_file(const char *path, Directories directories);

} // namespace zarn::commands
