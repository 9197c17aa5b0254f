#pragma once
// One joined network: what the configuration file keeps of it, and what the
// running agent knows about it.

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "network/config/access_rules.h"
#include "network/config/ipv4_net.h"
#include "network/config/routes.h"
#include "network/config/tables.h"

namespace velarix::network {

// How a network fares in the agent; set by housekeeping, shown in the status.
class NetworkHealth {
 public:
  enum class Kind : std::uint8_t {
    Initializing,
    Disabled,
    Ok,
    Pending,
    RetrieveConfigError,
    NotAMemberError,
  };

  NetworkHealth() = default;  // Initializing
  static NetworkHealth initializing() { return NetworkHealth(Kind::Initializing); }
  static NetworkHealth disabled() { return NetworkHealth(Kind::Disabled); }
  static NetworkHealth ok() { return NetworkHealth(Kind::Ok); }
  static NetworkHealth pending() { return NetworkHealth(Kind::Pending); }
  static NetworkHealth retrieve_config_error(std::string message) {
    NetworkHealth h(Kind::RetrieveConfigError);
    h.error_ = std::move(message);
    return h;
  }
  static NetworkHealth not_a_member_error() { return NetworkHealth(Kind::NotAMemberError); }

  Kind kind() const noexcept { return kind_; }
  // The message of RetrieveConfigError; empty for every other kind.
  const std::string& error() const noexcept { return error_; }

  // The kind's name; RetrieveConfigError("message") with the message quoted.
  std::string debug() const;

  friend bool operator==(const NetworkHealth&, const NetworkHealth&) = default;

 private:
  explicit NetworkHealth(Kind kind) : kind_(kind) {}

  Kind kind_ = Kind::Initializing;
  std::string error_;
};

// One item of a network's state: the value (absent when there is nothing to
// apply or nothing was applied yet) and the message of a failed attempt.
template <class T>
struct AppliedStatus {
  std::optional<T> applied;
  std::optional<std::string> error;

  friend bool operator==(const AppliedStatus&, const AppliedStatus&) = default;

  // The value's text, "None" without one, and " (Error: ...)" after it when
  // an error is recorded.
  std::string to_string() const
    requires requires(const T& v) {
      { v.to_string() } -> std::convertible_to<std::string>;
    }
  {
    std::string out = applied ? applied->to_string() : std::string("None");
    if (error) {
      out += " (Error: ";
      out += *error;
      out += ')';
    }
    return out;
  }

  // "AppliedStatus { applied: Some(...), error: None }"
  std::string debug() const {
    std::string out = "AppliedStatus { applied: ";
    if (applied) {
      out += "Some(";
      if constexpr (requires(const T& v) { v.debug(); }) {
        out += applied->debug();
      } else {
        out += applied->to_string();
      }
      out += ')';
    } else {
      out += "None";
    }
    out += ", error: ";
    out += error ? "Some(" + debug_quoted(*error) + ")" : std::string("None");
    out += " }";
    return out;
  }
};

// The five things the agent puts into effect for one network. Default
// constructed it is the empty state: nothing in any item.
struct AgentState {
  AppliedStatus<Ipv4Net> ip;  // my overlay address with the network's prefix length
  AppliedStatus<EffectiveAccessRuleList> access_rules;
  AppliedStatus<EffectiveRoutingList> routes;
  AppliedStatus<EffectiveForwardingList> forwardings;
  AppliedStatus<HostnameList> hostnames;

  friend bool operator==(const AgentState&, const AgentState&) = default;
};

struct Network {
  // Kept in the configuration file.
  std::string config_url;  // exactly as written
  bool disabled = false;
  std::optional<std::string> name;

  // Runtime fields, never in the file.
  NetworkHealth health;         // Initializing when read or created
  AgentState desired_state;     // what the latest configuration asks for
  AgentState current_state;     // what has been put into effect
};

}  // namespace velarix::network
