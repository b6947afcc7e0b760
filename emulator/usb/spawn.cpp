// SPDX-License-Identifier: MIT
// A child process that sees the emulated devices: the umockdev preload
// library in its environment, the testbed location inherited.
#include "usb_printer_sim.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <vector>

extern char **environ;

namespace zarn::usbsim {

pid_t UsbPrinterSim::spawn_child(const std::vector<std::string> &argv)
{
  if (argv.empty())
    return -1;
  // The child's environment: ours, with the preload library in front.
  std::vector<std::string> env;
  bool have_preload = false;
  for (char **e = environ; *e; ++e) {
    std::string kv = *e;
    if (kv.rfind("LD_PRELOAD=", 0) == 0) {
      if (kv.find("libumockdev-preload") == std::string::npos)
        kv = "LD_PRELOAD=libumockdev-preload.so.0:" + kv.substr(11);
      have_preload = true;
    }
    env.push_back(std::move(kv));
  }
  if (!have_preload)
    env.push_back("LD_PRELOAD=libumockdev-preload.so.0");

  std::vector<char *> cargv, cenv;
  for (auto &a : argv)
    cargv.push_back(const_cast<char *>(a.c_str()));
  cargv.push_back(nullptr);
  for (auto &e : env)
    cenv.push_back(e.data());
  cenv.push_back(nullptr);

  pid_t pid;
  if (posix_spawnp(&pid, cargv[0], nullptr, nullptr, cargv.data(), cenv.data()) != 0)
    return -1;
  return pid;
}

int UsbPrinterSim::run_child(const std::vector<std::string> &argv)
{
  const pid_t pid = spawn_child(argv);
  if (pid < 0)
    return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return -1;
  }
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return -1;
}

} // namespace zarn::usbsim
