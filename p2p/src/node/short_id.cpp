#include "node/short_id.h"

#include "crypto/crypto.h"
#include "util/hex.h"

namespace velarix::p2p {

ShortId ShortId::random() noexcept {
  for (;;) {
    std::array<std::uint8_t, kSize> bytes{};
    crypto::random_bytes(bytes);
    const ShortId id = from_bytes(bytes);
    if (id.is_valid()) return id;
  }
}

std::string ShortId::to_string() const { return util::hex::bytes_to_hex(to_bytes()); }

}  // namespace velarix::p2p
