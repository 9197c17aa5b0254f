#pragma once
// Helpers shared by the network configuration tests.

#include <string>

#include <fmt/format.h>

#include "identity/identity.h"

namespace velarix::network::testing {

// A distinct, valid public key text per number.
inline std::string key_text(int n) { return fmt::format("{:064x}", 0x1000 + n); }

inline p2p::PubKey key(int n) { return *p2p::PubKey::from_text(key_text(n)); }

}  // namespace velarix::network::testing
