// SPDX-License-Identifier: MIT
// Uploads and printing pictures: one framing for every path, with or
// without progress, so the name and size checks are never skipped.
#include "core.hpp"
#include "printer.hpp"
#include "common/handle.hpp"
#include "wire/wire.hpp"
#include "zarn.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace zarn::client {
namespace {

void check_name(const std::string &path, std::string_view name, std::size_t size)
{
  const std::string at = path.empty() ? "" : printable(path) + " as ";
  if (const std::string_view why = wire::download_name_problem(name); !why.empty())
    fail(ZARN_CLIENT_ERR_NAME,
         "cannot upload " + at + "'" + printable(name) + "': " + std::string(why));
  if (name.empty())
    fail(ZARN_CLIENT_ERR_NAME, "cannot upload " + at + "an empty name");
  if (!wire::download_header(name, size))
    fail(ZARN_CLIENT_ERR_NAME,
         "cannot upload " + at + "'" + printable(name) +
             "': the name is too long for the printer (at most " +
             std::to_string(wire::kDownloadHeaderMax - 14 - std::to_string(size).size()) +
             " bytes for this file)");
}

std::vector<unsigned char> read_whole(const std::string &path)
{
  const auto cannot = [&](const std::string &why) {
    fail(ZARN_CLIENT_ERR_FILE, "cannot read " + printable(path) + ": " + why);
  };
  const int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (raw < 0)
    cannot(std::strerror(errno));
  const UniqueFd fd(raw);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0)
    cannot(std::strerror(errno));
  if (S_ISDIR(st.st_mode))
    cannot("it is a folder");
  // The DOWNLOAD header carries the count as a 32-bit signed number.
  if (st.st_size > INT_MAX)
    fail(ZARN_CLIENT_ERR_FILE, "cannot upload " + printable(path) + ": 2 GiB or larger");
  std::vector<unsigned char> bytes(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  for (;;) {
    if (got == bytes.size())
      bytes.resize(
          std::min<std::size_t>(bytes.size() * 2 + 4096, static_cast<std::size_t>(INT_MAX) + 1));
    const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      cannot(std::strerror(errno));
    if (n == 0)
      break;
    got += static_cast<std::size_t>(n);
    if (got > static_cast<std::size_t>(INT_MAX))
      fail(ZARN_CLIENT_ERR_FILE, "cannot upload " + printable(path) + ": 2 GiB or larger");
  }
  bytes.resize(got);
  return bytes;
}

// libzarn-raster encodes, whole before anything is sent: nothing goes out
// for a bitmap the encoder refuses, and progress knows the total.
template <typename Encode>
void send_encoded(Connection &c, const Encode &encode, zarn_client_progress progress, void *context)
{
  c.require_open();
  std::string bytes;
  const auto collect = [](const unsigned char *data, size_t size, void *into) {
    try {
      static_cast<std::string *>(into)->append(reinterpret_cast<const char *>(data), size);
      return 0;
    } catch (...) {
      return 1;
    }
  };
  const zarn_raster_status s = encode(+collect, &bytes);
  if (s == ZARN_RASTER_ERR_SEND)
    fail(ZARN_CLIENT_ERR_NO_MEMORY, "no memory for the label's bytes");
  if (s != ZARN_RASTER_OK) {
    set_raster_status(s);
    fail(ZARN_CLIENT_ERR_IMAGE, zarn_raster_last_error());
  }
  c.send_bytes(bytes.data(), bytes.size(), progress, context);
}

void print_bitmap(Connection &c, const zarn_raster_bitmap &bitmap, int copies,
                  zarn_client_progress progress, void *context)
{
  if (copies < 1)
    fail(ZARN_CLIENT_ERR_ARGUMENT, "copies must be 1 or more, not " + std::to_string(copies));
  send_encoded(
      c,
      [&](zarn_raster_sink sink, void *into) {
        return zarn_raster_encode(&bitmap, copies, sink, into);
      },
      progress, context);
}

// Every row, paper included: BITMAP overwrites, so the picture's white
// blanks whatever the host drew under it.
void draw_bitmap(Connection &c, const zarn_raster_bitmap &bitmap, int x, int y,
                 zarn_client_progress progress, void *context)
{
  if (x < 0 || y < 0)
    fail(ZARN_CLIENT_ERR_ARGUMENT, "a bitmap's place is 0 or more dots each way, not (" +
                                       std::to_string(x) + ", " + std::to_string(y) + ")");
  send_encoded(
      c,
      [&](zarn_raster_sink sink, void *into) {
        return zarn_raster_encode_bitmap(&bitmap, x, y, 0, sink, into);
      },
      progress, context);
}

} // namespace
} // namespace zarn::client

