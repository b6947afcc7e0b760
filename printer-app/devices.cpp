// SPDX-License-Identifier: MIT
#include "devices.hpp"

#include "connection.hpp"
#include "zarn.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <utility>
#include <vector>

namespace zarn::app {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kUsbScheme = "zarn-usb";
constexpr std::string_view kSerialScheme = "zarn-serial";
constexpr std::string_view kTcpScheme = "zarn-tcp";

// libzarn answers a failed receive with the first letter of its failure
// text, and silence on TCP or serial with 0 after its 10 s reply wait.
constexpr int kReceiveFailed = 'R';
constexpr auto kSilentAfter = 9s;

thread_local bool open_failed = false;

struct Link {
  DeviceAddress address;
};

std::optional<int> parse_number(std::string_view text)
{
  int value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size())
    return std::nullopt;
  return value;
}

bool known_baud(int baud)
{
  return std::find(std::begin(name_arr), std::end(name_arr), baud) != std::end(name_arr);
}

// The library connects to dotted IPv4 text only; names are looked up here.
std::optional<std::string> ipv4_of(const std::string &host)
{
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    return std::nullopt;
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  return std::string(text);
}

std::string describe(const DeviceAddress &a)
{
  switch (a.kind) {
  case DeviceAddress::Kind::usb: return "the USB printer";
  case DeviceAddress::Kind::serial: return "/dev/" + a.tty;
  case DeviceAddress::Kind::tcp: return a.host + ":" + std::to_string(a.port);
  }
  return {};
}

bool open_link(const DeviceAddress &a, std::string &error)
{
  LibraryCall call;
  switch (a.kind) {
  case DeviceAddress::Kind::usb: {
    char name[] = "USB";
    if (openport(name) == 1)
      return true;
    error = "no USB printer with the printer maker's vendor ID could be opened";
    return false;
  }
  case DeviceAddress::Kind::serial: {
    std::string name = a.tty;
    if (openport(name.data()) != 1) {
      error = "cannot open /dev/" + a.tty;
      return false;
    }
    if (a.baud != 115200)
      set_Speed(a.baud);
    return true;
  }
  case DeviceAddress::Kind::tcp: {
    const auto ip = ipv4_of(a.host);
    if (!ip) {
      error = "cannot find the IPv4 address of " + a.host;
      return false;
    }
    std::string address = *ip;
    if (openethernet(address.data(), a.port) == 1)
      return true;
    error = "cannot connect to " + *ip + ":" + std::to_string(a.port);
    return false;
  }
  }
  return false;
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
  if (!open_link(*address, error)) {
    release_connection();
    open_failed = true;
    papplDeviceError(device, "%s", error.c_str());
    return false;
  }
  papplDeviceSetData(device, new Link{*address});
  return true;
}

void close_device(pappl_device_t *device)
{
  std::unique_ptr<Link> link(static_cast<Link *>(papplDeviceGetData(device)));
  if (!link)
    return;
  {
    LibraryCall call;
    closeport();
  }
  release_connection();
}

ssize_t write_device(pappl_device_t *device, const void *buffer, size_t bytes)
{
  constexpr size_t kPiece = 1 << 20;
  auto *data = static_cast<unsigned char *>(const_cast<void *>(buffer));
  for (size_t done = 0; done < bytes;) {
    const size_t n = std::min(kPiece, bytes - done);
    int sent = 0;
    {
      LibraryCall call;
      sent = sendBinaryData(data + done, static_cast<int>(n));
    }
    if (sent != 1) {
      papplDeviceError(device, "Sending to %s failed.",
                       describe(static_cast<Link *>(papplDeviceGetData(device))->address).c_str());
      return -1;
    }
    done += n;
  }
  return static_cast<ssize_t>(bytes);
}

// One receive; replies are texts, so a reply ends at its first zero byte.
ssize_t read_device(pappl_device_t * /*device*/, void *buffer, size_t bytes)
{
  LibraryCall call;
  char single[] = "";
  char *reply = Read(single);
  const std::string text(reply);
  zarn_free_reply(reply);
  if (text == "Receive Failed\r\n")
    return -1;
  const size_t n = std::min(bytes, text.size());
  std::copy_n(text.data(), n, static_cast<char *>(buffer));
  return static_cast<ssize_t>(n);
}

pappl_preason_t device_status(pappl_device_t *device) { return reasons_for(query_status(device)); }

