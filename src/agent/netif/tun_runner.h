#pragma once
// The TUN-to-overlay road: packets that local applications wrote to the TUN
// device, checked and queued with their peer's send handle for the
// channel-to-overlay tasks.

#include <cstdint>
#include <memory>
#include <span>

#include <boost/asio/awaitable.hpp>

#include "agent/firewall/firewall.h"
#include "agent/tun_device.h"

namespace velarix::agent {

struct AgentInner;

// One packet read from `device`: the IPv4 check, control filter, loopback,
// TX lookup, then the offer to the C2D channel (never waiting). `tx` is the
// calling task's view of the TX trie. Allocates only the copy it queues.
boost::asio::awaitable<void> handle_outbound_packet(AgentInner& inner, TxTrieCache& tx, TunDevice& device,
                                                    std::span<const std::uint8_t> packet);

}  // namespace velarix::agent
