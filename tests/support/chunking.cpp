// SPDX-License-Identifier: MIT
#include "chunking.hpp"

#include <algorithm>

namespace zarn::test {

std::vector<Chunk> random_chunks(const std::string &bytes, std::mt19937 &rng, std::size_t max_size,
                                 std::chrono::milliseconds max_delay)
{
  std::uniform_int_distribution<std::size_t> size(1, std::max<std::size_t>(max_size, 1));
  std::uniform_int_distribution<long> delay(0, max_delay.count());
  std::vector<Chunk> chunks;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t n = std::min(size(rng), bytes.size() - at);
    chunks.push_back({bytes.substr(at, n), std::chrono::milliseconds(delay(rng))});
    at += n;
  }
  return chunks;
}

std::string random_text(std::mt19937 &rng, const std::string &alphabet, std::size_t n)
{
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string s(n, '\0');
  for (char &c : s)
    c = alphabet[pick(rng)];
  return s;
}

} // namespace zarn::test
