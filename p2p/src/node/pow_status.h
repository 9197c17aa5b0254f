#pragma once
// What a node knows of a peer's proof of work.

#include <cstdint>
#include <string_view>

namespace velarix::p2p {

enum class PowStatus : std::uint8_t {
  Unknw,  // not checked yet
  Ok,     // meets the node's minimum difficulty
  Nok,    // checked and too weak
};

constexpr std::string_view to_string(PowStatus s) noexcept {
  switch (s) {
    case PowStatus::Unknw: return "Unknw";
    case PowStatus::Ok: return "Ok";
    case PowStatus::Nok: return "Nok";
  }
  return "Unknw";
}

}  // namespace velarix::p2p
