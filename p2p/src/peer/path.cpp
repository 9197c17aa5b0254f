#include "peer/path.h"

#include <algorithm>
#include <memory>

#include <fmt/format.h>

#include "util/net.h"

namespace velarix::p2p {

std::string PeerPathKey::to_string() const {
  return fmt::format("{}->{}", util::net::to_string(local), util::net::to_string(remote));
}

bool operator==(const PeerPathKey& a, const PeerPathKey& b) noexcept {
  return util::net::same_socket_addr(a.local, b.local) && util::net::same_socket_addr(a.remote, b.remote);
}

namespace {
std::size_t hash_endpoint(const UdpEndpoint& ep) noexcept {
  std::size_t h = ep.port();
  if (ep.address().is_v4()) {
    h = h * 0x9E3779B97F4A7C15ull + ep.address().to_v4().to_uint();
  } else {
    for (auto b : ep.address().to_v6().to_bytes()) h = h * 131 + b;
    h = h * 31 + ep.address().to_v6().scope_id();
  }
  return h;
}
}  // namespace

std::size_t PeerPathKeyHash::operator()(const PeerPathKey& k) const noexcept {
  return hash_endpoint(k.local) * 0x9E3779B97F4A7C15ull ^ hash_endpoint(k.remote);
}

std::optional<std::uint64_t> PeerPathInner::median_latency() const {
  if (latencies.empty()) return std::nullopt;
  std::vector<std::uint64_t> v = latencies;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  if (n % 2 == 1) return v[n / 2];
  return (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool PeerPathInner::is_reachable(std::uint64_t now, std::uint64_t hello_timeout_ms) const noexcept {
  if (last_ack_time == 0) return false;
  const std::uint64_t age = now > last_ack_time ? now - last_ack_time : 0;
  return age <= hello_timeout_ms * 1000;
}

bool PeerPathInner::is_stale(std::uint64_t now, std::uint64_t hello_timeout_ms) const noexcept {
  if (!hello_tx || *hello_tx == 0) return false;
  const std::uint64_t waited = now > *hello_tx ? now - *hello_tx : 0;
  return waited > hello_timeout_ms * 1000 && !is_reachable(now, hello_timeout_ms);
}

void PeerPath::hello_tx(std::uint64_t now) {
  std::lock_guard lock(write_);
  auto next = std::make_shared<PeerPathInner>(*inner_.load());
  if (!next->hello_tx || *next->hello_tx == 0) next->hello_tx = now;
  ++next->unanswered;
  // The pending slot of the oldest HELLO (or a free one) takes this one.
  auto slot = std::min_element(next->pending.begin(), next->pending.end());
  if (std::find(next->pending.begin(), next->pending.end(), now) == next->pending.end()) *slot = now;
  inner_.store(util::Snapshot<PeerPathInner>::Ptr(std::move(next)));
}

void PeerPath::hello_rx() {
  if (inner_.load()->heard) return;
  std::lock_guard lock(write_);
  auto next = std::make_shared<PeerPathInner>(*inner_.load());
  next->heard = true;
  inner_.store(util::Snapshot<PeerPathInner>::Ptr(std::move(next)));
}

bool PeerPath::ack_rx(std::uint64_t now, const UdpEndpoint& src, std::uint64_t hello_time) {
  std::lock_guard lock(write_);
  const auto cur = inner_.load();
  // Only an answer to a HELLO sent on this path counts: an ACK captured on another path, or
  // replayed, must not make this one look reachable.
  if (hello_time == 0 || std::find(cur->pending.begin(), cur->pending.end(), hello_time) == cur->pending.end()) {
    return false;
  }
  auto next = std::make_shared<PeerPathInner>(*cur);
  for (auto& t : next->pending) {
    if (t != 0 && t <= hello_time) t = 0;  // answered, or overtaken by an answered later one
  }
  if (hello_time <= now) {
    if (next->latencies.size() >= PeerPathInner::kMaxLatencies) next->latencies.erase(next->latencies.begin());
    next->latencies.push_back(now - hello_time);
  }
  next->last_ack_src = src;
  next->last_ack_time = now;
  next->hello_tx = 0;
  next->unanswered = 0;
  inner_.store(util::Snapshot<PeerPathInner>::Ptr(std::move(next)));
  return true;
}

}  // namespace velarix::p2p
