// SPDX-License-Identifier: MIT
// A fresh folder for one test, removed with everything in it afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zarn::test {

struct TempDir {
  std::filesystem::path path;
  TempDir()
  {
    std::string templ = (std::filesystem::temp_directory_path() / "zarn-test-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    path = templ;
  }
  ~TempDir()
  {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
};

} // namespace zarn::test
