// SPDX-License-Identifier: MIT
// File download, split so the library's own tests can replace the two
// system calls whose failures a real file cannot be made to show on demand
// (a short read, a failing fstat). The shipped library exports only
// downloadpcx; this stays internal.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace zarn::commands {

struct FileAccess {
  int (*status)(int fd, struct stat *st);
  ssize_t (*read)(int fd, void *buf, size_t count);
};

// The system's own fstat and read.
const FileAccess &system_file_access();

// downloadpcx with the given file access.
int download_file(const char *path, const char *name, const FileAccess &io);

} // namespace zarn::commands
