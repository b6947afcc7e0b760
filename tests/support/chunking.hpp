// SPDX-License-Identifier: MIT
// Random splitting of a reply into timed chunks, for the fuzz-style tests.
#pragma once

#include "fake_printer.hpp"

#include <random>
#include <string>
#include <vector>

namespace zarn::test {

// Cuts bytes, in order, into chunks of 1..max_size bytes; each chunk waits
// 0..max_delay before it goes out. Empty input gives no chunks.
std::vector<Chunk> random_chunks(const std::string &bytes, std::mt19937 &rng, std::size_t max_size,
                                 std::chrono::milliseconds max_delay);

// n bytes drawn uniformly from alphabet.
std::string random_text(std::mt19937 &rng, const std::string &alphabet, std::size_t n);

} // namespace zarn::test
