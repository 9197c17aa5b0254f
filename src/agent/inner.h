#pragma once
// The running agent's shared core and its mutable state.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ssl/context.hpp>

#include "agent/config.h"
#include "agent/dns/dns.h"
#include "agent/firewall/firewall.h"
#include "agent/netif/netif.h"
#include "agent/network_change.h"
#include "node/message_sink.h"
#include "node/node.h"
#include "util/cancellation_token.h"
#include "util/channel.h"
#include "util/rw_lock.h"
#include "util/snapshot.h"

namespace velarix::agent {

using Packet = std::vector<std::uint8_t>;
// (sender, payload) from the node to the overlay-to-TUN tasks.
using NodeReceiveChannel = p2p::util::Channel<std::pair<p2p::PubKey, Packet>>;
// (packet, the peer's send handle) from the TUN readers to the channel-to-overlay tasks.
using C2dChannel = p2p::util::Channel<std::pair<Packet, std::shared_ptr<p2p::SendHandle>>>;

enum class LoginStatus : std::uint8_t { LoggedOut };

struct LoginState {
  LoginStatus status = LoginStatus::LoggedOut;
  bool login_task_running = false;  // no login task runs on this platform
};

struct State {
  AgentConfig config;
  std::optional<std::string> update_available;
  std::optional<std::string> ui_version;
  std::optional<NetworkChange> last_network_change;
  LoginState login;
  std::optional<std::chrono::nanoseconds> time_deviation;

  // Writes the running configuration to `path`.
  std::expected<void, Error> save_config(const std::string& path) const { return config.save(path); }
};

// The HTTP client's shared settings: TLS verified against the system trust store.
struct HttpClient {
  std::shared_ptr<boost::asio::ssl::context> tls;
};

struct AgentInner {
  p2p::util::CancellationToken cancellation_token;
  std::shared_ptr<p2p::Node> node;
  std::shared_ptr<NodeReceiveChannel> node_receiver;
  AgentNetif netif;
  std::unique_ptr<AgentDns> dns;  // none when DNS is disabled
  p2p::util::Snapshot<TxTrie> tx_trie;
  p2p::util::Snapshot<RxTrie> rx_trie;
  std::shared_ptr<C2dChannel> c2d_sender;
  std::shared_ptr<C2dChannel> c2d_receiver;
  std::string config_path;
  std::shared_ptr<PlatformDependent> platform;
  HttpClient http_client;
  p2p::util::RwLock state_lock;
  State state;  // only under `state_lock`
  std::uint16_t mtu;
  boost::asio::any_io_executor executor;

  // Brings one network's applied state in line with its desired state; the
  // caller holds the state write lock and passes its networks map.
  static void apply_desired_state(const std::shared_ptr<AgentInner>& inner, const Url& url, NetworkMap& networks);

  // The runners the agent supervises.
  static boost::asio::awaitable<void> node_runner(std::shared_ptr<AgentInner> inner,
                                                  p2p::util::CancellationToken token);
  static boost::asio::awaitable<void> housekeeping_runner(std::shared_ptr<AgentInner> inner,
                                                          p2p::util::CancellationToken token);
};

// The TUN runner: `TUN_THREADS` readers of the device, until its token is
// cancelled; the error is the text of a reader task that failed.
boost::asio::awaitable<std::expected<void, std::string>> tun_runner(std::shared_ptr<AgentInner> inner,
                                                                    std::shared_ptr<TunDevice> device,
                                                                    p2p::util::CancellationToken token);

// Hands payloads from the node to the overlay-to-TUN tasks without waiting.
class ChannelSink final : public p2p::MessageSink {
 public:
  explicit ChannelSink(std::shared_ptr<NodeReceiveChannel> channel) : channel_(std::move(channel)) {}
  void accept(const p2p::PubKey& sender, std::span<const std::uint8_t> payload) override;

 private:
  std::shared_ptr<NodeReceiveChannel> channel_;
};

}  // namespace velarix::agent
