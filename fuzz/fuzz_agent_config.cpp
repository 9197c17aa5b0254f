// Arbitrary text through the agent configuration file's reader: it gives a
// configuration or the reader's error text, never a crash. A configuration that
// reads must write, read back to the same text, and keep its identity.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agent/config.h"

using velarix::agent::AgentConfig;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto cfg = AgentConfig::from_toml(text);
  if (!cfg) {
    if (cfg.error().empty()) std::abort();
    return 0;
  }
  auto written = cfg->to_toml();
  if (!written) std::abort();
  auto again = AgentConfig::from_toml(*written);
  if (!again) std::abort();
  if (!(again->identity == cfg->identity) || again->network.size() != cfg->network.size() || again->mtu != cfg->mtu ||
      again->super_peers != cfg->super_peers || again->dns != cfg->dns) {
    std::abort();
  }
  auto rewritten = again->to_toml();
  if (!rewritten || *rewritten != *written) std::abort();
  return 0;
}
