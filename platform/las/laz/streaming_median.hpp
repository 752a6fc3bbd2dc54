#pragma once

#include <array>
#include <cstdint>

namespace las::laz {

// Median of the last five values, kept sorted incrementally; the coordinate
// predictors of the point items use it.
class StreamingMedian5 {
 public:
  std::int32_t get() const { return values_[2]; }

  void add(std::int32_t v) {
    auto& a = values_;
    if (high_) {
      if (v < a[2]) {
        a[4] = a[3];
        a[3] = a[2];
        if (v < a[0]) {
          a[2] = a[1];
          a[1] = a[0];
          a[0] = v;
        } else if (v < a[1]) {
          a[2] = a[1];
          a[1] = v;
        } else {
          a[2] = v;
        }
      } else {
        if (v < a[3]) {
          a[4] = a[3];
          a[3] = v;
        } else {
          a[4] = v;
        }
        high_ = false;
      }
    } else {
      if (a[2] < v) {
        a[0] = a[1];
        a[1] = a[2];
        if (a[4] < v) {
          a[2] = a[3];
          a[3] = a[4];
          a[4] = v;
        } else if (a[3] < v) {
          a[2] = a[3];
          a[3] = v;
        } else {
          a[2] = v;
        }
      } else {
        if (a[1] < v) {
          a[0] = a[1];
          a[1] = v;
        } else {
          a[0] = v;
        }
        high_ = true;
      }
    }
  }

 private:
  std::array<std::int32_t, 5> values_{};
  bool high_ = true;
};

}  // namespace las::laz
