// SPDX-License-Identifier: MIT
// The printer's file storage: downloaded files kept in memory and, when a
// folder is given, written there under a safe spelling of their names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::emu {

class FileStore {
 public:
  // Storage never holds more than this many bytes of files.
  static constexpr std::size_t kMaxBytes = 256u << 20;

  FileStore(std::filesystem::path folder, std::size_t max_files)
      : folder_(std::move(folder)), max_files_(max_files)
  {
  }

  // Stores or replaces a file; false when it is not kept. trouble says what
  // went wrong (a failed write to the folder still keeps the file in memory).
  bool store(const std::string &name, std::span<const std::uint8_t> data, std::string &trouble);
  // Deletes the file of that name, or every file for "*"; how many went.
  std::size_t kill(const std::string &name);

  const std::map<std::string, std::vector<std::uint8_t>> &files() const { return files_; }

  // The name in the folder: bytes outside printable ASCII, '/', '\', '%'
  // and a leading dot become %XX, so a name can never leave the folder.
  static std::string file_name(std::string_view name);

 private:
  std::filesystem::path folder_;
  std::size_t max_files_;
  std::map<std::string, std::vector<std::uint8_t>> files_;
  std::size_t bytes_ = 0;
};

} // namespace zarn::emu
