// SPDX-License-Identifier: MIT
// Resizing a picture as its rows arrive, by area averaging in linear light:
// every output pixel is the mean of the source area it covers (fractions of
// pixels at its edges counted by their share). Down or up, it keeps only the
// few output rows that are still gathering, never the whole picture.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace zarn::raster {

class Scaler {
 public:
  // Called with each finished output row (dst_w linear values) in order.
  using RowOut = std::function<void(int y, const float *linear)>;

  Scaler(int src_w, int src_h, int dst_w, int dst_h, RowOut out);

  // The next source row, src_w linear values (0 black .. 1 white).
  void push(const float *linear);

 private:
  struct Tap {
    int first = 0;              // first source column
    std::vector<float> weights; // one per column from first on, summing to 1
  };
  void finish_rows_through(int last);

  int src_h_, dst_w_, dst_h_;
  RowOut out_;
  std::vector<Tap> taps_;               // per output column
  std::vector<float> hrow_;             // the current source row resized across
  std::vector<std::vector<float>> acc_; // output rows still gathering, from acc_first_ on
  int acc_first_ = 0;
  int src_y_ = 0;
  double ratio_; // source rows per output row
};

} // namespace zarn::raster
