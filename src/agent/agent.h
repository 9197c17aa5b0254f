#pragma once
// The running agent: start-up, supervision and shut-down.

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "agent/config.h"
#include "agent/error.h"
#include "agent/inner.h"
#include "agent/network_change.h"
#include "util/task_set.h"

namespace velarix::agent {

class Agent {
 public:
  // Binds the node and starts the runners under a monitor.
  static boost::asio::awaitable<std::expected<Agent, Error>> start(AgentConfig config, std::string config_path,
                                                                   PlatformDependent platform,
                                                                   AgentTimings timings = {});

  Agent(Agent&&) noexcept = default;
  Agent& operator=(Agent&&) noexcept = default;
  // Logs "Drop agent."; runners keep going until the agent token is cancelled.
  ~Agent();

  // Cancels every runner and withdraws what every network applied.
  boost::asio::awaitable<void> shutdown() const;
  boost::asio::awaitable<void> cancelled() const;
  std::shared_ptr<p2p::Node> node() const { return inner_->node; }
  const std::shared_ptr<AgentInner>& inner() const noexcept { return inner_; }

 private:
  explicit Agent(std::shared_ptr<AgentInner> inner) : inner_(std::move(inner)) {}
  std::shared_ptr<AgentInner> inner_;
};

// Waits for the runners in `tasks`: one that ends while `token` is live, or
// fails, cancels `token`; a failure also ends the watch and aborts the rest.
boost::asio::awaitable<void> monitor(std::shared_ptr<p2p::util::TaskSet> tasks, p2p::util::CancellationToken token);

// True for this program's own control packets: IPv4/UDP whose payload starts
// with 1E 3F 50 01. Nothing else of the packet is checked.
bool is_velarix_control_packet(std::span<const std::uint8_t> packet) noexcept;

}  // namespace velarix::agent
