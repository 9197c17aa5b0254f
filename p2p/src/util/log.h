#pragma once
// One logging facade for every component. Events go nowhere until the host
// installs a sink; a disabled level costs one atomic load and no formatting.
//
// A line logged inside spans (util/span.h) carries them before its message,
// outermost first: "housekeeping: super_peer{pk=...}: message". The spans are
// those of the calling task (util/task_executor.h), or of the calling thread
// outside every task.

#include <atomic>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include <spdlog/logger.h>

namespace velarix::log {

class SpanBase;

// Where the spans of one task are kept: the innermost span it is in, and the context of the
// task that awaits it (whose spans enclose its own), if any.
struct SpanContext {
  const SpanBase* current = nullptr;
  SpanContext* parent = nullptr;
};

namespace detail {
// The context of the task whose handler runs on this thread; null outside every task.
inline constinit thread_local SpanContext* t_task = nullptr;
// The spans of this thread's code outside every task.
inline constinit thread_local SpanContext t_thread{};
}  // namespace detail

// The spans a line logged here would carry.
inline SpanContext& current_spans() noexcept {
  SpanContext* task = detail::t_task;
  return task != nullptr ? *task : detail::t_thread;
}

// The logger every event goes through. Until `install` it has no sink and
// its level is off, so nothing is formatted.
spdlog::logger& logger() noexcept;

// Replaces the process-wide logger. Returns false when one was installed before.
bool install(std::shared_ptr<spdlog::logger> logger);

// The level named `text` exactly: trace, debug, info, warn, error or off.
std::optional<spdlog::level::level_enum> parse_level(std::string_view text) noexcept;

inline bool enabled(spdlog::level::level_enum level) noexcept { return logger().should_log(level); }

namespace detail {

void write_in_spans(spdlog::logger& l, spdlog::level::level_enum level, fmt::string_view format,
                    fmt::format_args args);

// Writes a line whose level is on: with the spans' prefix when there are spans.
template <class... Args>
void write(spdlog::logger& l, spdlog::level::level_enum level, fmt::format_string<Args...> format, Args&&... args) {
  const SpanContext& spans = current_spans();
  if (spans.current == nullptr && spans.parent == nullptr) [[likely]] {
    l.log(level, format, std::forward<Args>(args)...);
    return;
  }
  write_in_spans(l, level, fmt::string_view(format), fmt::make_format_args(args...));
}

}  // namespace detail

// A line at a level chosen at run time.
template <class... Args>
void at(spdlog::level::level_enum level, fmt::format_string<Args...> fmt, Args&&... args) {
  auto& l = logger();
  if (l.should_log(level)) detail::write(l, level, fmt, std::forward<Args>(args)...);
}
template <class... Args>
void trace(fmt::format_string<Args...> fmt, Args&&... args) {
  auto& l = logger();
  if (l.should_log(spdlog::level::trace)) detail::write(l, spdlog::level::trace, fmt, std::forward<Args>(args)...);
}
template <class... Args>
void debug(fmt::format_string<Args...> fmt, Args&&... args) {
  auto& l = logger();
  if (l.should_log(spdlog::level::debug)) detail::write(l, spdlog::level::debug, fmt, std::forward<Args>(args)...);
}
template <class... Args>
void info(fmt::format_string<Args...> fmt, Args&&... args) {
  auto& l = logger();
  if (l.should_log(spdlog::level::info)) detail::write(l, spdlog::level::info, fmt, std::forward<Args>(args)...);
}
template <class... Args>
void warn(fmt::format_string<Args...> fmt, Args&&... args) {
  auto& l = logger();
  if (l.should_log(spdlog::level::warn)) detail::write(l, spdlog::level::warn, fmt, std::forward<Args>(args)...);
}
template <class... Args>
void error(fmt::format_string<Args...> fmt, Args&&... args) {
  auto& l = logger();
  if (l.should_log(spdlog::level::err)) detail::write(l, spdlog::level::err, fmt, std::forward<Args>(args)...);
}

}  // namespace velarix::log
