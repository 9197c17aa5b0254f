// The running agent and its configuration file, which the host edits through
// the C interface while the agent runs: the agent takes up what the host
// changed, and writes only its own changes onto what the file holds.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "agent/config_lock.h"
#include "agent/inner.h"
#include "agent/status.h"
#include "util/log.h"

namespace velarix::agent {
namespace {

namespace asio = boost::asio;

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

// The lock of the configuration file, asked for again on a timer until
// `patience` has passed: another writer may hold it for as long as it likes,
// and neither a thread of the runtime nor the state lock may wait that long.
asio::awaitable<std::expected<ConfigFileLock, Error>> wait_for_lock(const std::string& path,
                                                                   std::chrono::milliseconds patience) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + patience;
  asio::steady_timer timer(co_await asio::this_coro::executor);
  std::chrono::milliseconds pause{5};
  for (;;) {
    auto lock = ConfigFileLock::try_acquire(path);
    if (!lock) co_return std::unexpected(std::move(lock.error()));
    if (*lock) co_return std::move(**lock);
    const auto now = Clock::now();
    if (now >= until) {
      const std::string held = patience.count() > 0
                                   ? fmt::format("another writer held the configuration file's lock for {} ms",
                                                 patience.count())
                                   : std::string("another writer holds the configuration file's lock, which an "
                                                 "earlier save of this tick waited for already");
      co_return std::unexpected(
          Error{ErrorKind::Io, held + "; the agent keeps its changes and saves them at a later tick"});
    }
    timer.expires_after(std::min<Clock::duration>(pause, until - now));
    co_await timer.async_wait(asio::use_awaitable);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

// At the start of a tick, the save an earlier one could not make.
asio::awaitable<void> save_held_back(State& state, const std::string& path) {
  if (!state.save_pending) co_return;
  state.save_pending = false;  // this tick's first save waits for the lock again
  if (auto saved = co_await state.save_config(path); !saved) {
    log::warn("Failed to save config held back by an earlier tick: {}", saved.error().message());
  }
}

}  // namespace

NetworkMap file_view(const NetworkMap& networks) {
  NetworkMap out;
  out.reserve(networks.size());
  for (const auto& [url, net] : networks) out.emplace(url, file_record(net));
  return out;
}

asio::awaitable<std::expected<void, Error>> State::save_config(const std::string& path) {
  // One wait per tick: once a save could not be made, the others of the tick
  // only try, and the next tick's first save waits again.
  const auto patience = save_pending ? std::chrono::milliseconds(0) : kConfigLockPatience;
  save_pending = true;  // until the file is written
  // The lock keeps a C editor from writing between this read and this write.
  auto lock = co_await wait_for_lock(path, patience);
  if (!lock) co_return std::unexpected(std::move(lock.error()));
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    // Deleted while the agent ran: without the whole record the next start
    // would have no identity.
    if (auto saved = config.save(path); !saved) co_return saved;
  } else {
    auto file = AgentConfig::load(path, UnknownKeys::Ignore);
    if (!file) {
      co_return std::unexpected(Error{ErrorKind::Io, "the file cannot be read (" + first_line(file.error().message()) +
                                                         "); it is left as it is and the agent runs on its own copy"});
    }
    put_own_changes(file->network, file_networks, config.network);
    if (auto saved = file->save(path); !saved) co_return saved;
  }
  // What the file holds beyond the agent's copy is what the next tick takes up.
  file_networks = file_view(config.network);
  save_pending = false;
  co_return std::expected<void, Error>{};
}

boost::asio::awaitable<void> AgentInner::take_up_config_file(std::shared_ptr<AgentInner> inner) {
  auto guard = co_await inner->state_lock.write();
  if (inner->cancellation_token.is_cancelled()) co_return;
  State& state = inner->state;
  auto file = AgentConfig::load(inner->config_path, UnknownKeys::Ignore);
  if (!file) {
    log::warn("Failed to read the configuration file, running on the networks the agent has: {}",
              first_line(file.error().message()));
    co_await save_held_back(state, inner->config_path);
    co_return;
  }
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
  co_await save_held_back(state, inner->config_path);
}

}  // namespace velarix::agent
