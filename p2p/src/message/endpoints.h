#pragma once
// Lists of UDP endpoints inside HELLO and UNITE bodies. Encoding:
//   count (1), then per endpoint: family (4 or 6), address (4 or 16), port (2)

#include <cstddef>
#include <cstdint>
#include <expected>
#include <iterator>
#include <span>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "message/message_error.h"

namespace velarix::p2p {

using Endpoint = boost::asio::ip::udp::endpoint;

// The most endpoints one message carries; a HELLO or UNITE with this many IPv6
// endpoints still fits the smallest allowed network MTU.
inline constexpr std::size_t kMaxEndpoints = 32;
inline constexpr std::size_t kEndpointV4Size = 1 + 4 + 2;
inline constexpr std::size_t kEndpointV6Size = 1 + 16 + 2;
// The largest encoded list.
inline constexpr std::size_t kMaxEndpointListSize = 1 + kMaxEndpoints * kEndpointV6Size;

// A checked view of an encoded endpoint list; it borrows the message bytes.
class EndpointList {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Endpoint;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Endpoint;

    iterator() = default;
    Endpoint operator*() const noexcept;
    iterator& operator++() noexcept;
    iterator operator++(int) noexcept {
      iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.p_ == b.p_; }

   private:
    friend class EndpointList;
    explicit iterator(const std::uint8_t* p) : p_(p) {}
    const std::uint8_t* p_ = nullptr;
  };

  EndpointList() = default;

  // Reads a list from the start of `bytes`; it must end exactly where `bytes` ends.
  static std::expected<EndpointList, MessageError> parse(std::span<const std::uint8_t> bytes) noexcept;

  // Bytes needed to encode `endpoints`.
  static std::size_t encoded_size(std::span<const Endpoint> endpoints) noexcept;
  // Refuses more than kMaxEndpoints endpoints.
  static std::expected<void, MessageError> check(std::span<const Endpoint> endpoints) noexcept;
  // Writes the list to `out`, which holds at least encoded_size(endpoints) bytes.
  static void encode(std::uint8_t* out, std::span<const Endpoint> endpoints) noexcept;

  std::size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  iterator begin() const noexcept { return iterator(entries_.data()); }
  iterator end() const noexcept { return iterator(entries_.data() + entries_.size()); }
  std::vector<Endpoint> to_vector() const;

 private:
  EndpointList(std::span<const std::uint8_t> entries, std::size_t count) : entries_(entries), count_(count) {}
  std::span<const std::uint8_t> entries_;
  std::size_t count_ = 0;
};

}  // namespace velarix::p2p
