// SPDX-License-Identifier: MIT
#include "scaler.hpp"

#include <algorithm>
#include <cmath>

namespace zarn::raster {

namespace {

// Share of the source cell [i, i + 1) inside [lo, hi).
double overlap(int i, double lo, double hi)
{
  return std::max(0.0, std::min<double>(i + 1, hi) - std::max<double>(i, lo));
}

} // namespace

Scaler::Scaler(int src_w, int src_h, int dst_w, int dst_h, RowOut out)
    : src_h_(src_h), dst_w_(dst_w), dst_h_(dst_h), out_(std::move(out)),
      taps_(static_cast<std::size_t>(dst_w)), hrow_(static_cast<std::size_t>(dst_w)),
      ratio_(static_cast<double>(src_h) / dst_h)
{
  const double rx = static_cast<double>(src_w) / dst_w;
  for (int j = 0; j < dst_w; ++j) {
    const double lo = j * rx, hi = (j + 1) * rx;
    Tap &tap = taps_[static_cast<std::size_t>(j)];
    tap.first = std::min(static_cast<int>(std::floor(lo)), src_w - 1);
    const int last = std::min(static_cast<int>(std::ceil(hi)) - 1, src_w - 1);
    double sum = 0;
    for (int i = tap.first; i <= last; ++i) {
      const double w = overlap(i, lo, hi);
      tap.weights.push_back(static_cast<float>(w));
      sum += w;
    }
    for (float &w : tap.weights)
      w = static_cast<float>(w / sum);
  }
}

void Scaler::push(const float *linear)
{
  if (src_y_ >= src_h_)
    return;
  for (int j = 0; j < dst_w_; ++j) {
    const Tap &tap = taps_[static_cast<std::size_t>(j)];
    const float *s = linear + tap.first;
    float v = 0;
    for (std::size_t k = 0; k < tap.weights.size(); ++k)
      v += s[k] * tap.weights[k];
    hrow_[static_cast<std::size_t>(j)] = v;
  }
  const int i = src_y_++;
  const int first = std::min(static_cast<int>(std::floor(i / ratio_)), dst_h_ - 1);
  const int last = std::min(static_cast<int>(std::ceil((i + 1) / ratio_)) - 1, dst_h_ - 1);
  for (int k = first; k <= last; ++k) {
    const double w = overlap(i, k * ratio_, (k + 1) * ratio_) / ratio_;
    if (w <= 0)
      continue;
    while (acc_first_ + static_cast<int>(acc_.size()) <= k)
      acc_.emplace_back(static_cast<std::size_t>(dst_w_), 0.0f);
    std::vector<float> &acc = acc_[static_cast<std::size_t>(k - acc_first_)];
    const float wf = static_cast<float>(w);
    for (int j = 0; j < dst_w_; ++j)
      acc[static_cast<std::size_t>(j)] += hrow_[static_cast<std::size_t>(j)] * wf;
  }
  // Output rows whose area ends within this source row are complete.
  int done = static_cast<int>(std::floor((i + 1) / ratio_ + 1e-9)) - 1;
  if (src_y_ == src_h_)
    done = dst_h_ - 1;
  finish_rows_through(std::min(done, dst_h_ - 1));
}

void Scaler::finish_rows_through(int last)
{
  while (acc_first_ <= last) {
    // Every output row overlaps some source row; paper all the same if not.
    if (acc_.empty())
      acc_.emplace_back(static_cast<std::size_t>(dst_w_), 1.0f);
    out_(acc_first_, acc_.front().data());
    acc_.erase(acc_.begin());
    ++acc_first_;
  }
}

} // namespace zarn::raster
