#pragma once
// Every environment setting the agent reads ("VELARIX_" + key), with its type
// and default, in one place: each reader takes its setting from here, and
// `kEnvSettings` lists them all for the check that the documentation names
// each one.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "node/opts.h"
#include "util/system.h"

namespace velarix::agent::env {

template <class T>
struct Setting {
  std::string_view key;
  T fallback;

  // Read at each call: a change of the environment reaches the next reader.
  T read() const { return p2p::util::get_env<T>(key, fallback); }
};

template <>
struct Setting<std::string> {
  std::string_view key;
  std::string_view fallback;

  std::string read() const { return p2p::util::get_env<std::string>(key, std::string(fallback)); }
};

inline constexpr Setting<std::uint8_t> kMinPowDifficulty{"MIN_POW_DIFFICULTY", p2p::kDefaultMinPowDifficulty};
inline constexpr Setting<bool> kArmMessages{"ARM_MESSAGES", p2p::kDefaultArmMessages};
inline constexpr Setting<std::string> kUdpAddrs{"UDP_ADDRS", ""};
inline constexpr Setting<std::string> kUdpPort{"UDP_PORT", ""};
inline constexpr Setting<std::uint64_t> kMaxPeers{"MAX_PEERS", p2p::kDefaultMaxPeers};
inline constexpr Setting<std::uint64_t> kHelloTimeout{"HELLO_TIMEOUT", p2p::kDefaultHelloTimeoutMs};
inline constexpr Setting<std::uint64_t> kHelloMaxAge{"HELLO_MAX_AGE", p2p::kDefaultHelloMaxAgeMs};
inline constexpr Setting<std::size_t> kRecvBufCap{"RECV_BUF_CAP", 512};
inline constexpr Setting<bool> kProcessUnites{"PROCESS_UNITES", p2p::kDefaultProcessUnites};
inline constexpr Setting<std::uint64_t> kHousekeepingInterval{"HOUSEKEEPING_INTERVAL",
                                                              p2p::kDefaultHousekeepingIntervalMs};
inline constexpr Setting<bool> kEnforceTcp{"ENFORCE_TCP", p2p::kDefaultEnforceTcp};
inline constexpr Setting<std::size_t> kUdpSockets{"UDP_SOCKETS", p2p::kDefaultUdpSockets};
inline constexpr Setting<std::size_t> kChannelCap{"CHANNEL_CAP", 512};
inline constexpr Setting<std::int32_t> kTunThreads{"TUN_THREADS", 3};
inline constexpr Setting<std::int32_t> kC2dThreads{"C2D_THREADS", 3};
inline constexpr Setting<std::string> kLogLevel{"LOG_LEVEL", ""};

// One setting as the documentation shows it.
struct SettingInfo {
  std::string key;       // with the "VELARIX_" prefix
  std::string fallback;  // the default as written: true, 24; empty text as ""
};

// Every setting above.
std::vector<SettingInfo> all_settings();

}  // namespace velarix::agent::env
