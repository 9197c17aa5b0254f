#pragma once
// The node handle: binding a node, and what the agent asks of a running one.

#include <expected>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/address.hpp>

#include "identity/identity.h"
#include "node/error.h"
#include "node/inner.h"
#include "node/opts.h"
#include "node/send_handle.h"
#include "node/udp_binding.h"
#include "peer/peers_list.h"
#include "util/cancellation_token.h"
#include "util/task_set.h"

namespace velarix::p2p {

// The node's monitor: collects the ends of `tasks` and cancels `token` when a
// task ends while the token is live or fails (then it stops, and the set's end
// aborts the rest). It returns when the set is empty.
boost::asio::awaitable<void> monitor(std::shared_ptr<util::TaskSet> tasks, util::CancellationToken token);

class Node {
 public:
  // Binds the node's sockets, builds its peers list and starts its tasks
  // (housekeeping, one UDP reader per binding, a monitor). Runs on the runtime.
  static boost::asio::awaitable<std::expected<std::shared_ptr<Node>, Error>> bind(NodeOpts opts);

  explicit Node(std::shared_ptr<NodeInner> inner) : inner_(std::move(inner)) {}
  // Releasing the last handle stops the node: its root token is cancelled, so
  // every task of it ends, and its send handles are closed.
  ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // Completes when the node has stopped (its root token is cancelled).
  boost::asio::awaitable<void> cancelled() const;
  bool is_cancelled() const noexcept { return inner_->token().is_cancelled(); }

  // The send handle of `peer`, created on first use. Cheap when it exists: one
  // lock-free lookup. Refuses the node's own key and super peers.
  std::expected<std::shared_ptr<SendHandle>, Error> send_handle(const PubKey& peer);

  // The current bindings; each can be cancelled (housekeeping binds again).
  std::shared_ptr<const UdpBindings> udp_bindings() const noexcept { return inner_->udp_bindings(); }

  // The networks the agent has applied to its tunnel interface (see NodeInner).
  void set_overlay_networks(std::vector<util::net::IpNetwork> networks) {
    inner_->set_overlay_networks(std::move(networks));
  }

  // The host's interface addresses, as (interface name, address).
  static std::expected<std::vector<std::pair<std::string, boost::asio::ip::address>>, Error> my_addrs() {
    return NodeInner::my_addrs();
  }

  const std::shared_ptr<NodeInner>& inner() const noexcept { return inner_; }
  const NodeOpts& opts() const noexcept { return inner_->opts(); }
  PeersList& peers_list() const noexcept { return inner_->peers_list(); }

 private:
  std::shared_ptr<NodeInner> inner_;
};

}  // namespace velarix::p2p
