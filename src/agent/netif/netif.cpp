#include "agent/netif/netif.h"

#include "agent/inner.h"
#include "util/log.h"
#include "util/runtime.h"

namespace velarix::agent {

namespace {

boost::asio::awaitable<std::expected<std::size_t, boost::system::error_code>> no_device() {
  co_return std::unexpected(
      boost::system::error_code(boost::system::errc::not_connected, tun_device_none_category()));
}

// Runs the TUN runner and reports how it ended. Only a failed task stops the
// agent; a runner whose tasks all ended (shut-down, a read error) leaves the
// rest of the agent running.
boost::asio::awaitable<void> runner_task(std::shared_ptr<AgentInner> inner, std::shared_ptr<TunDevice> device,
                                         p2p::util::CancellationToken token) {
  auto result = co_await tun_runner(inner, std::move(device), std::move(token));
  if (!result) {
    log::error("TUN runner failed: {}", result.error());
    inner->cancellation_token.cancel();
  } else {
    log::trace("TUN runner finished");
  }
}

}  // namespace

AgentNetif::AgentNetif(std::shared_ptr<PlatformDependent> platform)
    : device_(platform ? platform->tun_device : nullptr), slot_(Slot{device_, std::nullopt}) {}

boost::asio::awaitable<std::expected<std::size_t, boost::system::error_code>> AgentNetif::send(
    std::span<const std::uint8_t> packet) const {
  // Not a coroutine itself: the write's own frame is the only one per packet.
  if (!device_) return no_device();
  return device_->send(packet);
}

void AgentNetif::apply_desired_state(const std::shared_ptr<AgentInner>& inner) {
  auto slot = slot_.load();
  if (!slot->runner_token) {
    auto token = inner->cancellation_token.child_token();
    slot_.store(Slot{slot->device, token});
    log::trace("Start TUN device runner");
    p2p::util::spawn_detached(inner->executor, runner_task(inner, slot->device, token));
  }
  log::trace(
      "We're running on a mobile platform where the network listener handles TUN address updates. Therefore, we "
      "just assume everything is fine and hope for the best! \U0001F91E");
}

}  // namespace velarix::agent
