#include "allocation_counting.h"

#include <cstdlib>
#include <new>

namespace {
thread_local int g_open = 0;
thread_local std::size_t g_allocations = 0;

void* allocate(std::size_t size) {
  if (g_open > 0) ++g_allocations;
  if (size == 0) size = 1;
  if (void* p = std::malloc(size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace velarix::test {

CountAllocations::CountAllocations() : start_(g_allocations) { ++g_open; }
CountAllocations::~CountAllocations() { --g_open; }
std::size_t CountAllocations::count() const { return g_allocations - start_; }

}  // namespace velarix::test
