#include "network/config/network_config.h"

#include <algorithm>
#include <vector>

#include <nlohmann/json.hpp>

#include "network/config/reader.h"
#include "network/config/unicode_lower.h"

namespace velarix::network {
namespace {

template <class T, class Read>
std::expected<T, ReadError> read_stream(const detail::EventStream& stream, Read&& read) {
  detail::EventReader r(stream);
  auto v = read(r);
  if (!v) return std::unexpected(std::move(v.error()));
  if (auto end = r.finish(); !end) return std::unexpected(std::move(end.error()));
  return std::move(*v);
}

template <class T, class Read>
std::expected<T, ReadError> read_toml(std::string_view text, Read&& read) {
  auto stream = detail::toml_events(text);
  if (!stream) return std::unexpected(std::move(stream.error()));
  return read_stream<T>(*stream, read);
}

// A host label: 1 to 63 bytes of a-z, 0-9 and hyphen, lower-cased first, and
// neither starting nor ending with a hyphen.
bool valid_hostname(std::string_view hostname) {
  std::string lower = unicode_to_lower(hostname);
  if (lower.empty() || lower.size() > 63) return false;
  if (lower.front() == '-' || lower.back() == '-') return false;
  return std::all_of(lower.begin(), lower.end(),
                     [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

std::expected<void, ConfigError> validate(const NetworkConfig& c) {
  // The embedded DNS responder answers at the broadcast address minus one.
  const Ipv4Addr reserved(c.network.broadcast().to_uint() - 1u);
  for (const auto& [pk, node] : c.node) {
    if (!c.network.contains(node.ip)) return std::unexpected(ConfigError::IpNotInNetwork{node.ip, c.network});
    if (node.ip == reserved) return std::unexpected(ConfigError::IpReserved{node.ip});
    if (!valid_hostname(node.hostname)) return std::unexpected(ConfigError::HostnameInvalid{node.hostname});
  }
  for (const auto& [dest, route] : c.route) {
    if (dest.addr() != dest.network()) return std::unexpected(ConfigError::NetworkAddressInvalid{dest});
    if (!c.node.contains(route.gw)) return std::unexpected(ConfigError::GatewayNotFound{route.gw});
  }
  return {};
}

}  // namespace

std::expected<NetworkConfig, ConfigError> NetworkConfig::try_from(std::string_view toml_text) {
  auto config = from_toml(toml_text);
  if (!config) return std::unexpected(ConfigError::TomlError{std::move(config.error())});
  if (auto ok = validate(*config); !ok) return std::unexpected(std::move(ok.error()));
  return std::move(*config);
}

std::expected<NetworkConfig, ReadError> NetworkConfig::from_toml(std::string_view text) {
  return read_toml<NetworkConfig>(text, detail::read_network_config);
}

std::expected<NetworkConfig, ReadError> NetworkConfig::from_json(std::string_view text) {
  return read_stream<NetworkConfig>(detail::json_text_events(text), detail::read_network_config);
}

std::expected<NetworkConfig, ReadError> NetworkConfig::from_json_value(const nlohmann::json& value) {
  return read_stream<NetworkConfig>(detail::json_value_events(value), detail::read_network_config);
}

std::expected<MultiNetworkConfig, ReadError> MultiNetworkConfig::from_toml(std::string_view text) {
  return read_toml<MultiNetworkConfig>(text, detail::read_multi_network_config);
}

std::expected<MultiNetworkConfig, ReadError> MultiNetworkConfig::from_json(std::string_view text) {
  return read_stream<MultiNetworkConfig>(detail::json_text_events(text), detail::read_multi_network_config);
}

std::expected<MultiNetworkConfig, ReadError> MultiNetworkConfig::from_json_value(const nlohmann::json& value) {
  return read_stream<MultiNetworkConfig>(detail::json_value_events(value), detail::read_multi_network_config);
}

}  // namespace velarix::network

// Keyed, over both sides' names in ascending byte order, each followed by
// 0xFF, so that the order in which names were listed makes no difference.
std::size_t std::hash<velarix::network::NetworkPolicy>::operator()(
    const velarix::network::NetworkPolicy& p) const noexcept {
  std::string text;
  auto feed = [&text](const velarix::network::GroupSet& set) {
    std::vector<const std::string*> names;
    names.reserve(set.size());
    for (const auto& n : set) names.push_back(&n);
    std::sort(names.begin(), names.end(), [](const std::string* a, const std::string* b) { return *a < *b; });
    for (const std::string* n : names) {
      text += *n;
      text += '\xFF';
    }
  };
  feed(p.source_groups);
  feed(p.destination_groups);
  return static_cast<std::size_t>(velarix::p2p::util::keyed_hash(text.data(), text.size()));
}
