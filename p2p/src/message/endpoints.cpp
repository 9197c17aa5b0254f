#include "message/endpoints.h"

#include <cstring>

#include "message/wire_io.h"

namespace velarix::p2p {

namespace {
constexpr std::uint8_t kFamilyV4 = 4;
constexpr std::uint8_t kFamilyV6 = 6;
}  // namespace

Endpoint EndpointList::iterator::operator*() const noexcept {
  if (p_[0] == kFamilyV4) {
    boost::asio::ip::address_v4::bytes_type a;
    std::memcpy(a.data(), p_ + 1, a.size());
    return Endpoint(boost::asio::ip::address_v4(a), wire::get_u16(p_ + 1 + a.size()));
  }
  boost::asio::ip::address_v6::bytes_type a;
  std::memcpy(a.data(), p_ + 1, a.size());
  return Endpoint(boost::asio::ip::address_v6(a), wire::get_u16(p_ + 1 + a.size()));
}

EndpointList::iterator& EndpointList::iterator::operator++() noexcept {
  p_ += p_[0] == kFamilyV4 ? kEndpointV4Size : kEndpointV6Size;
  return *this;
}

std::expected<EndpointList, MessageError> EndpointList::parse(std::span<const std::uint8_t> bytes) noexcept {
  using K = MessageError::Kind;
  if (bytes.empty()) return std::unexpected(MessageError{K::TooShort, 0, 1});
  const std::size_t count = bytes[0];
  if (count > kMaxEndpoints) return std::unexpected(MessageError{K::TooManyEndpoints, count, kMaxEndpoints});
  std::size_t pos = 1;
  for (std::size_t i = 0; i < count; ++i) {
    if (pos >= bytes.size()) return std::unexpected(MessageError{K::TooShort, bytes.size(), pos + kEndpointV4Size});
    const std::uint8_t family = bytes[pos];
    std::size_t len;
    if (family == kFamilyV4) {
      len = kEndpointV4Size;
    } else if (family == kFamilyV6) {
      len = kEndpointV6Size;
    } else {
      return std::unexpected(MessageError{K::EndpointInvalid, family});
    }
    if (bytes.size() - pos < len) return std::unexpected(MessageError{K::TooShort, bytes.size(), pos + len});
    pos += len;
  }
  if (pos != bytes.size()) return std::unexpected(MessageError{K::LengthMismatch, bytes.size(), pos});
  return EndpointList(bytes.subspan(1), count);
}

std::size_t EndpointList::encoded_size(std::span<const Endpoint> endpoints) noexcept {
  std::size_t n = 1;
  for (const auto& ep : endpoints) n += ep.address().is_v4() ? kEndpointV4Size : kEndpointV6Size;
  return n;
}

std::expected<void, MessageError> EndpointList::check(std::span<const Endpoint> endpoints) noexcept {
  if (endpoints.size() > kMaxEndpoints) {
    return std::unexpected(MessageError{MessageError::Kind::TooManyEndpoints, endpoints.size(), kMaxEndpoints});
  }
  return {};
}

void EndpointList::encode(std::uint8_t* out, std::span<const Endpoint> endpoints) noexcept {
  *out++ = static_cast<std::uint8_t>(endpoints.size());
  for (const auto& ep : endpoints) {
    const auto addr = ep.address();
    if (addr.is_v4()) {
      *out++ = kFamilyV4;
      const auto b = addr.to_v4().to_bytes();
      std::memcpy(out, b.data(), b.size());
      out += b.size();
    } else {
      *out++ = kFamilyV6;
      const auto b = addr.to_v6().to_bytes();
      std::memcpy(out, b.data(), b.size());
      out += b.size();
    }
    wire::put_u16(out, ep.port());
    out += 2;
  }
}

std::vector<Endpoint> EndpointList::to_vector() const {
  std::vector<Endpoint> v;
  v.reserve(count_);
  for (const auto ep : *this) v.push_back(ep);
  return v;
}

}  // namespace velarix::p2p
