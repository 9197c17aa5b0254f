// Building and parsing the messages of the packet path: APP with a long header
// and short-header messages, both with a 1200-byte payload.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "message/long_header.h"
#include "message/messages.h"
#include "message/short_header.h"

namespace {

using namespace velarix::p2p;

constexpr std::size_t kPayload = 1200;

struct Setup {
  PubKey sender;
  PubKey recipient;
  NetworkId net = network_id_from_u32(7);
  crypto::SessionKey key{};
  std::vector<std::uint8_t> payload = std::vector<std::uint8_t>(kPayload, 0x45);
  Setup() {
    PubKey::Bytes a{}, b{};
    a.fill(1);
    b.fill(2);
    sender = PubKey(a);
    recipient = PubKey(b);
    crypto::random_bytes(key);
  }
  MessageKey key_if(bool armed) const { return armed ? MessageKey(key) : std::nullopt; }
};

void BM_AppBuild(benchmark::State& state) {
  const Setup s;
  const bool armed = state.range(0) != 0;
  const MessageKey key = s.key_if(armed);
  std::vector<std::uint8_t> out(AppMessage::wire_size(armed, kPayload));
  for (auto _ : state) {
    auto n = AppMessage::build_into(out, s.net, s.sender, Pow(1), key, s.recipient, s.payload);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kPayload));
}
BENCHMARK(BM_AppBuild)->ArgName("armed")->Arg(1)->Arg(0);

void BM_AppParse(benchmark::State& state) {
  const Setup s;
  const bool armed = state.range(0) != 0;
  const MessageKey key = s.key_if(armed);
  const auto msg = *AppMessage::build(s.net, s.sender, Pow(1), key, s.recipient, s.payload);
  std::vector<std::uint8_t> buf(msg.size());
  for (auto _ : state) {
    // A datagram arrives in the receive buffer; the armed body is opened in place.
    std::memcpy(buf.data(), msg.data(), msg.size());
    auto h = LongHeader::parse(buf);
    auto m = AppMessage::parse(std::span(buf).subspan(LongHeader::kSize), *h, key);
    if (!m) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(m);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kPayload));
}
BENCHMARK(BM_AppParse)->ArgName("armed")->Arg(1)->Arg(0);

void BM_ShortHeaderBuild(benchmark::State& state) {
  const Setup s;
  const bool armed = state.range(0) != 0;
  const MessageKey key = s.key_if(armed);
  std::vector<std::uint8_t> out(ShortHeader::wire_size(armed, kPayload));
  for (auto _ : state) {
    auto n = ShortHeader::build_into(out, ShortId(0x12345678), key, s.payload);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kPayload));
}
BENCHMARK(BM_ShortHeaderBuild)->ArgName("armed")->Arg(1)->Arg(0);

void BM_ShortHeaderParse(benchmark::State& state) {
  const Setup s;
  const bool armed = state.range(0) != 0;
  const MessageKey key = s.key_if(armed);
  const auto msg = *ShortHeader::build(ShortId(0x12345678), key, s.payload);
  std::vector<std::uint8_t> buf(msg.size());
  for (auto _ : state) {
    std::memcpy(buf.data(), msg.data(), msg.size());
    auto m = ShortHeader::parse(buf, key);
    if (!m) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(m);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kPayload));
}
BENCHMARK(BM_ShortHeaderParse)->ArgName("armed")->Arg(1)->Arg(0);

}  // namespace
