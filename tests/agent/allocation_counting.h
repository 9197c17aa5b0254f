#pragma once
// Counts the heap allocations made on the calling thread while a scope is open,
// for tests that show a packet road allocates only what it must.

#include <cstddef>

namespace velarix::test {

class CountAllocations {
 public:
  CountAllocations();
  ~CountAllocations();
  CountAllocations(const CountAllocations&) = delete;
  CountAllocations& operator=(const CountAllocations&) = delete;

  // Allocations on this thread since the scope opened.
  std::size_t count() const;

 private:
  std::size_t start_;
};

}  // namespace velarix::test
