// SPDX-License-Identifier: MIT
#include "system.hpp"

#include "driver.hpp"
#include "filters.hpp"
#include "order.hpp"

#include <arpa/inet.h>
#include <grp.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

namespace zarn::app {

namespace {

// PAM service used for the web interface's admin pages when the server
// listens on the network and none is given; with no /etc/pam.d file of this
// name, PAM uses its "other" service.
constexpr char kDefaultAuthService[] = "zarn-printer-app";
// Who administers printers on the network when no admin-group is given:
// Debian's printer administrators, or else only the root group.
constexpr char kDefaultAdminGroup[] = "lpadmin";

const std::map<std::string, pappl_soptions_t> kServerOptions = {
    {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST}, {"no-multi-queue", PAPPL_SOPTIONS_MULTI_QUEUE},
    {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET}, {"no-web-interface", PAPPL_SOPTIONS_WEB_INTERFACE},
    {"web-log", PAPPL_SOPTIONS_WEB_LOG},       {"web-network", PAPPL_SOPTIONS_WEB_NETWORK},
    {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE}, {"web-security", PAPPL_SOPTIONS_WEB_SECURITY},
    {"web-tls", PAPPL_SOPTIONS_WEB_TLS},       {"no-tls", PAPPL_SOPTIONS_NO_TLS},
};

const std::map<std::string, pappl_loglevel_t> kLogLevels = {
    {"debug", PAPPL_LOGLEVEL_DEBUG}, {"info", PAPPL_LOGLEVEL_INFO},   {"warn", PAPPL_LOGLEVEL_WARN},
    {"error", PAPPL_LOGLEVEL_ERROR}, {"fatal", PAPPL_LOGLEVEL_FATAL},
};

std::string option(int num, cups_option_t *options, const char *name, const char *fallback = "")
{
  const char *v = cupsGetOption(name, num, options);
  return v ? v : fallback;
}

bool bad(const AppInfo &app, const std::string &what)
{
  std::fprintf(stderr, "%s: %s\n", app.base_name.c_str(), what.c_str());
  return false;
}

bool parse_server_options(const AppInfo &app, const std::string &list, pappl_soptions_t &soptions)
{
  size_t start = 0;
  while (start <= list.size() && !list.empty()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    const std::string word = list.substr(start, comma - start);
    const auto found = kServerOptions.find(word);
    if (found == kServerOptions.end())
      return bad(app, "unknown server-options value '" + word + "'");
    if (word.starts_with("no-"))
      soptions &= ~found->second;
    else
      soptions |= found->second;
    start = comma + 1;
  }
  return true;
}

bool save_state(pappl_system_t *system, void *data)
{
  return papplSystemSaveState(system, static_cast<const std::string *>(data)->c_str());
}

} // namespace

std::string state_file_path(const std::string &base_name)
{
  if (const char *xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    return std::string(xdg) + "/" + base_name + ".state";
  if (const char *home = std::getenv("HOME"); home && *home)
    return std::string(home) + "/.config/" + base_name + ".state";
  return "/var/lib/" + base_name + ".state";
}

bool is_loopback_name(const std::string &name)
{
  if (name.empty() || name == "*")
    return false;
  if (name.starts_with("/"))
    return true; // a domain socket
  std::string host = name;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    return false;
  bool loopback = true;
  for (const addrinfo *a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      const auto *in = reinterpret_cast<const sockaddr_in *>(a->ai_addr);
      loopback = loopback && (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    } else if (a->ai_family == AF_INET6) {
      const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(a->ai_addr);
      loopback = loopback && IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    } else {
      loopback = false;
    }
  }
  freeaddrinfo(found);
  return loopback;
}

namespace {

// Set by the signal watcher; the system is touched only from its main loop,
// where it is sure to exist.
std::atomic<int> stop_signal{0};

bool shut_down_if_signalled(pappl_system_t *system, void *)
{
  const int sig = stop_signal.load();
  if (sig == 0)
    return true;
  papplLog(system, PAPPL_LOGLEVEL_INFO, "Stopping on signal %d.", sig);
  stop_job_order();
  papplSystemShutdown(system);
  return false;
}

// PAPPL's own SIGTERM handling waits for the job in hand to finish, and a
// job waiting for paper never does. SIGTERM and SIGINT become the orderly
// shutdown of a Shutdown-System request instead (within two seconds: PAPPL's
// timers count whole seconds), which a waiting job sees. A second signal
// ends the process at once.
void shut_down_on_stop_signals(pappl_system_t *system)
{
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  // Blocked before papplSystemRun starts its threads, so they inherit it and
  // only the watcher below takes these signals.
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::thread([stop_signals] {
    int sig = 0;
    if (sigwait(&stop_signals, &sig) != 0)
      return;
    stop_signal.store(sig);
    if (sigwait(&stop_signals, &sig) == 0)
      std::_Exit(128 + sig);
  }).detach();
  papplSystemAddTimerCallback(system, 0, 1, shut_down_if_signalled, nullptr);
}

} // namespace

pappl_system_t *create_system(int num, cups_option_t *options, void *data)
{
  const AppInfo &app = *static_cast<const AppInfo *>(data);

  pappl_soptions_t soptions =
      PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG;
  if (!parse_server_options(app, option(num, options, "server-options"), soptions))
    return nullptr;

  // PAPPL's own default port rule: 8000 plus the user ID modulo 1000.
  int port = 8000 + static_cast<int>(getuid() % 1000);
  if (const std::string p = option(num, options, "server-port"); !p.empty()) {
    char *end = nullptr;
    const long v = std::strtol(p.c_str(), &end, 10);
    if (*end != '\0' || v < 0 || v > 65535) {
      bad(app, "bad server-port value '" + p + "'");
      return nullptr;
    }
    port = static_cast<int>(v);
  }

  pappl_loglevel_t level = PAPPL_LOGLEVEL_WARN;
  if (const std::string l = option(num, options, "log-level"); !l.empty()) {
    const auto found = kLogLevels.find(l);
    if (found == kLogLevels.end()) {
      bad(app, "bad log-level value '" + l + "' (debug, info, warn, error or fatal)");
      return nullptr;
    }
    level = found->second;
  }

  // On this machine only, unless a network name or address is given; then
  // the admin pages ask for a login.
  std::string listen = option(num, options, "listen-hostname", "localhost");
  const bool network = !is_loopback_name(listen);
  std::string auth = option(num, options, "auth-service");
  if (network) {
    soptions |= PAPPL_SOPTIONS_WEB_REMOTE;
    if (auth.empty())
      auth = kDefaultAuthService;
  }

  // PAPPL lets every account PAM accepts administer when the group is not
  // found, so a group that does not exist is refused, and on the network
  // the group is never left open.
  std::string group = option(num, options, "admin-group");
  if (group.empty() && network)
    group = ::getgrnam(kDefaultAdminGroup) != nullptr ? kDefaultAdminGroup : "root";
  if (!group.empty() && ::getgrnam(group.c_str()) == nullptr) {
    bad(app, "bad admin-group value '" + group + "': there is no such group");
    return nullptr;
  }

  const std::string spool = option(num, options, "spool-directory");
  const std::string log = option(num, options, "log-file");
  pappl_system_t *system = papplSystemCreate(
      soptions, "Zarn label printers", port, "_print,_universal",
      spool.empty() ? nullptr : spool.c_str(), log.empty() ? nullptr : log.c_str(), level,
      auth.empty() ? nullptr : auth.c_str(), false);
  if (system == nullptr) {
    bad(app, "cannot create the printer application");
    return nullptr;
  }
  if (!papplSystemAddListeners(system, listen == "*" ? nullptr : listen.c_str())) {
    bad(app, "cannot listen on '" + listen + "' port " + std::to_string(port));
    papplSystemDelete(system);
    return nullptr;
  }
  if (const std::string host = option(num, options, "server-hostname"); !host.empty())
    papplSystemSetHostName(system, host.c_str());
  if (!group.empty()) {
    papplSystemSetAdminGroup(system, group.c_str());
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Administration is for the group %s.", group.c_str());
  }

  papplSystemSetPrinterDrivers(system, static_cast<int>(std::size(kDrivers)), kDrivers,
                               autoadd_callback, nullptr, driver_callback, nullptr);
  papplSystemAddMIMEFilter(system, "application/pdf", kLabelFormat, print_pdf, nullptr);
  papplSystemAddMIMEFilter(system, "image/png", kLabelFormat, print_png, nullptr);
  papplSystemSetFooterHTML(system, "zarn-printer-app: labels through libzarn");
  pappl_version_t version{};
  papplCopyString(version.name, "zarn-printer-app", sizeof version.name);
  papplCopyString(version.sversion, ZARN_APP_VERSION, sizeof version.sversion);
  std::sscanf(ZARN_APP_VERSION, "%hu.%hu.%hu", &version.version[0], &version.version[1],
              &version.version[2]);
  papplSystemSetVersions(system, 1, &version);

  // The state lives as long as the process; PAPPL keeps the pointer.
  static std::string state_file;
  state_file = state_file_path(app.base_name);
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(state_file).parent_path(), ec);
  if (std::filesystem::exists(state_file))
    papplSystemLoadState(system, state_file.c_str());
  papplSystemSetSaveCallback(system, save_state, &state_file);
  shut_down_on_stop_signals(system);
  // After the stop signals are blocked: its thread must not take them.
  keep_job_order(system, state_file + ".order");
  return system;
}

} // namespace zarn::app
