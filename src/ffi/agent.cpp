// C functions that run the agent: runtime, TUN device, start, shut-down,
// UDP-binding cancellation and the network-change callback.

#include <cstring>

#include <fmt/format.h>

#include "agent/agent.h"
#include "agent/config.h"
#include "ffi/ffi.h"
#include "ffi/handles.h"
#include "util/log.h"
#include "util/net.h"
#include "util/runtime.h"
#include "velarix_agent.h"

using velarix::agent::Agent;
using velarix::agent::NetworkChange;
using velarix::agent::TunDevice;
using velarix::ffi::guarded;
using velarix::p2p::util::Runtime;

namespace {

// A text the host can read: "" when it would hold a NUL byte.
std::string c_safe(std::string s) { return s.find('\0') == std::string::npos ? s : std::string(); }

}  // namespace

std::function<void(NetworkChange)> velarix::ffi::c_network_change_callback(
    void (*callback)(const CNetworkChange*)) {
  return [callback](NetworkChange change) {
    auto texts = velarix::agent::to_texts(change);
    texts.ips = c_safe(std::move(texts.ips));
    texts.routes = c_safe(std::move(texts.routes));
    texts.dns_server = c_safe(std::move(texts.dns_server));
    velarix::log::trace("Calling network_change_callback with NetworkChange: ips='{}', routes='{}'", texts.ips,
                        texts.routes);
    CNetworkChange c{texts.ips.data(), texts.routes.data(), texts.dns_server.data()};
    callback(&c);
  };
}

extern "C" {

int32_t velarix_agent_runtime(RuntimePtr** out) {
  return guarded([&]() -> int32_t {
    if (out == nullptr) return VELARIX_AGENT_ERR_FAILURE;
    *out = new RuntimePtr(std::make_shared<Runtime>());
    return VELARIX_AGENT_OK;
  });
}

void velarix_agent_runtime_free(RuntimePtr* runtime) { delete runtime; }

int32_t velarix_agent_tun_device_create(const RuntimePtr* runtime, int32_t fd, TunDevicePtr** out) {
  return guarded([&]() -> int32_t {
    if (runtime == nullptr || out == nullptr) return VELARIX_AGENT_ERR_FAILURE;
    auto& rt = const_cast<RuntimePtr*>(runtime)->runtime;
    auto device = TunDevice::from_fd(rt.executor(), fd);
    if (!device) {
      velarix::log::trace("Failed to create TUN device from file descriptor {}", fd);
      return VELARIX_AGENT_ERR_FAILURE;
    }
    *out = new TunDevicePtr{runtime->shared, std::move(*device)};
    return VELARIX_AGENT_OK;
  });
}

void velarix_agent_tun_device_free(TunDevicePtr* tun) { delete tun; }

int32_t velarix_agent_start(const RuntimePtr* runtime, const AgentConfigPtr* config, const char* config_path,
                            const TunDevicePtr* tun, void (*network_change_callback)(const CNetworkChange*),
                            const void* /*reserved*/, AgentPtr** out) {
  return guarded([&]() -> int32_t {
    if (runtime == nullptr || config == nullptr || config_path == nullptr || network_change_callback == nullptr ||
        out == nullptr) {
      return VELARIX_AGENT_ERR_FAILURE;
    }
    auto path = velarix::ffi::to_string(config_path);
    if (!path) return VELARIX_AGENT_ERR_UTF8;
    auto& rt = const_cast<RuntimePtr*>(runtime)->runtime;
    // On one of the runtime's own threads (the network-change callback) the
    // wait could never end: refuse instead of blocking the pool.
    if (rt.running_in_this_thread()) {
      velarix::log::error("FFI: Agent start requested from a runtime thread; call it from a thread of the host");
      return VELARIX_AGENT_ERR_FAILURE;
    }
    velarix::agent::PlatformDependent platform;
    platform.tun_device = tun ? tun->device : nullptr;
    platform.network_change_callback = velarix::ffi::c_network_change_callback(network_change_callback);
    auto started = velarix::p2p::util::block_on(
        rt, Agent::start(config->config, std::move(*path), std::move(platform)));
    if (!started) return started.error().c_code();
    *out = new AgentPtr{runtime->shared, std::move(*started)};
    return VELARIX_AGENT_OK;
  });
}

void velarix_agent_shutdown(const RuntimePtr* runtime, const AgentPtr* agent) {
  if (runtime == nullptr || agent == nullptr) return;
  guarded([&]() -> int32_t {
    // The agent's own share of the runtime: the one it runs on, alive while the agent is.
    if (agent->runtime->running_in_this_thread()) {
      velarix::log::error("FFI: Agent shutdown requested from a runtime thread; call it from a thread of the host");
      return VELARIX_AGENT_ERR_FAILURE;
    }
    velarix::p2p::util::block_on(*agent->runtime, agent->agent.shutdown());
    return VELARIX_AGENT_OK;
  });
}

void velarix_agent_free(AgentPtr* agent) { delete agent; }

int32_t velarix_agent_cancel_udp_bindings(const AgentPtr* agent) {
  return guarded([&]() -> int32_t {
    if (agent == nullptr) return VELARIX_AGENT_ERR_FAILURE;
    velarix::log::trace("FFI: Starting UDP bindings cancellation");
    velarix::log::trace("FFI: Canceling all UDP bindings");
    auto bindings = agent->agent.node()->udp_bindings();
    velarix::log::trace("FFI: Found {} UDP bindings", bindings->size());
    for (const auto& binding : *bindings) {
      velarix::log::trace("FFI: Canceling UDP binding at {}", binding->local_addr());
      binding->cancel_binding();
    }
    velarix::log::trace("FFI: All UDP bindings canceled");
    velarix::log::trace("FFI: Operation successful");
    return VELARIX_AGENT_OK;
  });
}

const char* velarix_agent_network_change_ips(const CNetworkChange* change) {
  return change ? change->ips : nullptr;
}

const char* velarix_agent_network_change_routes(const CNetworkChange* change) {
  return change ? change->routes : nullptr;
}

const char* velarix_agent_network_change_dns_server(const CNetworkChange* change) {
  return change ? change->dns_server : nullptr;
}

}  // extern "C"
