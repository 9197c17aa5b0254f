#pragma once
// Errors of the network configuration model: reading errors of the document
// formats, and the configuration errors of validation and derivation.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "identity/identity.h"
#include "network/config/ipv4_net.h"

namespace velarix::network {

// A document that could not be read: a syntax error of the format, a value of
// the wrong kind, a missing or repeated key, or a repeated node, address,
// hostname or route destination. TOML errors carry the key path and a
// position; errors of JSON text carry a position; errors of a parsed JSON
// value carry neither.
struct ReadError {
  struct Position {
    std::size_t line = 0;    // 1-based
    std::size_t column = 0;  // 1-based, in bytes
    friend bool operator==(const Position&, const Position&) = default;
  };

  std::string description;            // the fault itself, e.g. "missing field `network`"
  std::string key_path;               // e.g. "network[1].node"; empty at the top level
  std::optional<Position> position;   // where in the input the reader stood
  std::string source_line;            // that line of the input, when the input is known

  // The full text: description, then key path, position and the quoted line
  // where known.
  std::string message() const;
};

// Variants in this order; `ConfigError::kind()` gives the index.
class ConfigError {
 public:
  struct IpNotInNetwork {
    Ipv4Addr ip;
    Ipv4Net network;
  };
  struct GatewayNotFound {
    p2p::PubKey gw;
  };
  struct TomlError {
    ReadError error;
  };
  struct RouteDuplicate {};
  struct IpReserved {
    Ipv4Addr ip;
  };
  struct HostnameInvalid {
    std::string hostname;  // as written
  };
  struct NetworkAddressInvalid {
    Ipv4Net dest;
  };

  enum class Kind : std::uint8_t {
    IpNotInNetwork,
    GatewayNotFound,
    TomlError,
    RouteDuplicate,
    IpReserved,
    HostnameInvalid,
    NetworkAddressInvalid,
  };

  using Value = std::variant<IpNotInNetwork, GatewayNotFound, TomlError, RouteDuplicate, IpReserved,
                             HostnameInvalid, NetworkAddressInvalid>;

  ConfigError(IpNotInNetwork v) : value_(std::move(v)) {}
  ConfigError(GatewayNotFound v) : value_(std::move(v)) {}
  ConfigError(TomlError v) : value_(std::move(v)) {}
  ConfigError(RouteDuplicate v) : value_(v) {}
  ConfigError(IpReserved v) : value_(std::move(v)) {}
  ConfigError(HostnameInvalid v) : value_(std::move(v)) {}
  ConfigError(NetworkAddressInvalid v) : value_(std::move(v)) {}

  Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
  const Value& value() const noexcept { return value_; }
  // The payload of variant `T`, or null for another variant.
  template <class T>
  const T* get() const noexcept {
    return std::get_if<T>(&value_);
  }

  // Display form, e.g. "IP address 10.0.0.254 is reserved".
  std::string message() const;
  // Variant name, then the payload in parentheses, e.g.
  // "IpReserved(10.0.0.254)"; "RouteDuplicate" alone.
  std::string debug() const;

 private:
  Value value_;
};

}  // namespace velarix::network

template <>
struct fmt::formatter<velarix::network::ConfigError> : fmt::formatter<std::string_view> {
  auto format(const velarix::network::ConfigError& e, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(e.message(), ctx);
  }
};
