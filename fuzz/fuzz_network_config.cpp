// Arbitrary bytes through every reader of network configuration documents:
// each must give a value or an error, never a crash. A document that reads as
// JSON text must read the same as a parsed JSON value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "network/config/network_config.h"

using velarix::network::MultiNetworkConfig;
using velarix::network::NetworkConfig;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  if (auto c = NetworkConfig::try_from(text); !c) (void)c.error().message();
  if (auto m = MultiNetworkConfig::from_toml(text); !m) (void)m.error().message();

  auto config_text = NetworkConfig::from_json(text);
  auto multi_text = MultiNetworkConfig::from_json(text);
  if (!config_text) (void)config_text.error().message();
  if (!multi_text) (void)multi_text.error().message();

  auto value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return 0;
  auto config_value = NetworkConfig::from_json_value(value);
  auto multi_value = MultiNetworkConfig::from_json_value(value);
  if (!config_value) (void)config_value.error().message();
  if (!multi_value) (void)multi_value.error().message();

  // Key order may change which fault is named, never whether a document reads.
  if (config_text && (!config_value || *config_text != *config_value)) std::abort();
  if (multi_text && (!multi_value || *multi_text != *multi_value)) std::abort();
  return 0;
}
