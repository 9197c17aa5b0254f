#pragma once
// Records the agent sends to the controller: the node's metrics.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace velarix::controller {

class Os {
 public:
  enum class Kind : std::uint8_t {
    MacOs,
    Windows,
    TvOs,
    IOs,
    IPadOs,
    Android,
    Linux,
    Ubuntu,
    Debian,
    Fedora,
    CentOs,
    Rhel,
    Arch,
    OpenSuse,
    Sles,
    Gentoo,
    Slackware,
    LinuxMint,
    ElementaryOs,
    Manjaro,
    Raspbian,
  };

  constexpr Os(Kind kind) : kind_(kind) {}  // NOLINT: a value of the enumeration

  // An exact display text or one of its aliases, else a name found inside
  // the lower-cased text; nothing when neither matches.
  static std::optional<Os> from_str(std::string_view text);

  constexpr Kind kind() const noexcept { return kind_; }
  // "macOS", "iOS", "Linux Mint", ...
  std::string_view display() const noexcept;

  friend constexpr bool operator==(Os, Os) = default;

 private:
  Kind kind_;
};

struct SuperPeerMetrics {
  bool connected = false;
  std::uint32_t ping = 0;
  bool ipv4 = false;
  bool ipv6 = false;
};

struct NetworkTrafficMetrics {
  std::uint64_t rx = 0;
  std::uint64_t tx = 0;
  bool enabled = false;
};

struct UpdateNodeMetricsRequest {
  std::string os;
  std::optional<std::string> os_version;
  std::optional<std::string> os_arch;
  std::optional<std::string> rust_version;
  std::vector<std::string> ips;
  std::optional<std::string> velarix_agent_version;
  std::optional<std::string> velarix_ui_version;
  std::map<std::string, SuperPeerMetrics> super_peers;  // sorted by key
  std::map<std::string, NetworkTrafficMetrics> networks;
  std::optional<std::string> error_logs;

  // The upload body: every key, in declaration order, absent values as null.
  nlohmann::ordered_json to_json() const;
  // "UpdateNodeMetricsRequest { os: \"iOS\", os_version: Some(\"17.1\"), ... }"
  std::string debug() const;
};

}  // namespace velarix::controller
