#pragma once
// The opaque handles of the C interface.
//
// The host may free them in any order. Every handle whose contents live on the
// runtime (an agent's tasks and sockets, a TUN device's descriptor) holds a
// share of the runtime, so the runtime stops only when the last of them goes,
// and always on the host's thread that frees it.

#include <memory>

#include "agent/agent.h"
#include "agent/config.h"
#include "agent/tun_device.h"
#include "util/runtime.h"
#include "velarix_agent.h"

struct RuntimePtr {
  explicit RuntimePtr(std::shared_ptr<velarix::p2p::util::Runtime> rt) : shared(std::move(rt)), runtime(*shared) {}
  RuntimePtr(const RuntimePtr&) = delete;
  RuntimePtr& operator=(const RuntimePtr&) = delete;

  std::shared_ptr<velarix::p2p::util::Runtime> shared;
  velarix::p2p::util::Runtime& runtime;  // *shared
};

struct TunDevicePtr {
  // Declared first so that it goes last: the device is closed while its runtime still runs.
  std::shared_ptr<velarix::p2p::util::Runtime> runtime;
  std::shared_ptr<velarix::agent::TunDevice> device;
};

struct AgentPtr {
  // Declared first so that it goes last, after the agent's own reference.
  std::shared_ptr<velarix::p2p::util::Runtime> runtime;
  velarix::agent::Agent agent;
};

struct AgentConfigPtr {
  velarix::agent::AgentConfig config;
};
