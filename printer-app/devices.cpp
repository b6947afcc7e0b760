// SPDX-License-Identifier: MIT
#include "devices.hpp"

#include "worker.hpp"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <memory>
#include <utility>

namespace zarn::app {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kUsbScheme = "zarn-usb";
constexpr std::string_view kSerialScheme = "zarn-serial";
constexpr std::string_view kTcpScheme = "zarn-tcp";

thread_local bool open_failed = false;

constexpr auto kOpenLimit = 30s;
constexpr auto kCloseLimit = 5s;
// The USB rule for silence takes up to 9.5 s; a worker quiet for longer
// than this is stuck.
constexpr auto kQueryLimit = 15s;
// A job's bytes wait on the printer as long as it takes; only a cancel or
// a stop of the application ends the wait.
constexpr auto kWriteLimit = std::chrono::hours(24 * 365);

// One printer address: its worker process and the devices PAPPL opened on
// it. PAPPL may open a printer's device again before it closes the last
// one; they share the worker's one connection, opened by the first.
struct Slot {
  explicit Slot(std::string a) : address(std::move(a)), worker(worker_program()) {}
  const std::string address; // the client's address text
  Worker worker;
  std::mutex mutex; // opens, generation_open
  int opens = 0;
  unsigned generation_open = 0; // the worker that holds the connection
};

std::mutex slots_mutex;
std::map<std::string, std::shared_ptr<Slot>> slots;

std::shared_ptr<Slot> slot_for(const std::string &address)
{
  std::lock_guard lock(slots_mutex);
  auto &slot = slots[address];
  if (!slot)
    slot = std::make_shared<Slot>(address);
  return slot;
}

struct Link {
  std::shared_ptr<Slot> slot;
  unsigned generation = 0;                 // the worker this device's connection is on
  std::atomic<pappl_job_t *> job{nullptr}; // whose cancel ends a stuck send
  std::atomic<bool> write_failed{false};
};

Link *link_of(pappl_device_t *device) { return static_cast<Link *>(papplDeviceGetData(device)); }

// Whether a wait for the printer should give up: its job was cancelled or
// the application is stopping.
bool stopping(const Link &link)
{
  pappl_job_t *job = link.job.load();
  if (job == nullptr)
    return false;
  return papplJobIsCanceled(job) ||
         papplSystemIsShutdown(papplPrinterGetSystem(papplJobGetPrinter(job)));
}

// Opens the slot's connection unless a device already holds it. error says
// why not.
bool open_slot(Slot &slot, unsigned &generation, std::string &error)
{
  std::lock_guard lock(slot.mutex);
  if (slot.opens > 0 && slot.generation_open == slot.worker.generation() &&
      slot.worker.pid() != 0) {
    ++slot.opens;
    generation = slot.generation_open;
    return true;
  }
  const Reply r = slot.worker.call(Request::open, slot.address, kOpenLimit);
  if (!r.ok) {
    error = r.data;
    return false;
  }
  slot.generation_open = slot.worker.generation();
  slot.opens = std::max(slot.opens, 0) + 1;
  generation = slot.generation_open;
  return true;
}

void close_slot(Slot &slot, unsigned generation)
{
  std::lock_guard lock(slot.mutex);
  if (slot.opens > 0 && --slot.opens > 0)
    return;
  // A worker that has been replaced took its connection with it.
  if (generation == slot.worker.generation() && slot.worker.pid() != 0 &&
      !slot.worker.call(Request::close, {}, kCloseLimit).ok)
    slot.worker.kill();
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
  auto link = std::make_unique<Link>();
  link->slot = slot_for(address_text(*address));
  if (!open_slot(*link->slot, link->generation, error)) {
    open_failed = true;
    papplDeviceError(device, "%s", error.c_str());
    return false;
  }
  papplDeviceSetData(device, link.release());
  return true;
}

void close_device(pappl_device_t *device)
{
  std::unique_ptr<Link> link(link_of(device));
  if (link)
    close_slot(*link->slot, link->generation);
}

ssize_t write_device(pappl_device_t *device, const void *buffer, size_t bytes)
{
  Link *link = link_of(device);
  if (link == nullptr)
    return -1;
  if (link->generation != link->slot->worker.generation()) {
    link->write_failed = true;
    papplDeviceError(device, "The printer connection was lost.");
    return -1;
  }
  const auto *data = static_cast<const char *>(buffer);
  for (size_t done = 0; done < bytes;) {
    const size_t n = std::min(bytes - done, kMaxRequestData);
    const Reply r = link->slot->worker.call(Request::write, std::string_view(data + done, n),
                                            kWriteLimit, [link] { return stopping(*link); });
    if (!r.ok) {
      link->write_failed = true;
      papplDeviceError(device, "%s",
                       r.data == "stopped" ? "The job was stopped while the printer "
                                             "was not taking its data."
                                           : r.data.c_str());
      return -1;
    }
    done += n;
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
char *model_id(Slot &slot, char *buffer, size_t bufsize)
{
  const Reply r = slot.worker.call(Request::name, {}, kQueryLimit);
  if (!r.ok)
    return nullptr;
  std::string model = r.data;
  std::erase_if(model, [](char c) { return c == ';' || c == ':' || c < ' '; });
  if (model.empty())
    return nullptr;
  snprintf(buffer, bufsize, "MFG:Zarn;MDL:%s;CMD:ZARN-LABEL;", model.c_str());
  return buffer;
}

char *device_id(pappl_device_t *device, char *buffer, size_t bufsize)
{
  Link *link = link_of(device);
  return link ? model_id(*link->slot, buffer, bufsize) : nullptr;
}

// Lists the USB printer, unless a printer's device has it open: its job
// must not be disturbed.
bool list_usb(pappl_device_cb_t cb, void *data, pappl_deverror_cb_t err_cb, void *err_data)
{
  zarn_client_address usb{};
  usb.kind = ZARN_CLIENT_USB;
  const std::shared_ptr<Slot> slot = slot_for(address_text(usb));
  {
    std::lock_guard lock(slot->mutex);
    if (slot->opens > 0) {
      if (err_cb)
        err_cb("The USB printer is in use; it was not listed again.", err_data);
      return false;
    }
  }
  unsigned generation = 0;
  std::string error;
  if (!open_slot(*slot, generation, error))
    return false;
  char id[256] = "";
  const char *found_id = model_id(*slot, id, sizeof id);
  close_slot(*slot, generation);
  return cb("Zarn label printer (USB)", "zarn-usb://", found_id ? found_id : "", data);
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

std::string address_text(const zarn_client_address &address)
{
  char *text = zarn_client_address_format(&address);
  std::string out = text ? text : "";
  zarn_client_free(text);
  return out;
}

void attach_job(pappl_device_t *device, pappl_job_t *job)
{
  Link *link = link_of(device);
  if (link == nullptr || link->job.exchange(job) == job)
    return;
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Printing through worker process %d.",
              static_cast<int>(link->slot->worker.pid()));
}

Status query_status(pappl_device_t *device)
{
  // Bytes PAPPL still holds go first: the status is of the label they make.
  papplDeviceFlush(device);
  Link *link = link_of(device);
  if (link == nullptr || link->generation != link->slot->worker.generation())
    return Status{ZARN_CLIENT_REPLY_DISCONNECTED, 0};
  const Reply r = link->slot->worker.call(Request::status, {}, kQueryLimit);
  if (!r.ok || r.data.size() != 2)
    return Status{ZARN_CLIENT_REPLY_DISCONNECTED, 0};
  return Status{static_cast<zarn_client_reply>(static_cast<unsigned char>(r.data[0])),
                static_cast<unsigned char>(r.data[1])};
}

bool flush_device(pappl_device_t *device)
{
  papplDeviceFlush(device);
  const Link *link = link_of(device);
  return link != nullptr && !link->write_failed;
}

pid_t worker_pid(pappl_device_t *device)
{
  Link *link = link_of(device);
  return link ? link->slot->worker.pid() : 0;
}

bool last_open_failed() { return std::exchange(open_failed, false); }

} // namespace zarn::app
