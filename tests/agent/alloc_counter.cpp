// Global operator new that counts allocations on threads that asked for it.
// Not under AddressSanitizer: it replaces every form of operator new itself,
// and replacing only some of them here would pair its allocations with our frees.

#include "common/alloc_counter.h"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define VELARIX_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELARIX_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef VELARIX_COUNT_ALLOCATIONS
#define VELARIX_COUNT_ALLOCATIONS 1
#endif

namespace {
thread_local int counting = 0;
thread_local std::size_t allocations = 0;
}  // namespace

#if VELARIX_COUNT_ALLOCATIONS
// The other forms (arrays, nothrow) forward to these two.
void* operator new(std::size_t n) {
  if (counting > 0) ++allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace velarix::test {

bool AllocCounter::available() { return VELARIX_COUNT_ALLOCATIONS != 0; }
AllocCounter::AllocCounter() : start_(allocations) { ++counting; }
AllocCounter::~AllocCounter() { --counting; }
std::size_t AllocCounter::count() const { return allocations - start_; }

}  // namespace velarix::test
