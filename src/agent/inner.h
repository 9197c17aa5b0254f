#pragma once
// The running agent's shared core and its mutable state.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "agent/config.h"
#include "agent/dns/dns.h"
#include "agent/firewall/firewall.h"
#include "agent/http_client.h"
#include "agent/netif/netif.h"
#include "agent/network_change.h"
#include "controller/client.h"
#include "network/config/network_config.h"
#include "node/message_sink.h"
#include "node/node.h"
#include "util/cancellation_token.h"
#include "util/channel.h"
#include "util/log_limiter.h"
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
  // The networks as the configuration file held them when the agent last read
  // it or wrote its own changes to it: what tells the host's edits of the file
  // from the agent's own changes.
  NetworkMap file_networks = {};
  // A save failed (another writer held the file's lock too long, or the file
  // could not be read or written): the next tick saves again, and until then
  // the agent's changes live in `config` alone.
  bool save_pending = false;

  // Writes the agent's own changes since then (networks it added, removed or
  // renamed) onto what the file at `path` holds now, so that edits made to
  // the file meanwhile stay; a file that is not there gets the whole record.
  // A file that cannot be read is not written over. The caller holds the state
  // write lock, which a status call waits for: so the wait for the file's lock
  // is bounded (kConfigLockPatience), and none at all while a save is pending,
  // and it keeps the runtime's threads free.
  boost::asio::awaitable<std::expected<void, Error>> save_config(const std::string& path);
};

// How long a save waits for another writer of the configuration file to let go of its lock.
inline constexpr std::chrono::milliseconds kConfigLockPatience{2000};

// What the configuration file keeps of each network: URL text, disabled flag, name.
NetworkMap file_view(const NetworkMap& networks);

// The controller's networks of one housekeeping tick, by "controller://<id>" URL.
using ControllerNetworks = std::unordered_map<Url, network::NetworkConfig>;

// How long a network's configuration may take to arrive.
inline constexpr std::chrono::milliseconds kRetrieveConfigTimeout{5000};

// The housekeeping cadence and the controller's time limit. Fixed in
// production; tests shorten them, or stop the runner and drive ticks.
struct AgentTimings {
  std::chrono::steady_clock::duration housekeeping_period = std::chrono::seconds(10);
  bool housekeeping = true;  // false: the runner only waits for its token
  std::chrono::milliseconds controller_timeout = controller::kControllerRequestTimeout;
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
  p2p::PubKey own_pk;  // this node's key, fixed at start
  AgentTimings timings;
  // Lines about packets the roads drop, per packet: peers and apps on the device can send
  // such packets at any rate, so they are written through this limiter.
  mutable p2p::util::LogLimiter dropped_packets_log{};

  // Brings one network's applied state in line with its desired state; the
  // caller holds the state write lock and passes its networks map.
  static void apply_desired_state(const std::shared_ptr<AgentInner>& inner, const Url& url, NetworkMap& networks);

  // Tells the node the networks whose addresses are on the tunnel interface: every network's
  // applied address, and those the host was last told of (it still has them until told
  // otherwise). The node binds no address inside them. The caller holds the state lock.
  void keep_node_off_overlay(const NetworkMap& networks) const;

  // The runners the agent supervises.
  static boost::asio::awaitable<void> node_runner(std::shared_ptr<AgentInner> inner,
                                                  p2p::util::CancellationToken token);
  static boost::asio::awaitable<void> housekeeping_runner(std::shared_ptr<AgentInner> inner,
                                                          p2p::util::CancellationToken token);

  // One housekeeping tick: controller networks, every network's step, the
  // host notification, the metrics. Failures inside are logged and absorbed.
  static boost::asio::awaitable<void> housekeeping(std::shared_ptr<AgentInner> inner);
  // Takes up what the host changed in the configuration file since the agent
  // last read it: networks added, removed, enabled and disabled.
  static boost::asio::awaitable<void> take_up_config_file(std::shared_ptr<AgentInner> inner);
  // Withdraws what a network applied (addresses, routes, rules, DNS names) and
  // drops it; the caller holds the state write lock.
  static void remove_network(const std::shared_ptr<AgentInner>& inner, const Url& url, NetworkMap& networks);
  // Brings one network to its latest configuration under the state write lock.
  static boost::asio::awaitable<void> housekeeping_network(std::shared_ptr<AgentInner> inner, Url url,
                                                           const ControllerNetworks* controller_networks);
  // A network's configuration from the controller's answer, a web server or a file.
  boost::asio::awaitable<std::expected<network::NetworkConfig, Error>> retrieve_network_config(
      const std::string& config_url, const ControllerNetworks* controller_networks,
      std::chrono::steady_clock::time_point deadline) const;
  // The text of the local file a file URL names.
  static std::expected<std::string, Error> read_file_url(const std::string& url);
  // The body of an http or https URL, following up to four redirects.
  boost::asio::awaitable<std::expected<std::string, Error>> fetch_with_redirects(
      const std::string& url, std::chrono::steady_clock::time_point deadline) const;
  // The controller's networks, or nothing when the controller gave no answer.
  boost::asio::awaitable<std::expected<std::optional<ControllerNetworks>, Error>> get_controller_networks(
      std::string shared_secret) const;
  // Tells the host about changed addresses, routes or DNS server.
  boost::asio::awaitable<void> notify_on_network_change();
  boost::asio::awaitable<void> check_and_update_time_deviation();
  // Best effort: the outcome is logged, the result is always success.
  boost::asio::awaitable<std::expected<void, Error>> send_metrics(std::string shared_secret,
                                                                  std::optional<std::string> ui_version);
};

// The controller's answer as the agent's map of controller networks; every
// configuration needs an id, and a later one replaces an earlier one with the same id.
std::expected<ControllerNetworks, Error> controller_networks_from(network::MultiNetworkConfig answer);

// What a member of `config` puts into effect: its address, access rules,
// routes, forwardings and (with the DNS responder) host names.
std::expected<network::AgentState, network::ConfigError> desired_state_for(const network::NetworkConfig& config,
                                                                          const p2p::PubKey& own_pk,
                                                                          bool with_hostnames);

// The TUN runner: `TUN_THREADS` readers of the device, until its token is
// cancelled; the error is the text of a reader task that failed.
boost::asio::awaitable<std::expected<void, std::string>> tun_runner(std::shared_ptr<AgentInner> inner,
                                                                    std::shared_ptr<TunDevice> device,
                                                                    p2p::util::CancellationToken token);

// Where the packet-road tasks numbered `index` run: the lane of one of the node's UDP readers,
// so that a packet goes from socket to TUN device (and from TUN device to socket) on one
// thread; the agent's executor when the node has no binding.
boost::asio::any_io_executor road_executor(const AgentInner& inner, std::int32_t index);

// Runs `task` on `executor` and waits for it; cancellation of the caller reaches it there.
boost::asio::awaitable<void> run_on(boost::asio::any_io_executor executor, boost::asio::awaitable<void> task);

// Hands payloads from the node to the overlay-to-TUN tasks without waiting.
class ChannelSink final : public p2p::MessageSink {
 public:
  explicit ChannelSink(std::shared_ptr<NodeReceiveChannel> channel) : channel_(std::move(channel)) {}
  void accept(const p2p::PubKey& sender, std::span<const std::uint8_t> payload) override;

 private:
  std::shared_ptr<NodeReceiveChannel> channel_;
  p2p::util::LogLimiter dropped_log_;  // a full channel drops payloads at the rate peers send them
};

}  // namespace velarix::agent
