#include "node/node.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "util/log.h"
#include "util/span.h"
#include "util/runtime.h"
#include "util/task_set.h"

namespace velarix::p2p {

// Watches the housekeeping runner: whatever way it ends, the node stops.
boost::asio::awaitable<void> monitor(std::shared_ptr<util::TaskSet> tasks, util::CancellationToken token) {
  for (;;) {
    auto end = co_await tasks->join_next();
    if (!end) {
      log::trace("Monitoring task cancelled.");
      co_return;
    }
    if (!*end) {
      log::error("Task failed. Cancel token: {}", end->error().text);
      token.cancel();
      log::trace("Monitoring task cancelled.");
      co_return;
    }
    if (!token.is_cancelled()) {
      log::trace("Task prematurely finished. Cancel token.");
      token.cancel();
    }
  }
}

boost::asio::awaitable<std::expected<std::shared_ptr<Node>, Error>> Node::bind(NodeOpts opts) {
  log::Span span(spdlog::level::trace, "bind");
  auto created = co_await NodeInner::create(std::move(opts));
  if (!created) co_return std::unexpected(created.error());
  std::shared_ptr<NodeInner> inner = std::move(*created);
  auto executor = co_await boost::asio::this_coro::executor;

  auto tasks = std::make_shared<util::TaskSet>(executor);
  tasks->spawn(NodeInner::housekeeping_runner(inner, inner->token()));
  for (const auto snapshot = inner->udp_bindings(); const auto& binding : *snapshot) {
    NodeInner::start_reader(inner, binding);
  }
  util::spawn_detached(executor, monitor(tasks, inner->token()));
  co_return std::make_shared<Node>(std::move(inner));
}

Node::~Node() {
  inner_->token().cancel();
  inner_->send_handles().close_all();
}

boost::asio::awaitable<void> Node::cancelled() const {
  co_await inner_->token().async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
}

std::expected<std::shared_ptr<SendHandle>, Error> Node::send_handle(const PubKey& peer) {
  auto& handles = inner_->send_handles().handles;
  if (auto existing = handles.get(peer)) return std::move(*existing);
  if (peer == inner_->own_key()) return std::unexpected(Error(Error::SendToSelf{}));
  if (inner_->peers_list().super_peer(peer)) return std::unexpected(Error(Error::RecipientIsSuperPeer{peer}));
  auto node_peer = inner_->admit_node_peer(peer, std::nullopt, false);
  if (!node_peer) return std::unexpected(node_peer.error());
  auto handle = std::make_shared<SendHandle>(peer, inner_, inner_->send_handle_state(**node_peer));
  auto [h, inserted] = handles.insert_if_absent(peer, std::move(handle));
  if (inner_->token().is_cancelled()) h->close();
  return h;
}

}  // namespace velarix::p2p
