// SPDX-License-Identifier: MIT
// Arithmetic on numbers that came from the wire: a host may send any value
// a long long holds, so sums and differences saturate instead of wrapping
// (which would be undefined behaviour and could move an object on-label).
#pragma once

#include <algorithm>
#include <limits>

namespace zarn::emu {

inline long long sat_add(long long a, long long b)
{
  long long r = 0;
  if (__builtin_add_overflow(a, b, &r))
    return b > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
  return r;
}

inline long long sat_sub(long long a, long long b)
{
  long long r = 0;
  if (__builtin_sub_overflow(a, b, &r))
    return b < 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
  return r;
}

// Far beyond any label and any object on it (both stay below 2^31 dots), yet
// small enough that position arithmetic on it cannot overflow: positions are
// clamped to this before they are combined with object sizes.
inline constexpr long long kFarAway = 1LL << 40;

inline long long clamp_position(long long v) { return std::clamp(v, -kFarAway, kFarAway); }

} // namespace zarn::emu
