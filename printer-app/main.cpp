// SPDX-License-Identifier: MIT
// zarn-printer-app: shares label printers driven by libzarn as IPP
// Everywhere printers. PAPPL's main loop gives the command line: server,
// add, submit, status, jobs, ...
#include "devices.hpp"
#include "driver.hpp"
#include "system.hpp"
#include "worker.hpp"

#include <cstring>
#include <filesystem>
#include <iterator>

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
  zarn::app::register_device_schemes();
  return papplMainloop(argc, argv, ZARN_APP_VERSION, nullptr,
                       static_cast<int>(std::size(zarn::app::kDrivers)), zarn::app::kDrivers,
                       zarn::app::autoadd_callback, zarn::app::driver_callback, nullptr, nullptr,
                       zarn::app::create_system, nullptr, &app);
}
