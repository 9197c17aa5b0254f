#pragma once
// The per-destination handle through which the agent sends application payloads, and the batch
// that sends many payloads with few system calls.

#include <atomic>
#include <chrono>
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
#include "node/opts.h"
#include "node/short_id.h"
#include "peer/cow_map.h"
#include "peer/node_peer.h"
#include "peer/peers_list.h"
#include "peer/tcp_connection.h"
#include "util/snapshot.h"
#include "util/udp_batch.h"

namespace velarix::p2p {

class NodeInner;
class SendBatch;

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

// How long a sender waits for room in a full socket send buffer before it gives the datagram
// up: a full buffer is back-pressure, not loss, unless it does not drain.
inline constexpr std::chrono::milliseconds kSendRoomWait{100};

class SendHandle {
 public:
  SendHandle(const PubKey& pk, std::weak_ptr<NodeInner> node, SendHandleState state);
  SendHandle(const SendHandle&) = delete;
  SendHandle& operator=(const SendHandle&) = delete;

  const PubKey& pk() const noexcept { return pk_; }

  // Sends one payload: over the direct path when there is one (short header
  // when the peer gave a short id), else relayed through the default super peer.
  boost::asio::awaitable<std::expected<void, Error>> send(std::span<const std::uint8_t> payload);

  // Builds the message for `payload` into `batch`, to be sent when the batch is flushed, when
  // the handle has a direct path (and the batch has room for the message): true. False when it
  // must go by send() instead (relayed, or longer than the batch's datagrams). Errors as send's;
  // `tag` comes back with the datagram's result after the flush.
  std::expected<bool, Error> add_to(SendBatch& batch, std::span<const std::uint8_t> payload, std::size_t tag);

  std::shared_ptr<const SendHandleState> state() const noexcept { return state_.load(); }
  void set_state(SendHandleState state) { state_.store(std::move(state)); }

  // After this every send fails with SendHandleClosed.
  void close() noexcept { closed_.store(true, std::memory_order_release); }
  bool is_closed() const noexcept { return closed_.load(std::memory_order_acquire) || node_.expired(); }

 private:
  // Builds the message into `out`: its length, or the error send reports.
  std::expected<std::size_t, Error> build(const SendHandleState& state, std::span<std::uint8_t> out,
                                          std::span<const std::uint8_t> payload) const;

  PubKey pk_;
  std::weak_ptr<NodeInner> node_;
  std::atomic<bool> closed_{false};
  util::Snapshot<SendHandleState> state_;
  // The node's fixed facts, copied so that a send needs nothing of the node itself.
  NetworkId network_id_{};
  PubKey own_key_;
  Pow own_pow_{0};
  std::size_t mtu_ = 0;
};

// Messages to peers over their direct paths, built into buffers of the batch's own (allocated
// once) and sent together: sendmmsg, and UDP segmentation offload for a run of equal-sized
// messages to one address. A full socket send buffer makes flush() wait for room (at most
// kSendRoomWait per wait) rather than drop. One batch per sending task; not thread-safe.
class SendBatch {
 public:
  // Room for `capacity` messages of at most `message_size` bytes each (the node's MTU).
  explicit SendBatch(std::size_t capacity = 64, std::size_t message_size = kDefaultNetworkMtu);
  SendBatch(const SendBatch&) = delete;
  SendBatch& operator=(const SendBatch&) = delete;

  std::size_t size() const noexcept { return datagrams_.size(); }
  bool empty() const noexcept { return datagrams_.empty(); }
  bool full() const noexcept { return datagrams_.full(); }

  // Sends every message added since the last clear(). Afterwards result(i) and tag(i) tell how
  // each went, until clear().
  boost::asio::awaitable<void> flush();
  std::expected<void, Error> result(std::size_t i) const;
  std::size_t tag(std::size_t i) const noexcept { return tags_[i]; }

  // Empties the batch and lets go of the sockets it held.
  void clear() noexcept;

 private:
  friend class SendHandle;
  // The message built at datagrams_.next() goes to `dst` through `socket`.
  void commit(const std::shared_ptr<boost::asio::ip::udp::socket>& socket, const boost::asio::ip::udp::endpoint& dst,
              std::size_t len, std::size_t tag) noexcept;

  util::DatagramBatch datagrams_;
  std::vector<std::size_t> tags_;
  std::vector<boost::asio::ip::udp::endpoint> dsts_;
  // The distinct sockets of the messages (usually one): held until clear().
  std::vector<std::shared_ptr<boost::asio::ip::udp::socket>> sockets_;
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
