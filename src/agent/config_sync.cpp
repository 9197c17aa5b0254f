// The running agent and its configuration file, which the host edits through
// the C interface while the agent runs: the agent takes up what the host
// changed, and writes only its own changes onto what the file holds.

#include <vector>

#include "agent/config_lock.h"
#include "agent/inner.h"
#include "agent/status.h"
#include "util/log.h"

namespace velarix::agent {
namespace {

// The reader's errors quote the offending line of the file, which can be the
// secret key's; a log line or a save error shows only their first line.
std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// What the file keeps of a network.
Network file_record(const Network& net) {
  Network n;
  n.config_url = net.config_url;
  n.disabled = net.disabled;
  n.name = net.name;
  return n;
}

// Onto `file` (what the file holds now) the changes of `running` since
// `known` (what the file held when the agent last read or wrote it): networks
// the agent added or removed, and fields it changed in the others.
void put_own_changes(NetworkMap& file, const NetworkMap& known, const NetworkMap& running) {
  for (const auto& [url, net] : running) {
    const auto before = known.find(url);
    const auto there = file.find(url);
    if (before == known.end()) {
      if (there == file.end()) {
        file.emplace(url, file_record(net));
      } else {
        there->second.name = net.name;
      }
      continue;
    }
    if (there == file.end()) continue;  // removed from the file meanwhile: the next tick takes that up
    Network& n = there->second;
    if (net.name != before->second.name) n.name = net.name;
    if (net.disabled != before->second.disabled) n.disabled = net.disabled;
    if (net.config_url != before->second.config_url) n.config_url = net.config_url;
  }
  for (const auto& [url, net] : known) {
    if (!running.contains(url)) file.erase(url);
  }
}

}  // namespace

NetworkMap file_view(const NetworkMap& networks) {
  NetworkMap out;
  out.reserve(networks.size());
  for (const auto& [url, net] : networks) out.emplace(url, file_record(net));
  return out;
}

std::expected<void, Error> State::save_config(const std::string& path) {
  // The lock keeps a C editor from writing between this read and this write.
  auto lock = ConfigFileLock::acquire(path);
  auto file = lock ? AgentConfig::load(path, UnknownKeys::Ignore)
                   : std::expected<AgentConfig, Error>(std::unexpected(lock.error()));
  if (!file) {
    return std::unexpected(Error{ErrorKind::Io, "the file cannot be read (" + first_line(file.error().message()) +
                                                    "); it is left as it is and the agent runs on its own copy"});
  }
  put_own_changes(file->network, file_networks, config.network);
  if (auto saved = file->save(path); !saved) return saved;
  // What the file holds beyond the agent's copy is what the next tick takes up.
  file_networks = file_view(config.network);
  return {};
}

boost::asio::awaitable<void> AgentInner::take_up_config_file(std::shared_ptr<AgentInner> inner) {
  auto guard = co_await inner->state_lock.write();
  if (inner->cancellation_token.is_cancelled()) co_return;
  auto file = AgentConfig::load(inner->config_path, UnknownKeys::Ignore);
  if (!file) {
    log::warn("Failed to read the configuration file, running on the networks the agent has: {}",
              first_line(file.error().message()));
    co_return;
  }
  State& state = inner->state;
  NetworkMap& networks = state.config.network;
  const NetworkMap& known = state.file_networks;
  for (const auto& [url, net] : file->network) {
    const auto before = known.find(url);
    const auto running = networks.find(url);
    if (before == known.end()) {
      if (running == networks.end()) {
        log::trace("Network added to the configuration file: {}", mask_url(url));
        networks.emplace(url, net);
      }
      continue;
    }
    if (running == networks.end()) continue;  // the agent removed it; its next save removes it from the file
    Network& n = running->second;
    if (net.config_url != before->second.config_url) n.config_url = net.config_url;
    if (net.disabled != before->second.disabled) {
      log::trace("Network {} in the configuration file: {}", net.disabled ? "disabled" : "enabled", mask_url(url));
      n.disabled = net.disabled;
      // Withdrawn at its next step, whether or not its configuration arrives.
      if (n.disabled) n.desired_state = network::AgentState{};
    }
  }
  std::vector<Url> removed;
  for (const auto& [url, net] : known) {
    if (!file->network.contains(url) && networks.contains(url)) removed.push_back(url);
  }
  for (const auto& url : removed) {
    log::trace("Network removed from the configuration file: {}", mask_url(url));
    remove_network(inner, url, networks);
  }
  state.file_networks = std::move(file->network);
}

}  // namespace velarix::agent
