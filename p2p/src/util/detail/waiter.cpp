#include "util/detail/waiter.h"

namespace velarix::p2p::util::detail {

WaitService::WaitService(boost::asio::execution_context& context)
    : boost::asio::execution_context::service(context) {}

WaitService::~WaitService() = default;

void WaitService::add(const std::shared_ptr<WaiterBase>& waiter) {
  {
    std::lock_guard lock(mutex_);
    if (!shut_down_) {
      waiters_.push_back(waiter);
      waiter->service_ = this;
      waiter->service_pos_ = std::prev(waiters_.end());
      waiter->in_service_ = true;
      return;
    }
  }
  if (waiter->claim()) waiter->drop_handler();
}

void WaitService::remove(WaiterBase& waiter) noexcept {
  std::shared_ptr<WaiterBase> removed;  // released after the mutex
  std::lock_guard lock(mutex_);
  if (!waiter.in_service_) return;
  waiter.in_service_ = false;
  removed = std::move(*waiter.service_pos_);
  waiters_.erase(waiter.service_pos_);
}

void WaitService::shutdown() {
  std::list<std::shared_ptr<WaiterBase>> left;
  {
    std::lock_guard lock(mutex_);
    shut_down_ = true;
    left.swap(waiters_);
    for (auto& w : left) w->in_service_ = false;
  }
  // Dropping a handler may destroy coroutine frames, whose destructors may start or end other
  // waits: no mutex is held here.
  for (auto& w : left) {
    if (w->claim()) w->drop_handler();
  }
}

}  // namespace velarix::p2p::util::detail
