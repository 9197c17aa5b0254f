#include "util/cancellation_token.h"

#include <vector>

namespace velarix::p2p::util {

CancellationToken::CancellationToken() : state_(std::make_shared<State>()) {}

CancellationToken CancellationToken::child_token() const {
  auto child = std::make_shared<State>();
  std::lock_guard lock(state_->mutex);
  if (state_->cancelled.load(std::memory_order_relaxed)) {
    child->cancelled.store(true, std::memory_order_release);
  } else {
    state_->children.push_back(child);
    child->parent = state_;
    child->position = std::prev(state_->children.end());
  }
  return CancellationToken(std::move(child));
}

void CancellationToken::cancel() const { state_->cancel(); }

bool CancellationToken::is_cancelled() const noexcept {
  return state_->cancelled.load(std::memory_order_acquire);
}

std::size_t CancellationToken::live_children() const {
  std::lock_guard lock(state_->mutex);
  return state_->children.size();
}

std::size_t CancellationToken::pending_waits() const {
  std::lock_guard lock(state_->mutex);
  return state_->waiters.size();
}

CancellationToken::State::~State() {
  if (!parent) return;
  // A cancelled parent has already let go of its whole list.
  std::lock_guard lock(parent->mutex);
  if (!parent->cancelled.load(std::memory_order_relaxed)) parent->children.erase(position);
}

void CancellationToken::State::cancel() {
  std::list<std::weak_ptr<State>> kids;
  detail::WaitList::List woken;
  {
    std::lock_guard lock(mutex);
    if (cancelled.load(std::memory_order_relaxed)) return;
    cancelled.store(true, std::memory_order_release);
    kids.swap(children);
    woken = waiters.take_all();
  }
  for (auto& w : woken) {
    if (w->claim()) static_cast<detail::Waiter<boost::system::error_code>&>(*w).post({});
  }
  for (auto& k : kids) {
    if (auto child = k.lock()) child->cancel();
  }
}

void CancellationToken::State::add_waiter(std::shared_ptr<detail::Waiter<boost::system::error_code>> waiter) {
  {
    std::lock_guard lock(mutex);
    if (!cancelled.load(std::memory_order_relaxed)) {
      // Not when the wait was cancelled before it got here.
      if (!waiter->claimed()) waiters.push(std::move(waiter));
      return;
    }
  }
  waiter->complete({});
}

void CancellationToken::State::abort(const std::shared_ptr<detail::WaiterBase>& waiter) {
  detail::abort_waiter(mutex, waiters, waiter);
}

}  // namespace velarix::p2p::util
