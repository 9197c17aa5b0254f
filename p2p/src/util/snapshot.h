#pragma once
// Snapshot<T>: a replaceable, shared, immutable value (the tries, the DNS catalog, ...).
//
// - `load()` returns a shared_ptr<const T>; the reader keeps using that value, unchanged, for
//   as long as it holds it, whatever writers store meanwhile. A reader never sees a torn value.
// - `store()` replaces the value for later loads; the old value is destroyed when its last
//   reader lets go (never inside the snapshot's critical section).
// - All members are thread-safe.
//
// Why not std::atomic<std::shared_ptr<const T>>: with g++ 12 (libstdc++ 12) it is not lock-free
// either (is_lock_free() is false); it guards the pointer with a spin lock in the low bit of
// the control-block pointer, and its load() releases that lock with a relaxed store, so a
// writer's next swap is not ordered after the reader's read of the pointer. ThreadSanitizer
// reports that as a data race. This class does the same thing with correct ordering: a spin
// lock held only to copy (reader: one reference-count increment) or swap (writer) the
// shared_ptr, a few instructions. A reader therefore waits at most for another thread's copy or
// swap, never for a writer's construction of T or the destruction of an old value; a waiting
// thread spins briefly, then yields.
//
// A hot reader (one packet task) keeps a `Cached` copy instead of loading per use: it checks a
// store counter (a shared read, no write) and takes a new reference only after a store, so
// readers on many cores do not bounce the value's reference count per packet. The value it
// holds stays alive until its next reload or its end.
//
// Readers on per-packet paths that hold nothing between packets use `read(guard)` instead: a
// plain pointer load inside a read section (util/rcu.h), no lock and no reference count. A
// store hands the replaced value's reference to the reclamation, which lets it go once every
// section that may have read it has ended (at once when none is open).

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>

#include "util/rcu.h"

namespace velarix::p2p::util {

template <class T>
class Snapshot {
 public:
  using Ptr = std::shared_ptr<const T>;

  // Holds a default-constructed T.
  Snapshot() : value_(std::make_shared<const T>()), raw_(value_.get()) {}
  explicit Snapshot(Ptr value) : value_(std::move(value)), raw_(value_.get()) {}
  explicit Snapshot(T value) : value_(std::make_shared<const T>(std::move(value))), raw_(value_.get()) {}
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  Ptr load() const noexcept {
    lock();
    Ptr copy = value_;
    unlock();
    return copy;
  }

  void store(Ptr value) { exchange(std::move(value)); }
  void store(T value) { store(std::make_shared<const T>(std::move(value))); }

  // Stores `value` and returns the value it replaced.
  Ptr exchange(Ptr value) {
    lock();
    value_.swap(value);
    raw_.store(value_.get(), std::memory_order_seq_cst);
    epoch_.fetch_add(1, std::memory_order_release);
    unlock();
    // Sections that read the old pointer keep it alive through this reference.
    if (value) rcu::retire_delete(new Ptr(value));
    return value;
  }

  // The current value, valid until `guard` ends; no lock, no reference count.
  const T& read(const rcu::ReadGuard&) const noexcept { return *raw_.load(std::memory_order_seq_cst); }

  // Counts the stores; changes with every store.
  std::uint64_t epoch() const noexcept { return epoch_.load(std::memory_order_acquire); }

  // One reader's copy of the value; not thread-safe itself (one per task or thread).
  class Cached {
   public:
    explicit Cached(const Snapshot& snapshot) noexcept : snapshot_(&snapshot) {}

    // The current value; reloads only when a store happened since the last reload.
    const T& get() noexcept {
      const std::uint64_t now = snapshot_->epoch();
      if (!value_ || now != epoch_) {
        // The value loaded is at least as new as `now`: a later store only causes one more reload.
        value_ = snapshot_->load();
        epoch_ = now;
      }
      return *value_;
    }
    // Lets the held value go (it may be the last reference).
    void reset() noexcept { value_.reset(); }

   private:
    const Snapshot* snapshot_;
    std::uint64_t epoch_ = 0;
    Ptr value_;
  };

 private:
  void lock() const noexcept {
    for (unsigned spins = 0; locked_.exchange(true, std::memory_order_acquire);) {
      while (locked_.load(std::memory_order_relaxed)) {
        if (++spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
          __builtin_ia32_pause();
#endif
        } else {
          std::this_thread::yield();
        }
      }
    }
  }
  void unlock() const noexcept { locked_.store(false, std::memory_order_release); }

  mutable std::atomic<bool> locked_{false};
  std::atomic<std::uint64_t> epoch_{0};
  Ptr value_;
  std::atomic<const T*> raw_;
};

}  // namespace velarix::p2p::util
