#pragma once
// One joined network: what the configuration file keeps of it, and what the
// running agent knows about it.

#include <optional>
#include <string>

namespace velarix::network {

struct Network {
  // Kept in the configuration file.
  std::string config_url;  // exactly as written
  bool disabled = false;
  std::optional<std::string> name;

  // Runtime fields (never in the file) follow here.
};

}  // namespace velarix::network
