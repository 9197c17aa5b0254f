#pragma once
// Read-copy-update reclamation for the structures every packet reads: the peers and short-id
// maps, send-handle states, the super peer's routes. Readers find their way through them
// without a lock and without touching a reference count; writers publish a new version and
// hand the old one here, which destroys it once no reader can still be looking at it.
//
// - A `ReadGuard` opens a read section on the calling thread: whatever is loaded from a
//   structure guarded this way stays valid until the guard ends. Sections nest. A section must
//   never span a co_await (the coroutine may resume on another thread): take what is needed out
//   of it first. Keep sections short: a packet, a batch of packets.
// - `retire(p, destroy)` runs `destroy(p)` once every section that may have seen `p` has ended:
//   at once when none is open, otherwise at the end of the last such section (sections that
//   began later never look). The caller must have unpublished `p` before, so that no new section can reach it.
// - Cost of a section: a shared load of the global epoch and two stores to the thread's own
//   slot; no lock, no allocation (a thread's first section registers it, once).
//
// How: every retire advances a global epoch. A section records the epoch it began in; an object
// retired at epoch e is destroyed when every open section began after e (those loaded their
// pointers after it was unpublished). All accesses are sequentially consistent, which is what
// makes the reader's "announce, then load" and the writer's "unpublish, then scan" see each
// other, without standalone fences (which ThreadSanitizer cannot follow).

#include <atomic>
#include <cstdint>

namespace velarix::p2p::util::rcu {

namespace detail {

struct alignas(64) Slot {
  std::atomic<std::uint64_t> epoch{0};  // 0: no section open
  std::atomic<bool> in_use{false};
  Slot* next = nullptr;  // the registry's list; fixed once published
};

struct ThreadState {
  Slot* slot = nullptr;
  unsigned depth = 0;
  std::uint64_t epoch = 0;  // of the open section
  ~ThreadState();
};

extern thread_local ThreadState t_state;
extern std::atomic<std::uint64_t> g_epoch;
// The epoch of the newest object waiting to be destroyed (0: none). Only a section that began
// at or before it can be what holds something back, so only such a section looks at its end.
extern std::atomic<std::uint64_t> g_newest_pending;

Slot* register_thread();
void after_section();

}  // namespace detail

class ReadGuard {
 public:
  ReadGuard() {
    auto& t = detail::t_state;
    if (t.depth++ == 0) {
      if (t.slot == nullptr) t.slot = detail::register_thread();
      t.epoch = detail::g_epoch.load(std::memory_order_seq_cst);
      t.slot->epoch.store(t.epoch, std::memory_order_seq_cst);
    }
  }
  ~ReadGuard() {
    auto& t = detail::t_state;
    if (--t.depth == 0) {
      t.slot->epoch.store(0, std::memory_order_seq_cst);
      if (t.epoch <= detail::g_newest_pending.load(std::memory_order_seq_cst)) detail::after_section();
    }
  }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;
};

// Destroys `p` with `destroy` once no read section can still see it (see above).
void retire(void* p, void (*destroy)(void*));

template <class T>
void retire_delete(T* p) {
  retire(p, [](void* q) { delete static_cast<T*>(q); });
}

// Destroys what may be destroyed now; true when nothing is left waiting. For tests.
bool reclaim();

// Whether the calling thread is inside a read section.
inline bool in_section() noexcept { return detail::t_state.depth > 0; }

}  // namespace velarix::p2p::util::rcu
