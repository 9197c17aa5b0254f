// Global operator new that counts allocations on threads that asked for it.

#include "common/alloc_counter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local int counting = 0;
thread_local std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
  if (counting > 0) ++allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace velarix::test {

AllocCounter::AllocCounter() : start_(allocations) { ++counting; }
AllocCounter::~AllocCounter() { --counting; }
std::size_t AllocCounter::count() const { return allocations - start_; }

}  // namespace velarix::test
