// SPDX-License-Identifier: MIT
#include "devices.hpp"

#include "connection.hpp"

#include <algorithm>
#include <memory>
#include <utility>

namespace zarn::app {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kUsbScheme = "zarn-usb";
constexpr std::string_view kSerialScheme = "zarn-serial";
constexpr std::string_view kTcpScheme = "zarn-tcp";

thread_local bool open_failed = false;

struct Link {
  zarn_client_printer *printer = nullptr;
};

// A text the client allocated, released with it.
struct ClientText {
  char *text = nullptr;
  ~ClientText() { zarn_client_free(text); }
};

enum class Opened { yes, busy, failed };

Opened open_link(const zarn_client_address &a, zarn_client_printer *&printer, std::string &error)
{
  LibraryCall call;
  const zarn_client_status s = zarn_client_open_address(&a, &printer);
  if (s == ZARN_CLIENT_OK) {
    zarn_client_set_reply_timeout(printer, static_cast<int>(kReplyTimeout.count()));
    return Opened::yes;
  }
  error = zarn_client_last_error();
  return s == ZARN_CLIENT_ERR_BUSY ? Opened::busy : Opened::failed;
}

void close_link(zarn_client_printer *printer)
{
  LibraryCall call;
  zarn_client_close(printer);
}

bool open_device(pappl_device_t *device, const char *device_uri, const char * /*name*/)
{
  open_failed = false;
  std::string error;
  const auto address = parse_device_uri(device_uri, error);
  if (!address) {
    open_failed = true;
    papplDeviceError(device, "%s", error.c_str());
    return false;
  }
  if (!acquire_connection(open_wait())) {
    papplDeviceError(device, "The printer connection is in use by another printer's job.");
    return false;
  }
  zarn_client_printer *printer = nullptr;
  const Opened opened = open_link(*address, printer, error);
  if (opened != Opened::yes) {
    release_connection();
    open_failed = opened == Opened::failed;
    papplDeviceError(device, "%s", error.c_str());
    return false;
  }
  papplDeviceSetData(device, new Link{printer});
  return true;
}

void close_device(pappl_device_t *device)
{
  std::unique_ptr<Link> link(static_cast<Link *>(papplDeviceGetData(device)));
  if (!link)
    return;
  close_link(link->printer);
  release_connection();
}

ssize_t write_device(pappl_device_t *device, const void *buffer, size_t bytes)
{
  LibraryCall call;
  if (zarn_client_send_binary(printer_of(device), buffer, bytes, nullptr, nullptr) !=
      ZARN_CLIENT_OK) {
    papplDeviceError(device, "%s", zarn_client_last_error());
    return -1;
  }
  return static_cast<ssize_t>(bytes);
}

// The printer's replies are read by the queries that ask for them, which
// know when a reply is missing; a bare read of the line is not offered.
ssize_t read_device(pappl_device_t *device, void * /*buffer*/, size_t /*bytes*/)
{
  papplDeviceError(device, "Reading from the printer is done through its status and queries.");
  return -1;
}

pappl_preason_t device_status(pappl_device_t *device) { return reasons_for(query_status(device)); }

// IEEE 1284 device ID from the printer's model name.
char *model_id(zarn_client_printer *printer, char *buffer, size_t bufsize)
{
  ClientText name;
  {
    LibraryCall call;
    if (zarn_client_name(printer, nullptr, &name.text) != ZARN_CLIENT_OK)
      return nullptr;
  }
  std::string model = name.text;
  std::erase_if(model, [](char c) { return c == ';' || c == ':' || c < ' '; });
  if (model.empty())
    return nullptr;
  snprintf(buffer, bufsize, "MFG:Zarn;MDL:%s;CMD:ZARN-LABEL;", model.c_str());
  return buffer;
}

char *device_id(pappl_device_t *device, char *buffer, size_t bufsize)
{
  return model_id(printer_of(device), buffer, bufsize);
}

// Lists the USB printer when the connection is free to look for it.
bool list_usb(pappl_device_cb_t cb, void *data, pappl_deverror_cb_t err_cb, void *err_data)
{
  if (!acquire_connection(0ms)) {
    if (err_cb)
      err_cb("The printer connection is in use; USB printers were not listed.", err_data);
    return false;
  }
  bool stop = false;
  std::string error;
  zarn_client_address usb{};
  usb.kind = ZARN_CLIENT_USB;
  zarn_client_printer *printer = nullptr;
  if (open_link(usb, printer, error) == Opened::yes) {
    char id[256] = "";
    const char *found_id = model_id(printer, id, sizeof id);
    close_link(printer);
    stop = cb("Zarn label printer (USB)", "zarn-usb://", found_id ? found_id : "", data);
  }
  release_connection();
  return stop;
}

// The client's address text for a zarn- URI, or "" when the URI cannot be one.
std::string client_address_text(const std::string &uri, std::string &error)
{
  const auto colon = uri.find(':');
  const std::string_view scheme = std::string_view(uri).substr(0, colon);
  std::string_view rest =
      colon == std::string::npos ? std::string_view() : std::string_view(uri).substr(colon + 1);
  if (scheme == kUsbScheme) {
    if (rest != "//" && rest != "///" && !rest.empty()) {
      error = "'" + uri + "': zarn-usb:// takes no host or path (the first printer with the " +
              "vendor ID is used)";
      return {};
    }
    return "usb";
  }
  if (scheme == kSerialScheme) {
    if (rest.starts_with("//"))
      rest.remove_prefix(2);
    if (!rest.starts_with("/dev/tty")) {
      error = "'" + uri + "': the serial device must be /dev/tty... (zarn-serial:/dev/ttyUSB0)";
      return {};
    }
    return "serial:" + std::string(rest.substr(5));
  }
  if (scheme == kTcpScheme) {
    if (!rest.starts_with("//")) {
      error = "'" + uri + "': expected zarn-tcp://HOST[:PORT]";
      return {};
    }
    return "tcp:" + std::string(rest);
  }
  error = "'" + uri + "' is not a zarn-usb:, zarn-serial: or zarn-tcp: device";
  return {};
}

} // namespace

