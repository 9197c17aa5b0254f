// Arbitrary bytes as the controller's answer to the networks request: read as
// the client reads it, turned into the agent's controller networks, and each
// configuration (never validated) turned into the desired state of each of
// its members. Each step gives a value or an error, never a crash.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agent/http_client.h"
#include "agent/inner.h"
#include "controller/client.h"

using velarix::controller::ResponseDecoder;
using velarix::network::MultiNetworkConfig;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (velarix::agent::utf8_error(text)) return 0;  // the client refuses these before reading

  auto answer = ResponseDecoder<MultiNetworkConfig>::toml(text);
  if (!answer) return 0;
  const std::size_t listed = answer->network.size();
  auto networks = velarix::agent::controller_networks_from(std::move(*answer));
  if (!networks) {
    (void)networks.error().message();
    return 0;
  }
  if (networks->size() > listed) std::abort();
  for (const auto& [url, config] : *networks) {
    if (url.scheme() != "controller" || !url.as_str().starts_with("controller://")) std::abort();
    for (const auto& [pk, node] : config.node) {
      auto state = velarix::agent::desired_state_for(config, pk, true);
      if (!state) {
        (void)state.error().message();
        continue;
      }
      // The state holds everything or nothing: a member always has its address.
      if (!state->ip.applied || !state->access_rules.applied || !state->routes.applied ||
          !state->forwardings.applied || !state->hostnames.applied) {
        std::abort();
      }
      (void)state->access_rules.applied->routing_tries();
    }
  }
  return 0;
}
