#pragma once
// Counts C++ heap allocations (operator new) made on the calling thread while
// an AllocCounter lives, for tests that show a path allocates only what it
// must. The replacement allocation functions (every form, so that sanitizers
// see each allocation and its release meet in malloc and free) are in
// tests/common/alloc_counter.cpp, linked into the suites that use it.

#include <cstddef>

namespace velarix::test {

class AllocCounter {
 public:
  AllocCounter();
  ~AllocCounter();
  AllocCounter(const AllocCounter&) = delete;
  AllocCounter& operator=(const AllocCounter&) = delete;

  // Allocations on this thread since the counter was made.
  std::size_t count() const;

 private:
  std::size_t start_;
};

}  // namespace velarix::test
