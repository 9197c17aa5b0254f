#include "network/config/error.h"

#include <fmt/format.h>

#include "util/text.h"

namespace velarix::network {
namespace {

using velarix::util::Overloaded;

}  // namespace

std::string ReadError::message() const {
  std::string out = description;
  if (!key_path.empty()) out += fmt::format(" for key `{}`", key_path);
  if (position) out += fmt::format(" at line {} column {}", position->line, position->column);
  if (!source_line.empty() && position) out += fmt::format("\n{:>5} | {}", position->line, source_line);
  return out;
}

std::string ConfigError::message() const {
  return std::visit(
      Overloaded{
          [](const IpNotInNetwork& e) {
            return fmt::format("IP address {} is not in network {}", e.ip, e.network);
          },
          [](const GatewayNotFound& e) { return fmt::format("gateway {} not found in nodes", e.gw.to_string()); },
          [](const TomlError& e) { return "TOML deserialization error: " + e.error.message(); },
          [](const RouteDuplicate&) { return std::string("duplicate route"); },
          [](const IpReserved& e) { return fmt::format("IP address {} is reserved", e.ip); },
          [](const HostnameInvalid& e) { return "invalid hostname: " + e.hostname; },
          [](const NetworkAddressInvalid& e) {
            return fmt::format("invalid network address: {} is a host address", e.dest);
          },
      },
      value_);
}

std::string ConfigError::debug() const {
  return std::visit(
      Overloaded{
          [](const IpNotInNetwork& e) { return fmt::format("IpNotInNetwork({}, {})", e.ip, e.network); },
          [](const GatewayNotFound& e) { return fmt::format("GatewayNotFound({})", e.gw.debug()); },
          [](const TomlError& e) { return fmt::format("TomlError({:?})", e.error.message()); },
          [](const RouteDuplicate&) { return std::string("RouteDuplicate"); },
          [](const IpReserved& e) { return fmt::format("IpReserved({})", e.ip); },
          [](const HostnameInvalid& e) { return fmt::format("HostnameInvalid({:?})", e.hostname); },
          [](const NetworkAddressInvalid& e) { return fmt::format("NetworkAddressInvalid({})", e.dest); },
      },
      value_);
}

}  // namespace velarix::network
