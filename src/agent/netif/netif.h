#pragma once
// The TUN-side network interface on the mobile platform: the host's facility
// configures addresses and routes itself, so the interface only keeps the
// device, writes packets to it and starts the TUN runner once.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>

#include <boost/asio/awaitable.hpp>
#include <boost/system/error_code.hpp>

#include "agent/network_change.h"
#include "agent/tun_device.h"
#include "util/cancellation_token.h"
#include "util/snapshot.h"

namespace velarix::agent {

struct AgentInner;

class AgentNetif {
 public:
  struct Slot {
    std::shared_ptr<TunDevice> device;
    std::optional<p2p::util::CancellationToken> runner_token;
  };

  explicit AgentNetif(std::shared_ptr<PlatformDependent> platform);

  // Writes one packet to the device; "TUN device is None" without one. The
  // packet must stay alive until the write completes.
  boost::asio::awaitable<std::expected<std::size_t, boost::system::error_code>> send(
      std::span<const std::uint8_t> packet) const;

  // Starts the TUN runner on the first call; never configures the device.
  void apply_desired_state(const std::shared_ptr<AgentInner>& inner);

  std::shared_ptr<const Slot> slot() const { return slot_.load(); }

 private:
  // The device never changes after construction, so writers read it without
  // loading the slot (no shared reference count touched per packet).
  const std::shared_ptr<TunDevice> device_;
  p2p::util::Snapshot<Slot> slot_;
};

}  // namespace velarix::agent
