#pragma once
// Counts C++ heap allocations (operator new) made on the calling thread while
// an AllocCounter lives. The replacement operator new is in
// tests/agent/alloc_counter.cpp; only the agent suite links it.

#include <cstddef>

namespace velarix::test {

class AllocCounter {
 public:
  // False in builds whose sanitizer owns operator new.
  static bool available();

  AllocCounter();
  ~AllocCounter();
  AllocCounter(const AllocCounter&) = delete;
  AllocCounter& operator=(const AllocCounter&) = delete;

  std::size_t count() const;

 private:
  std::size_t start_;
};

}  // namespace velarix::test
