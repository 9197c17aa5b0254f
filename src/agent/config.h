#pragma once
// The agent configuration file: the node identity, the joined networks and a
// few optional settings, kept as one TOML document.

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "agent/error.h"
#include "agent/url.h"
#include "identity/identity.h"
#include "identity/super_peer_url.h"
#include "network/network.h"

namespace velarix::agent {

using network::Network;

struct DnsConfig {
  std::optional<bool> disabled;
  friend bool operator==(const DnsConfig&, const DnsConfig&) = default;
};

struct ControllerConnectionStatus {
  enum class Kind : std::uint8_t { Initializing, LoggedOut, Ok, Err };
  Kind kind = Kind::Initializing;
  std::string message;  // for Err

  std::string to_string() const;
  friend bool operator==(const ControllerConnectionStatus&, const ControllerConnectionStatus&) = default;
};

inline constexpr std::string_view kDefaultControllerUrl = "https://app.velarix.io/api";
inline constexpr std::string_view kDefaultAuthUrl = "https://auth.velarix.io";

struct ControllerConfig {
  std::optional<std::string> url;
  std::optional<std::string> auth_url;
  std::optional<std::string> display_login_email;
  std::optional<std::string> shared_secret;
  ControllerConnectionStatus connection_status;  // never in the file

  // `url` when set, else the default controller API endpoint.
  std::string url_or_default() const;
  // `auth_url` when set, else the default authorisation server.
  std::string auth_url_or_default() const;
};

using NetworkMap = std::unordered_map<Url, Network>;

// One key of the configuration file by its dotted path; the keys of each
// `network` entry are "network.KEY".
struct ConfigKey {
  enum class Shape : std::uint8_t { Value, Table, TableArray };
  std::string_view path;
  Shape shape = Shape::Value;
};

// Every key the reader reads, in reader order. The reader names its keys
// through this table, and a load warns about every key of a file that is not
// in it ("unknown key PATH at line N") and goes on.
inline constexpr auto kConfigKeys = std::to_array<ConfigKey>({
    {"identity", ConfigKey::Shape::Table},
    {"identity.sk"},
    {"identity.pow"},
    {"network", ConfigKey::Shape::TableArray},
    {"network.config_url"},
    {"network.disabled"},
    {"network.name"},
    {"mtu"},
    {"super_peers"},
    {"update_check"},
    {"auto_connect"},
    {"dns", ConfigKey::Shape::Table},
    {"dns.disabled"},
    {"controller", ConfigKey::Shape::Table},
    {"controller.url"},
    {"controller.auth_url"},
    {"controller.display_login_email"},
    {"controller.shared_secret"},
});

// Whether a load reports the keys it does not know. The running agent reads
// the file again at every tick and keeps quiet about what its start reported.
enum class UnknownKeys : std::uint8_t { Warn, Ignore };

struct AgentConfig {
  p2p::Identity identity;
  NetworkMap network;
  std::optional<std::uint16_t> mtu;
  std::optional<std::vector<p2p::SuperPeerUrl>> super_peers;
  std::optional<bool> update_check;
  std::optional<bool> auto_connect;
  std::optional<DnsConfig> dns;
  std::optional<ControllerConfig> controller;

  // A record with `identity`, no networks and every optional field absent.
  explicit AgentConfig(p2p::Identity id) : identity(std::move(id)) {}

  static std::expected<AgentConfig, Error> load(const std::string& path, UnknownKeys unknown = UnknownKeys::Warn);
  static std::expected<AgentConfig, Error> load_or_generate(const std::string& path);
  std::expected<void, Error> save(const std::string& path) const;

  // The MTU used when the file sets none: 1073 with armed messages, else 1121.
  static std::uint16_t default_mtu();

  // Reads a configuration from TOML text; the error is the reader's text.
  static std::expected<AgentConfig, std::string> from_toml(std::string_view text);
  // The file as written; fails only on text that cannot be written as TOML.
  std::expected<std::string, std::string> to_toml() const;
};

// A configuration file is never near this; a larger one is refused rather than read.
inline constexpr std::size_t kMaxConfigFileSize = 16 * 1024 * 1024;

// A whole file as UTF-8 text of at most `max_bytes`; a FIFO or device with
// nothing to give fails at once instead of blocking.
std::expected<std::string, Error> read_text_file(const std::string& path, std::size_t max_bytes);

}  // namespace velarix::agent