// IEEE 1284 device ID from the printer's model name.
char *device_id(pappl_device_t * /*device*/, char *buffer, size_t bufsize)
{
  std::string model;
  {
    LibraryCall call;
    char *reply = printername();
    model = reply ? reply : "";
    zarn_free_reply(reply);
  }
  if (model == "Receive Failed\r\n")
    model.clear();
  std::erase_if(model, [](char c) { return c == ';' || c == ':' || c < ' '; });
  if (model.empty())
    return nullptr;
  snprintf(buffer, bufsize, "MFG:Zarn;MDL:%s;CMD:ZARN-LABEL;", model.c_str());
  return buffer;
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
  if (open_link(DeviceAddress{}, error)) {
    char id[256] = "";
    const char *found_id = device_id(nullptr, id, sizeof id);
    {
      LibraryCall call;
      closeport();
    }
    stop = cb("Zarn label printer (USB)", "zarn-usb://", found_id ? found_id : "", data);
  }
  release_connection();
  return stop;
}

} // namespace

std::optional<DeviceAddress> parse_device_uri(const std::string &uri, std::string &error)
{
  const auto colon = uri.find(':');
  const std::string_view scheme = std::string_view(uri).substr(0, colon);
  std::string_view rest =
      colon == std::string::npos ? std::string_view() : std::string_view(uri).substr(colon + 1);
  DeviceAddress a;
  if (scheme == kUsbScheme) {
    if (rest != "//" && rest != "///" && !rest.empty()) {
      error = "'" + uri + "': zarn-usb:// takes no host or path (the first printer with the " +
              "vendor ID is used)";
      return std::nullopt;
    }
    return a;
  }
  if (scheme == kSerialScheme) {
    a.kind = DeviceAddress::Kind::serial;
    if (rest.starts_with("//"))
      rest.remove_prefix(2);
    const auto question = rest.find('?');
    const std::string_view path = rest.substr(0, question);
    if (!path.starts_with("/dev/tty") || path.substr(5).find('/') != std::string_view::npos) {
      error = "'" + uri + "': the serial device must be /dev/tty... (zarn-serial:/dev/ttyUSB0)";
      return std::nullopt;
    }
    a.tty = std::string(path.substr(5));
    if (question != std::string_view::npos) {
      const std::string_view query = rest.substr(question + 1);
      const auto baud = query.starts_with("baud=") ? parse_number(query.substr(5)) : std::nullopt;
      if (!baud || !known_baud(*baud)) {
        error = "'" + uri + "': the only option is baud=N, N one of 115200, 38400, 19200, " +
                "9600, 4800, 2400, 1200, 300";
        return std::nullopt;
      }
      a.baud = *baud;
    }
    return a;
  }
  if (scheme == kTcpScheme) {
    a.kind = DeviceAddress::Kind::tcp;
    if (!rest.starts_with("//")) {
      error = "'" + uri + "': expected zarn-tcp://HOST[:PORT]";
      return std::nullopt;
    }
    rest.remove_prefix(2);
    if (rest.ends_with('/'))
      rest.remove_suffix(1);
    const auto port_colon = rest.rfind(':');
    a.host = std::string(rest.substr(0, port_colon));
    if (port_colon != std::string_view::npos) {
      const auto port = parse_number(rest.substr(port_colon + 1));
      if (!port || *port < 1 || *port > 65535) {
        error = "'" + uri + "': the port must be a number from 1 to 65535";
        return std::nullopt;
      }
      a.port = *port;
    }
    if (a.host.empty() || a.host.find_first_of("/[]@?") != std::string::npos) {
      error = "'" + uri + "': expected zarn-tcp://HOST[:PORT] with a host name or IPv4 address";
      return std::nullopt;
    }
    return a;
  }
  error = "'" + uri + "' is not a zarn-usb:, zarn-serial: or zarn-tcp: device";
  return std::nullopt;
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

Status query_status(pappl_device_t * /*device*/)
{
  const auto start = std::chrono::steady_clock::now();
  int value = 0;
  {
    LibraryCall call;
    value = printerstatus();
  }
  const bool silent = std::chrono::steady_clock::now() - start >= kSilentAfter;
  // A real byte 0x52 reads like a failed receive; it would mean cover open,
  // paused and jammed at once, and is taken as no answer.
  if (value == kReceiveFailed || (value == 0 && silent))
    return Status{};
  return Status::from_byte(static_cast<std::uint8_t>(value));
}

bool last_open_failed() { return std::exchange(open_failed, false); }

} // namespace zarn::app
