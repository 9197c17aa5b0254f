#include "agent/netif/netif.h"

#include "agent/inner.h"
#include "util/log.h"
#include "util/runtime.h"

namespace velarix::agent {

AgentNetif::AgentNetif(std::shared_ptr<PlatformDependent> platform)
    : slot_(Slot{platform ? platform->tun_device : nullptr, std::nullopt}) {}

boost::asio::awaitable<std::expected<std::size_t, boost::system::error_code>> AgentNetif::send(
    std::span<const std::uint8_t> packet) const {
  auto slot = slot_.load();
  if (!slot->device) co_return std::unexpected(boost::system::error_code(boost::system::errc::not_connected,
                                                                        tun_device_none_category()));
  co_return co_await slot->device->send(packet);
}

void AgentNetif::apply_desired_state(const std::shared_ptr<AgentInner>& inner) {
  auto slot = slot_.load();
  if (!slot->runner_token) {
    auto token = inner->cancellation_token.child_token();
    slot_.store(Slot{slot->device, token});
    log::trace("Start TUN device runner");
    p2p::util::spawn_detached(inner->executor, tun_runner(inner, slot->device, token));
  }
  log::trace(
      "We're running on a mobile platform where the network listener handles TUN address updates. Therefore, we "
      "just assume everything is fine and hope for the best! \U0001F91E");
}

}  // namespace velarix::agent
