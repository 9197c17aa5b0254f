#include "util/rcu.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

namespace velarix::p2p::util::rcu {

namespace detail {

thread_local ThreadState t_state;
std::atomic<std::uint64_t> g_epoch{1};
std::atomic<std::uint64_t> g_newest_pending{0};

namespace {

struct Retired {
  std::uint64_t epoch;
  void* p;
  void (*destroy)(void*);
};

// Never destroyed: objects retired by static destructors at exit must still find it.
struct Domain {
  std::mutex mutex;
  std::vector<Retired> retired;  // guarded by mutex
  std::atomic<Slot*> slots{nullptr};
};

Domain& domain() {
  static Domain* d = new Domain;
  return *d;
}

}  // namespace

ThreadState::~ThreadState() {
  if (slot != nullptr) {
    slot->epoch.store(0, std::memory_order_seq_cst);
    slot->in_use.store(false, std::memory_order_release);
    slot = nullptr;
  }
}

Slot* register_thread() {
  auto& d = domain();
  // A slot left by a thread that ended is taken over; otherwise a new one joins the list.
  for (Slot* s = d.slots.load(std::memory_order_acquire); s != nullptr; s = s->next) {
    bool expected = false;
    if (!s->in_use.load(std::memory_order_relaxed) &&
        s->in_use.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
      return s;
    }
  }
  auto* s = new Slot;
  s->in_use.store(true, std::memory_order_relaxed);
  std::lock_guard lock(d.mutex);
  s->next = d.slots.load(std::memory_order_relaxed);
  d.slots.store(s, std::memory_order_release);
  return s;
}

void after_section() { reclaim(); }

}  // namespace detail

using detail::domain;

void retire(void* p, void (*destroy)(void*)) {
  auto& d = domain();
  // Sections that begin from now on read a later epoch: they cannot reach `p` any more.
  const std::uint64_t epoch = detail::g_epoch.fetch_add(1, std::memory_order_seq_cst);
  {
    std::lock_guard lock(d.mutex);
    d.retired.push_back({epoch, p, destroy});
    if (epoch > detail::g_newest_pending.load(std::memory_order_relaxed)) {
      detail::g_newest_pending.store(epoch, std::memory_order_seq_cst);
    }
  }
  reclaim();
}

bool reclaim() {
  auto& d = domain();
  std::vector<detail::Retired> ready;
  bool empty = false;
  {
    std::lock_guard lock(d.mutex);
    if (d.retired.empty()) {
      detail::g_newest_pending.store(0, std::memory_order_seq_cst);
      return true;
    }
    std::uint64_t oldest = std::numeric_limits<std::uint64_t>::max();
    for (const detail::Slot* s = d.slots.load(std::memory_order_acquire); s != nullptr; s = s->next) {
      const std::uint64_t e = s->epoch.load(std::memory_order_seq_cst);
      if (e != 0) oldest = std::min(oldest, e);
    }
    auto keep = std::partition(d.retired.begin(), d.retired.end(),
                               [&](const detail::Retired& r) { return r.epoch >= oldest; });
    ready.assign(std::make_move_iterator(keep), std::make_move_iterator(d.retired.end()));
    d.retired.erase(keep, d.retired.end());
    empty = d.retired.empty();
    std::uint64_t newest = 0;
    for (const auto& r : d.retired) newest = std::max(newest, r.epoch);
    detail::g_newest_pending.store(newest, std::memory_order_seq_cst);
  }
  // Outside the lock: a destructor may retire in turn.
  for (const auto& r : ready) r.destroy(r.p);
  return empty;
}

}  // namespace velarix::p2p::util::rcu