using namespace zarn::client;

extern "C" {

zarn_client_status zarn_client_upload_name_check(const char *name, size_t size)
{
  return guarded([&] {
    if (name == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a name is needed");
    check_name("", name, size);
  });
}

zarn_client_status zarn_client_upload(zarn_client_printer *printer, const char *path,
                                      const char *name, zarn_client_progress progress,
                                      void *context)
{
  return guarded([&] {
    if (printer == nullptr || path == nullptr || name == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a printer, a file and a name are needed");
    Connection &c = printer->connection;
    c.require_open();
    check_name(path, name, 0); // before the file is read: the reason a user can act on
    const std::vector<unsigned char> bytes = read_whole(path);
    check_name(path, name, bytes.size());
    const std::string header = *zarn::wire::download_header(name, bytes.size());
    c.send_bytes(header.data(), header.size(), nullptr, nullptr);
    c.send_bytes(bytes.data(), bytes.size(), progress, context);
    c.send_line(zarn::wire::kDownloadTrailer);
  });
}

zarn_client_status zarn_client_text_bitmap(zarn_client_printer *printer, int x, int y, int size,
                                           const char *font, const char *text)
{
  return guarded([&] {
    if (printer == nullptr || font == nullptr || text == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a printer, a font and a text are needed");
    printer->connection.require_open();
    if (::access(font, R_OK) != 0)
      fail(ZARN_CLIENT_ERR_FILE,
           "cannot read the font " + printable(font) + ": " + std::strerror(errno));
    if (*text == '\0')
      fail(ZARN_CLIENT_ERR_FILE, "an empty text renders to nothing");
    std::string f = font, t = text;
    if (windowsfont(x, y, size, 0, f.data(), t.data()) != 1)
      fail(ZARN_CLIENT_ERR_FILE, "cannot render with " + printable(f) + " (not a TrueType font?)");
  });
}

zarn_client_status zarn_client_print_bitmap(zarn_client_printer *printer,
                                            const zarn_raster_bitmap *bitmap, int copies,
                                            zarn_client_progress progress, void *context)
{
  return guarded([&] {
    if (printer == nullptr || bitmap == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a printer and a bitmap are needed");
    print_bitmap(printer->connection, *bitmap, copies, progress, context);
  });
}

zarn_client_status zarn_client_draw_bitmap(zarn_client_printer *printer,
                                           const zarn_raster_bitmap *bitmap, int x, int y,
                                           zarn_client_progress progress, void *context)
{
  return guarded([&] {
    if (printer == nullptr || bitmap == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a printer and a bitmap are needed");
    draw_bitmap(printer->connection, *bitmap, x, y, progress, context);
  });
}

zarn_client_status zarn_client_print_file(zarn_client_printer *printer, const char *path, int page,
                                          const zarn_raster_options *options, int copies,
                                          zarn_client_progress progress, void *context)
{
  return guarded([&] {
    if (printer == nullptr || path == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a printer and a file are needed");
    if (copies < 1)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "copies must be 1 or more, not " + std::to_string(copies));
    printer->connection.require_open();
    zarn_raster_bitmap *bitmap = nullptr;
    const zarn_raster_status s = zarn_raster_render_file(path, page, options, &bitmap);
    const zarn::Owned<zarn_raster_bitmap, zarn_raster_bitmap_free> owned(bitmap);
    if (s == ZARN_RASTER_ERR_ARGUMENT) // the options' fault, not the file's
      fail(ZARN_CLIENT_ERR_ARGUMENT, zarn_raster_last_error());
    if (s == ZARN_RASTER_ERR_NO_MEMORY)
      fail(ZARN_CLIENT_ERR_NO_MEMORY, zarn_raster_last_error());
    if (s != ZARN_RASTER_OK) {
      set_raster_status(s);
      fail(ZARN_CLIENT_ERR_IMAGE, zarn_raster_last_error());
    }
    print_bitmap(printer->connection, *bitmap, copies, progress, context);
  });
}

} // extern "C"
