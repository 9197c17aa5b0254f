#include "node/short_id.h"

#include <atomic>

#include "crypto/crypto.h"
#include "util/hex.h"

namespace velarix::p2p {

namespace {
std::atomic<ShortId::Source> g_source{nullptr};
}  // namespace

ShortId ShortId::random() noexcept {
  for (;;) {
    ShortId id;
    if (auto source = g_source.load(std::memory_order_relaxed)) {
      id = ShortId(source());
    } else {
      std::array<std::uint8_t, kSize> bytes{};
      crypto::random_bytes(bytes);
      id = from_bytes(bytes);
    }
    if (id.is_valid()) return id;
  }
}

ShortId::Source ShortId::set_source(Source source) noexcept { return g_source.exchange(source); }

std::string ShortId::to_string() const { return util::hex::bytes_to_hex(to_bytes()); }

}  // namespace velarix::p2p
