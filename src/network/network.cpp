#include "network/network.h"

namespace velarix::network {

std::string NetworkHealth::debug() const {
  switch (kind_) {
    case Kind::Initializing: return "Initializing";
    case Kind::Disabled: return "Disabled";
    case Kind::Ok: return "Ok";
    case Kind::Pending: return "Pending";
    case Kind::RetrieveConfigError: return "RetrieveConfigError(" + debug_quoted(error_) + ")";
    case Kind::NotAMemberError: return "NotAMemberError";
  }
  return "Initializing";
}

}  // namespace velarix::network