std::optional<zarn_client_address> parse_device_uri(const std::string &uri, std::string &error)
{
  const std::string text = client_address_text(uri, error);
  if (text.empty())
    return std::nullopt;
  zarn_client_address a;
  if (zarn_client_address_parse(text.c_str(), &a) != ZARN_CLIENT_OK) {
    error = "'" + uri + "': " + zarn_client_last_error();
    return std::nullopt;
  }
  return a;
}

bool is_zarn_uri(const char *uri)
{
  const std::string_view u = uri ? uri : "";
  for (const std::string_view s : {kUsbScheme, kSerialScheme, kTcpScheme})
    if (u.starts_with(s) && u.size() > s.size() && u[s.size()] == ':')
      return true;
  return false;
}

void register_device_schemes()
{
  papplDeviceAddScheme("zarn-usb", PAPPL_DEVTYPE_CUSTOM_LOCAL, list_usb, open_device, close_device,
                       read_device, write_device, device_status, device_id);
  papplDeviceAddScheme("zarn-serial", PAPPL_DEVTYPE_CUSTOM_LOCAL, nullptr, open_device,
                       close_device, read_device, write_device, device_status, device_id);
  papplDeviceAddScheme("zarn-tcp", PAPPL_DEVTYPE_CUSTOM_NETWORK, nullptr, open_device, close_device,
                       read_device, write_device, device_status, device_id);
}

zarn_client_printer *printer_of(pappl_device_t *device)
{
  const auto *link = static_cast<const Link *>(papplDeviceGetData(device));
  return link ? link->printer : nullptr;
}

Status query_status(pappl_device_t *device)
{
  Status status{};
  LibraryCall call;
  // Not even asked (the connection is closed, or the request could not be
  // sent): the printer is out of reach as surely as when it hangs up.
  if (zarn_client_status_get(printer_of(device), &status) != ZARN_CLIENT_OK)
    status = Status{ZARN_CLIENT_REPLY_DISCONNECTED, 0};
  return status;
}

bool last_open_failed() { return std::exchange(open_failed, false); }

} // namespace zarn::app
