// SPDX-License-Identifier: MIT
#include "variables.hpp"

#include "fields.hpp"
#include "saturate.hpp"

#include <algorithm>
#include <cctype>

namespace zarn::emu {

bool Variables::set(const std::string &name, std::string value)
{
  const auto it = values_.find(name);
  const std::size_t old = it == values_.end() ? 0 : name.size() + it->second.size();
  const std::size_t bytes = name.size() + value.size();
  if (bytes_ - old + bytes > max_bytes_)
    return false;
  bytes_ = bytes_ - old + bytes;
  values_[name] = std::move(value);
  return true;
}

const std::string *Variables::find(std::string_view name) const
{
  const auto it = values_.find(name);
  return it == values_.end() ? nullptr : &it->second;
}

std::vector<std::string> Variables::step_counters()
{
  std::vector<std::string> full;
  for (const auto &[name, step] : counters_) {
    if (const std::string *value = find(name); value && !set(name, count_up(*value, step)))
      full.push_back(name);
  }
  return full;
}

void Variables::clear()
{
  values_.clear();
  counters_.clear();
  bytes_ = 0;
}

std::string count_up(const std::string &value, long long step)
{
  long long v = 0;
  if (value.empty() || value.size() > 15 ||
      !std::all_of(value.begin(), value.end(),
                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) ||
      !parse_integer(value, v))
    return value;
  v = std::max(sat_add(v, step), 0LL);
  std::string s = std::to_string(v);
  if (s.size() < value.size())
    s.insert(0, value.size() - s.size(), '0');
  return s;
}

} // namespace zarn::emu
