#include "agent/env_settings.h"

#include <type_traits>

namespace velarix::agent::env {
namespace {

template <class T>
SettingInfo describe(const Setting<T>& s) {
  std::string fallback;
  if constexpr (std::is_same_v<T, bool>) {
    fallback = s.fallback ? "true" : "false";
  } else if constexpr (std::is_same_v<T, std::string>) {
    fallback = s.fallback.empty() ? "\"\"" : std::string(s.fallback);
  } else {
    fallback = std::to_string(s.fallback);
  }
  return SettingInfo{"VELARIX_" + std::string(s.key), std::move(fallback)};
}

}  // namespace

std::vector<SettingInfo> all_settings() {
  return {describe(kMinPowDifficulty), describe(kArmMessages),   describe(kUdpAddrs),
          describe(kUdpPort),          describe(kMaxPeers),      describe(kHelloTimeout),
          describe(kHelloMaxAge),      describe(kRecvBufCap),    describe(kProcessUnites),
          describe(kHousekeepingInterval), describe(kEnforceTcp), describe(kUdpSockets),
          describe(kChannelCap),       describe(kTunThreads),    describe(kC2dThreads),
          describe(kLogLevel)};
}

}  // namespace velarix::agent::env
