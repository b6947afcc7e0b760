// SPDX-License-Identifier: MIT
#include "files.hpp"

#include "fields.hpp"

#include <cstdio>
#include <fstream>
#include <system_error>

namespace zarn::emu {

bool FileStore::store(const std::string &name, std::span<const std::uint8_t> data,
                      std::string &trouble)
{
  trouble.clear();
  const auto it = files_.find(name);
  const std::size_t old = it == files_.end() ? 0 : it->second.size();
  if (it == files_.end() && files_.size() >= max_files_) {
    trouble = "storage holds " + std::to_string(files_.size()) + " files, the most it keeps; \"" +
              shown(name) + "\" not stored";
    return false;
  }
  if (bytes_ - old + data.size() > kMaxBytes) {
    trouble = "storage full, \"" + shown(name) + "\" not stored";
    return false;
  }
  bytes_ = bytes_ - old + data.size();
  files_[name].assign(data.begin(), data.end());
  if (!folder_.empty()) {
    const auto path = folder_ / file_name(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()),
              static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out)
      trouble = "cannot write " + path.string();
  }
  return true;
}

std::size_t FileStore::kill(const std::string &name)
{
  std::vector<std::string> gone;
  for (const auto &[n, data] : files_)
    if (name == "*" || n == name)
      gone.push_back(n);
  for (const std::string &n : gone) {
    bytes_ -= files_[n].size();
    files_.erase(n);
    if (!folder_.empty()) {
      std::error_code ec;
      std::filesystem::remove(folder_ / file_name(n), ec);
    }
  }
  return gone.size();
}

std::string FileStore::file_name(std::string_view name)
{
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c >= 0x7F || c == '/' || c == '\\' || c == '%' || (i == 0 && c == '.')) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (out.empty())
    out = "%";
  return out;
}

} // namespace zarn::emu
