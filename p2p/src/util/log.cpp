#include "util/log.h"

#include <array>
#include <iterator>
#include <mutex>
#include <utility>

#include "util/span.h"

namespace velarix::log {
namespace {

std::shared_ptr<spdlog::logger> make_silent() {
  auto l = std::make_shared<spdlog::logger>("velarix-agent");
  l->set_level(spdlog::level::off);
  return l;
}

// Loggers are kept alive for the life of the process: a reader may hold the
// reference it loaded while another thread installs a new one.
std::shared_ptr<spdlog::logger> g_silent = make_silent();
std::shared_ptr<spdlog::logger> g_installed;
std::atomic<spdlog::logger*> g_current{g_silent.get()};
std::mutex g_install_mutex;

}  // namespace

spdlog::logger& logger() noexcept { return *g_current.load(std::memory_order_acquire); }

bool install(std::shared_ptr<spdlog::logger> l) {
  std::lock_guard lock(g_install_mutex);
  if (g_installed || !l) return false;
  g_installed = std::move(l);
  g_current.store(g_installed.get(), std::memory_order_release);
  return true;
}

std::optional<spdlog::level::level_enum> parse_level(std::string_view text) noexcept {
  using spdlog::level::level_enum;
  static constexpr std::pair<std::string_view, level_enum> kLevels[] = {
      {"trace", level_enum::trace}, {"debug", level_enum::debug}, {"info", level_enum::info},
      {"warn", level_enum::warn},   {"error", level_enum::err},   {"off", level_enum::off},
  };
  for (const auto& [name, level] : kLevels) {
    if (text == name) return level;
  }
  return std::nullopt;
}

namespace detail {

namespace {
// Deeper nesting than this keeps the innermost spans.
constexpr std::size_t kMaxSpans = 16;
}  // namespace

void write_in_spans(spdlog::logger& l, spdlog::level::level_enum level, fmt::string_view format,
                    fmt::format_args args) {
  std::array<const SpanBase*, kMaxSpans> chain;
  std::size_t n = 0;
  for (const SpanContext* c = &current_spans(); c != nullptr && n < kMaxSpans; c = c->parent) {
    for (const SpanBase* s = c->current; s != nullptr && n < kMaxSpans; s = s->parent()) chain[n++] = s;
  }
  fmt::memory_buffer line;
  while (n > 0) {
    const SpanBase& span = *chain[--n];
    line.append(span.name());
    span.append_fields(line);
    line.append(std::string_view(": "));
  }
  fmt::vformat_to(std::back_inserter(line), format, args);
  l.log(level, spdlog::string_view_t(line.data(), line.size()));
}

}  // namespace detail

}  // namespace velarix::log
