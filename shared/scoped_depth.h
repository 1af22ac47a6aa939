// scoped_depth: one level of a nesting count, held for the life of a scope.
//
// Nesting counts (exchanges with the host waiting, method calls in
// progress) rise as a scope opens and fall as it closes, whichever way it is
// left, so an early return cannot leave a count behind. A count is never
// negative. A scope given no count holds none.
#pragma once

#include <cassert>

class ScopedDepth {
 public:
  explicit ScopedDepth(int* depth) : depth_(depth) {
    if (depth_) ++*depth_;
  }
  ~ScopedDepth() {
    if (!depth_) return;
    assert(*depth_ > 0);
    --*depth_;
  }
  ScopedDepth(const ScopedDepth&) = delete;
  ScopedDepth& operator=(const ScopedDepth&) = delete;

 private:
  int* depth_;
};
