#include "util/length_codec.h"

#include <string>

namespace velarix::p2p::util {

namespace {

class FrameCategory final : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "velarix.frame"; }
  std::string message(int ev) const override {
    switch (static_cast<FrameErrc>(ev)) {
      case FrameErrc::truncated:
        return "stream ended in the middle of a frame";
      case FrameErrc::too_large:
        return "frame longer than 65535 bytes";
    }
    return "frame error";
  }
};

}  // namespace

const boost::system::error_category& frame_category() noexcept {
  static const FrameCategory category;
  return category;
}

boost::system::error_code make_error_code(FrameErrc e) noexcept {
  return boost::system::error_code(static_cast<int>(e), frame_category());
}

std::optional<std::array<std::uint8_t, kFrameHeaderSize>> frame_header(std::size_t len) noexcept {
  if (len > kMaxFrameSize) return std::nullopt;
  return std::array<std::uint8_t, kFrameHeaderSize>{static_cast<std::uint8_t>(len >> 8),
                                                    static_cast<std::uint8_t>(len)};
}

std::expected<std::vector<std::uint8_t>, boost::system::error_code> encode_frame(std::span<const std::uint8_t> payload) {
  auto header = frame_header(payload.size());
  if (!header) return std::unexpected(make_error_code(FrameErrc::too_large));
  std::vector<std::uint8_t> out;
  out.reserve(kFrameHeaderSize + payload.size());
  out.insert(out.end(), header->begin(), header->end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

}  // namespace velarix::p2p::util
