#pragma once
// Hexadecimal text of byte strings.

#include <cstdint>
#include <span>
#include <string>

namespace velarix::p2p::util::hex {

// Two lower-case hexadecimal digits per byte, in order.
std::string bytes_to_hex(std::span<const std::uint8_t> bytes);

}  // namespace velarix::p2p::util::hex
