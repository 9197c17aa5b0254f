#pragma once
// Creating the TUN interface the host hands to the agent.

#include <expected>
#include <string>
#include <string_view>

namespace velarix::host {

struct TunInterface {
  int fd = -1;  // the caller owns it; closing it removes the interface
  int ifindex = 0;
  std::string name;
};

struct TunError {
  enum class Kind { NoPermission, NoTunDevice, NameInUse, NameInvalid, Other };
  Kind kind = Kind::Other;
  std::string message;  // one line, for people
};

// Opens /dev/net/tun and creates a new TUN interface (packets without a
// packet-information header) named `name`. An existing interface of that name
// is never taken over.
std::expected<TunInterface, TunError> create_tun(std::string_view name, const char* device = "/dev/net/tun");

}  // namespace velarix::host
