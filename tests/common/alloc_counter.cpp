// Global allocation functions that count allocations on threads that asked for it.

#include "common/alloc_counter.h"

#include <cstdlib>
#include <new>

// Every form of the global allocation functions is replaced, so that each
// allocation and its release meet in malloc and free (a sanitizer otherwise
// sees a mismatch between a form left to the runtime and one replaced here).
namespace {
thread_local int g_open = 0;
thread_local std::size_t g_allocations = 0;

void* allocate(std::size_t size) noexcept {
  if (g_open > 0) ++g_allocations;
  return std::malloc(size == 0 ? 1 : size);
}
void* allocate(std::size_t size, std::align_val_t align) noexcept {
  if (g_open > 0) ++g_allocations;
  const auto a = static_cast<std::size_t>(align);
  const std::size_t rounded = ((size == 0 ? 1 : size) + a - 1) / a * a;
  return std::aligned_alloc(a, rounded);
}
template <class... A>
void* allocate_or_throw(std::size_t size, A... align) {
  if (void* p = allocate(size, align...)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return allocate_or_throw(n); }
void* operator new[](std::size_t n) { return allocate_or_throw(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, a); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return allocate(n, a); }
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return allocate(n, a); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace velarix::test {

AllocCounter::AllocCounter() : start_(g_allocations) { ++g_open; }
AllocCounter::~AllocCounter() { --g_open; }
std::size_t AllocCounter::count() const { return g_allocations - start_; }

}  // namespace velarix::test
