#pragma once
// The per-destination handle through which the agent sends application payloads.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/udp.hpp>

#include "identity/identity.h"
#include "message/messages.h"
#include "node/error.h"
#include "node/short_id.h"
#include "peer/cow_map.h"
#include "peer/node_peer.h"
#include "peer/peers_list.h"
#include "peer/tcp_connection.h"
#include "util/snapshot.h"

namespace velarix::p2p {

class NodeInner;

// How `send` reaches the peer right now; replaced whole by housekeeping.
struct SendHandleState {
  using UdpSocketPtr = std::shared_ptr<boost::asio::ip::udp::socket>;

  std::optional<boost::asio::ip::udp::endpoint> direct_path;
  UdpSocketPtr direct_socket;  // set whenever direct_path is
  std::optional<ShortId> tx_short_id;
  MessageKey message_key;
  std::shared_ptr<TimeCell> app_tx = std::make_shared<TimeCell>(0);
  std::vector<std::pair<boost::asio::ip::udp::endpoint, UdpSocketPtr>> relay_udp_paths;
  std::shared_ptr<TcpWriter> relay_tcp;
};

class SendHandle {
 public:
  SendHandle(const PubKey& pk, std::weak_ptr<NodeInner> node, SendHandleState state);
  SendHandle(const SendHandle&) = delete;
  SendHandle& operator=(const SendHandle&) = delete;

  const PubKey& pk() const noexcept { return pk_; }

  // Sends one payload: over the direct path when there is one (short header
  // when the peer gave a short id), else relayed through the default super peer.
  boost::asio::awaitable<std::expected<void, Error>> send(std::span<const std::uint8_t> payload);

  std::shared_ptr<const SendHandleState> state() const noexcept { return state_.load(); }
  void set_state(SendHandleState state) { state_.store(std::move(state)); }

  // After this every send fails with SendHandleClosed.
  void close() noexcept { closed_.store(true, std::memory_order_release); }
  bool is_closed() const noexcept { return closed_.load(std::memory_order_acquire) || node_.expired(); }

 private:
  PubKey pk_;
  std::weak_ptr<NodeInner> node_;
  std::atomic<bool> closed_{false};
  util::Snapshot<SendHandleState> state_;
};

// The node's send handles, one per destination.
class SendHandlesList {
 public:
  SendHandlesList() = default;
  SendHandlesList(const SendHandlesList&) = delete;
  SendHandlesList& operator=(const SendHandlesList&) = delete;

  CowMap<PubKey, std::shared_ptr<SendHandle>, SeededPubKeyHash> handles;

  void close_all();
};

}  // namespace velarix::p2p
