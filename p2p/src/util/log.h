#pragma once
// One logging facade for every component. Events go nowhere until the host
// installs a sink; a disabled level costs one atomic load and no formatting.

#include <atomic>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include <spdlog/logger.h>

namespace velarix::log {

// The logger every event goes through. Until `install` it has no sink and
// its level is off, so nothing is formatted.
spdlog::logger& logger() noexcept;

// Replaces the process-wide logger. Returns false when one was installed before.
bool install(std::shared_ptr<spdlog::logger> logger);

// The level named `text` exactly: trace, debug, info, warn, error or off.
std::optional<spdlog::level::level_enum> parse_level(std::string_view text) noexcept;

inline bool enabled(spdlog::level::level_enum level) noexcept { return logger().should_log(level); }

template <class... Args>
void trace(fmt::format_string<Args...> fmt, Args&&... args) {
  auto& l = logger();
  if (l.should_log(spdlog::level::trace)) l.trace(fmt, std::forward<Args>(args)...);
}
template <class... Args>
void debug(fmt::format_string<Args...> fmt, Args&&... args) {
  auto& l = logger();
  if (l.should_log(spdlog::level::debug)) l.debug(fmt, std::forward<Args>(args)...);
}
template <class... Args>
void info(fmt::format_string<Args...> fmt, Args&&... args) {
  auto& l = logger();
  if (l.should_log(spdlog::level::info)) l.info(fmt, std::forward<Args>(args)...);
}
template <class... Args>
void warn(fmt::format_string<Args...> fmt, Args&&... args) {
  auto& l = logger();
  if (l.should_log(spdlog::level::warn)) l.warn(fmt, std::forward<Args>(args)...);
}
template <class... Args>
void error(fmt::format_string<Args...> fmt, Args&&... args) {
  auto& l = logger();
  if (l.should_log(spdlog::level::err)) l.error(fmt, std::forward<Args>(args)...);
}

}  // namespace velarix::log
