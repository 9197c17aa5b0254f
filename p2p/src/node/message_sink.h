#pragma once
// Where the node hands each application payload it receives.

#include <cstdint>
#include <span>

#include "identity/identity.h"

namespace velarix::p2p {

class MessageSink {
 public:
  virtual ~MessageSink() = default;

  // Called by the node's receive tasks, several at once, for every application
  // payload from a node peer. Must neither block nor throw: a sink that cannot
  // take the payload now drops it. `payload` is valid only during the call; keep
  // a copy to use it later.
  virtual void accept(const PubKey& sender, std::span<const std::uint8_t> payload) = 0;
};

}  // namespace velarix::p2p
