// SPDX-License-Identifier: MIT
// The printer's variables (@1, NAME$) and the counters that step them after
// each printed set, held to one memory cap. They belong to the printer, not
// to a connection: only a reset (ESC ! R) clears them.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::emu {

class Variables {
 public:
  explicit Variables(std::size_t max_bytes) : max_bytes_(max_bytes) {}

  // Sets a variable; false when names and values together would pass the
  // cap (the variable keeps its old value).
  bool set(const std::string &name, std::string value);
  // The value, or null when the variable is not set.
  const std::string *find(std::string_view name) const;
  // SET COUNTER: name steps by step after each printed set.
  void set_counter(std::string name, long long step) { counters_[std::move(name)] = step; }
  // Steps every counter whose variable is set; returns the names that did
  // not fit the memory any more (they keep their values).
  std::vector<std::string> step_counters();
  void clear();

  std::size_t max_bytes() const { return max_bytes_; }

 private:
  std::size_t max_bytes_;
  std::size_t bytes_ = 0;
  std::map<std::string, std::string, std::less<>> values_;
  std::map<std::string, long long> counters_; // variable -> step
};

// Adds step to a decimal text, keeping its width ("0009" + 1 = "0010");
// saturates at the largest number and stops at 0. Other texts stay as they are.
std::string count_up(const std::string &value, long long step);

} // namespace zarn::emu
