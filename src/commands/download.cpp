// SPDX-License-Identifier: MIT
// downloadpcx: stores a host file in the printer as
//   DOWNLOAD F,"name",n,  <n file bytes>  CR LF CR LF
// in three sends. The file is read whole before anything is sent, so a
// failed read never leaves half a download in the printer's input.
#include "commands/download.hpp"
#include "commands/input_file.hpp"
#include "port/flags.hpp"
#include "port/guard.hpp"
#include "wire/wire.hpp"
#include "zarn.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

namespace zarn::commands {
namespace {

// Reads until size bytes are in or end of file; returns the count read, or
// -1 with errno set. At least one read is made even for size 0, so that a
// directory whose status reports no size still fails as a directory.
ssize_t read_up_to(const FileAccess &io, int fd, unsigned char *buf, size_t size)
{
  size_t got = 0;
  do {
    const ssize_t r = io.read(fd, buf + got, size - got);
    if (r < 0) {
      if (errno == EINTR)
        continue;
      return -1;
    }
    if (r == 0)
      break;
    got += static_cast<size_t>(r);
  } while (got < size);
  return static_cast<ssize_t>(got);
}

int download(const char *path, const char *name, const FileAccess &io)
{
  if (!zarn::port::status_is_nonzero())
    return 0;
  // The name stands between quotes on a line of its own: a quote would end
  // it early and a line break would end the header, so the printer would
  // take the file's bytes for commands.
  if (!zarn::wire::download_name_problem(name).empty())
    return 0;

  UniqueFd file = open_input_file(path, Directories::opened);
  if (!file)
    return 0;
  // The size comes from the open descriptor, so a file replaced between
  // the open and the status query cannot mismatch.
  struct stat st {};
  if (io.status(file.get(), &st) != 0 || st.st_size < 0)
    return 0;
  // The header carries the count as a 32-bit signed number.
  if (st.st_size > INT_MAX)
    return 0;

  const auto size = static_cast<size_t>(st.st_size);
  const auto bytes = std::make_unique_for_overwrite<unsigned char[]>(size);
  const ssize_t n = read_up_to(io, file.get(), bytes.get(), size);
  if (n < 0) {
    std::printf("errno: %d\n", errno);
    return 0;
  }
  file.reset();

  // A cut header would lose the count, and the printer would take the
  // file's bytes for commands: it goes out whole or not at all.
  const std::optional<std::string> header =
      zarn::wire::download_header(name, static_cast<size_t>(n));
  if (!header)
    return 0;
  sendBinaryData(reinterpret_cast<unsigned char *>(const_cast<char *>(header->data())),
                 static_cast<int>(header->size()));
  sendBinaryData(bytes.get(), static_cast<int>(n));
  sendcommand(const_cast<char *>(zarn::wire::kDownloadTrailer));
  return 1;
}

} // namespace

const FileAccess &system_file_access()
{
  static const FileAccess io{::fstat, ::read};
  return io;
}

int download_file(const char *path, const char *name, const FileAccess &io)
{
  // An allocation that fails (bad_alloc) gives 0; the descriptor and the
  // buffer are released by their owners on every path.
  return zarn::port::guarded(0, [&] { return download(path, name, io); });
}

} // namespace zarn::commands

extern "C" int downloadpcx(char *path, char *name)
{
  return zarn::commands::download_file(path, name, zarn::commands::system_file_access());
}
