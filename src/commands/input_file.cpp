// SPDX-License-Identifier: MIT
#include "commands/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

namespace zarn::commands {
namespace {

bool wanted(mode_t mode, Directories directories)
{
  return S_ISREG(mode) || (S_ISDIR(mode) && directories == Directories::opened);
}

} // namespace

UniqueFd open_input_file(const char *path, Directories directories)
{
  // The path's status first, so a device is never opened (opening some has
  // effects of their own); then the descriptor's, in case the path was
  // replaced in between, when O_NONBLOCK has kept the open from waiting.
  struct stat st {};
  if (::stat(path, &st) != 0 || !wanted(st.st_mode, directories))
    return {};
  UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd || ::fstat(fd.get(), &st) != 0 || !wanted(st.st_mode, directories))
    return {};
  return fd;
}

} // namespace zarn::commands
