// SPDX-License-Identifier: MIT
// zarn-printer-app: shares label printers driven by libzarn as IPP
// Everywhere printers. PAPPL's main loop gives the command line: server,
// add, submit, status, jobs, ...
#include "devices.hpp"
#include "driver.hpp"
#include "system.hpp"
#include "worker.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <filesystem>
#include <iterator>

namespace {

// add and modify check the device of -v before it goes to the server,
// which would only say that the driver cannot be used with it: the
// reason is the user's to read. Empty when there is nothing to refuse.
std::string device_problem(int argc, char *argv[])
{
  if (argc < 2 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "modify") != 0))
    return {};
  for (int i = 2; i < argc; ++i) {
    const char *uri = nullptr;
    if (std::strcmp(argv[i], "-v") == 0 && i + 1 < argc)
      uri = argv[++i];
    else if (std::strncmp(argv[i], "-v", 2) == 0)
      uri = argv[i] + 2;
    std::string error;
    if (uri != nullptr && zarn::app::is_zarn_uri(uri) && !zarn::app::parse_device_uri(uri, error))
      return "bad device " + error;
  }
  return {};
}

} // namespace

int main(int argc, char *argv[])
{
  // The app starts one of these per printer; it serves that printer's
  // connection over its descriptor 3.
  if (argc == 2 && std::strcmp(argv[1], zarn::app::kWorkerArgument) == 0)
    return zarn::app::worker_main();
  zarn::app::AppInfo app;
  app.base_name = argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "";
  if (app.base_name.empty())
    app.base_name = "zarn-printer-app";
  if (const std::string problem = device_problem(argc, argv); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", app.base_name.c_str(), problem.c_str());
    return 1;
  }
  zarn::app::register_device_schemes();
  return papplMainloop(argc, argv, ZARN_APP_VERSION, nullptr,
                       static_cast<int>(std::size(zarn::app::kDrivers)), zarn::app::kDrivers,
                       zarn::app::autoadd_callback, zarn::app::driver_callback, nullptr, nullptr,
                       zarn::app::create_system, nullptr, &app);
}
