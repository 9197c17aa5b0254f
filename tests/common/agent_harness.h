#pragma once
// A super peer on loopback and a configuration file that names it, for tests
// that start agents.

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/temp_dir.h"
#include "identity/identity.h"
#include "superpeer/super_peer_server.h"
#include "util/runtime.h"

namespace velarix::test {

// Waits until `pred` holds or `timeout` passes; true when it held.
inline bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

class AgentHarness {
 public:
  AgentHarness() { start_super_peer(true); }
  ~AgentHarness() { super_peer_->stop(); }

  // Replaces the super peer by one for nodes that do not arm (before `write_config`).
  void serve_unarmed() { start_super_peer(false); }

  p2p::SuperPeerServer& super_peer() { return *super_peer_; }
  const TempDir& dir() const { return dir_; }
  std::string path() const { return dir_.file("agent.toml"); }

  // A configuration file with a fresh identity; `super_peers` is a TOML array
  // text, or empty to name this harness's super peer, or "<absent>".
  std::string write_config(std::string extra = "", std::string super_peers = "") {
    auto id = p2p::Identity::generate(4);
    std::string text;
    if (super_peers.empty()) super_peers = "[\"" + super_peer_->url_text() + "\"]";
    if (super_peers != "<absent>") text += "super_peers = " + super_peers + "\n";
    text += extra;
    text += "\n[identity]\nsk = \"" + id->sk().to_string() + "\"\npow = " + std::to_string(id->pow().to_i32()) + "\n";
    write_text(path(), text);
    return path();
  }

 private:
  void start_super_peer(bool armed) {
    if (super_peer_) super_peer_->stop();
    auto id = p2p::Identity::generate(4);
    p2p::SuperPeerOptions opts{.identity = *id, .network_id = 1};
    opts.arm_messages = armed;
    opts.min_pow_difficulty = 4;
    auto sp = p2p::SuperPeerServer::start(sp_runtime_, std::move(opts));
    if (!sp) {
      std::fprintf(stderr, "super peer did not start: %s\n", sp.error().c_str());
      std::abort();
    }
    super_peer_ = std::move(*sp);
  }

  // Settings that keep the node on loopback and quick.
  ScopedEnv difficulty_{"VELARIX_MIN_POW_DIFFICULTY", "4"};
  ScopedEnv addrs_{"VELARIX_UDP_ADDRS", "127.0.0.1"};
  ScopedEnv port_{"VELARIX_UDP_PORT", "0"};
  ScopedEnv sockets_{"VELARIX_UDP_SOCKETS", "1"};
  ScopedEnv interval_{"VELARIX_HOUSEKEEPING_INTERVAL", "200"};
  TempDir dir_;
  p2p::util::Runtime sp_runtime_{2};
  std::unique_ptr<p2p::SuperPeerServer> super_peer_;
};

}  // namespace velarix::test
