// SPDX-License-Identifier: MIT
// The PAPPL system behind `zarn-printer-app server`: PAPPL's standard -o
// options, loopback only unless told otherwise, and the state file under the
// user's configuration folder.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace zarn::app {

struct AppInfo {
  std::string base_name; // the program's name: names the state file (PAPPL names its socket so)
};

// papplMainloop's system callback; data is an AppInfo.
pappl_system_t *create_system(int num_options, cups_option_t *options, void *data);

// $XDG_CONFIG_HOME/NAME.state, else $HOME/.config/NAME.state, else /var/lib/NAME.state.
std::string state_file_path(const std::string &base_name);

// True for listen names that keep the server on this machine: names and
// addresses whose every address is a loopback one, and domain socket paths.
bool is_loopback_name(const std::string &name);

} // namespace zarn::app
