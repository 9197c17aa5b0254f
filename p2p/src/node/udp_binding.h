#pragma once
// One bound UDP socket of the node, with the token that ends its reader.

#include <memory>
#include <string>

#include <boost/asio/ip/udp.hpp>

#include "util/cancellation_token.h"

namespace velarix::p2p {

class UdpBinding {
 public:
  using Socket = boost::asio::ip::udp::socket;

  // `local_addr` is the address the socket is bound to (port included).
  UdpBinding(std::shared_ptr<Socket> socket, util::CancellationToken token, boost::asio::ip::udp::endpoint local_addr)
      : socket_(std::move(socket)), token_(std::move(token)), local_addr_(local_addr) {}
  UdpBinding(const UdpBinding&) = delete;
  UdpBinding& operator=(const UdpBinding&) = delete;

  const std::shared_ptr<Socket>& socket() const noexcept { return socket_; }
  const boost::asio::ip::udp::endpoint& local_addr() const noexcept { return local_addr_; }
  const util::CancellationToken& token() const noexcept { return token_; }

  // Ends this binding's reader; housekeeping then binds the address again.
  void cancel_binding() const { token_.cancel(); }
  bool is_cancelled() const noexcept { return token_.is_cancelled(); }

  // "udp://" + local address.
  std::string to_string() const;

 private:
  std::shared_ptr<Socket> socket_;
  util::CancellationToken token_;
  boost::asio::ip::udp::endpoint local_addr_;
};

}  // namespace velarix::p2p
