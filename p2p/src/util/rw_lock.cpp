#include "util/rw_lock.h"

namespace velarix::p2p::util {

using Error = boost::system::error_code;

RwLock::RwLock() : state_(std::make_shared<State>()) {}

RwLock::ReadGuard RwLock::try_read() {
  std::lock_guard lock(state_->mutex);
  if (state_->writer || state_->queue.front() != nullptr) return {};
  ++state_->readers;
  return ReadGuard(state_);
}

RwLock::WriteGuard RwLock::try_write() {
  std::lock_guard lock(state_->mutex);
  if (state_->writer || state_->readers > 0 || state_->queue.front() != nullptr) return {};
  state_->writer = true;
  return WriteGuard(state_);
}

std::size_t RwLock::waiting() const {
  std::lock_guard lock(state_->mutex);
  return state_->queue.size();
}

void RwLock::State::enqueue(std::shared_ptr<detail::WaiterBase> waiter, bool exclusive) {
  Grants grants;
  {
    std::lock_guard lock(mutex);
    waiter->tag = exclusive ? 1 : 0;
    queue.push(std::move(waiter));
    grant_locked(grants);
  }
  post_grants(grants);
}

void RwLock::State::abort(const std::shared_ptr<detail::WaiterBase>& waiter) {
  Grants grants;
  bool mine;
  {
    std::lock_guard lock(mutex);
    queue.erase(*waiter);
    mine = waiter->claim();
    // A writer that leaves the front may let the readers behind it in.
    grant_locked(grants);
  }
  if (mine) waiter->post_aborted();
  post_grants(grants);
}

void RwLock::State::release(bool exclusive) noexcept {
  Grants grants;
  {
    std::lock_guard lock(mutex);
    if (exclusive) {
      writer = false;
    } else {
      --readers;
    }
    grant_locked(grants);
  }
  post_grants(grants);
}

void RwLock::State::grant_locked(Grants& grants) {
  // front() skips waiters that were cancelled or dropped before they were granted.
  while (auto* front = queue.front()) {
    const bool exclusive = front->tag == 1;
    if (writer || (exclusive && readers > 0)) break;
    auto waiter = queue.pop_front();
    if (!waiter->claim()) continue;
    if (exclusive) {
      writer = true;
    } else {
      ++readers;
    }
    grants.emplace_back(std::move(waiter), exclusive);
    if (exclusive) break;
  }
}

void RwLock::State::post_grants(Grants& grants) {
  // A guard travels with the completion: should the handler be destroyed without running, the
  // guard releases the lock.
  for (auto& [waiter, exclusive] : grants) {
    if (exclusive) {
      static_cast<detail::Waiter<Error, WriteGuard>&>(*waiter).post({}, WriteGuard(shared_from_this()));
    } else {
      static_cast<detail::Waiter<Error, ReadGuard>&>(*waiter).post({}, ReadGuard(shared_from_this()));
    }
  }
}

}  // namespace velarix::p2p::util
