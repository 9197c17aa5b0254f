#pragma once
// The opaque handles of the C interface.

#include <memory>

#include "agent/agent.h"
#include "agent/config.h"
#include "agent/tun_device.h"
#include "util/runtime.h"
#include "velarix_agent.h"

struct RuntimePtr {
  velarix::p2p::util::Runtime runtime;
};

struct TunDevicePtr {
  std::shared_ptr<velarix::agent::TunDevice> device;
};

struct AgentPtr {
  velarix::agent::Agent agent;
};

struct AgentConfigPtr {
  velarix::agent::AgentConfig config;
};
