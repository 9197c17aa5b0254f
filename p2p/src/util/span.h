#pragma once
// Spans: a named stretch of work, with fields, that every line logged inside it carries
// before its message as `name{field=value,field2=value}: ` (`name: ` without fields),
// outermost span first.
//
//     log::Span span(spdlog::level::info, "super_peer", log::field("pk", key));
//
// - A span lives where its scope lives (a coroutine frame or a stack frame) and is the current
//   span of its task from its construction to its end; the task's lines carry it across
//   co_await and threads, and other tasks never see it (util/task_executor.h). Outside every
//   task the span is the calling thread's: there it must not be held across a suspension.
// - A span whose level is not shown costs one level check and is not linked. A shown one costs
//   a few pointer writes: its fields are formatted only when a line is logged inside it.
// - A field holds an lvalue by reference (it must outlive the span) and an rvalue by value.
//   Fields never hold secrets; URLs go through the same mask as logged URLs.

#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

#include "util/log.h"

namespace velarix::log {

template <class T>
struct Field {
  std::string_view name;
  T value;
};

// A field `name=value`; `value` is formatted with `{}` when a line is written inside the span.
template <class T>
Field<T> field(std::string_view name, T&& value) {
  return Field<T>{name, std::forward<T>(value)};
}

class SpanBase {
 public:
  SpanBase(const SpanBase&) = delete;
  SpanBase& operator=(const SpanBase&) = delete;

  std::string_view name() const noexcept { return name_; }
  // Appends `{field=value,...}`, or nothing for a span without fields.
  void append_fields(fmt::memory_buffer& out) const {
    if (fields_ != nullptr) fields_(*this, out);
  }
  // The span this one is in, within the same task.
  const SpanBase* parent() const noexcept { return parent_; }
  // Whether this span was linked (its level was shown when it began).
  bool entered() const noexcept { return context_ != nullptr; }

 protected:
  using AppendFields = void (*)(const SpanBase&, fmt::memory_buffer&);
  SpanBase(std::string_view name, AppendFields fields) noexcept : name_(name), fields_(fields) {}
  ~SpanBase() = default;

  void enter(spdlog::level::level_enum level) noexcept {
    if (!enabled(level)) return;
    SpanContext& spans = current_spans();
    context_ = &spans;
    parent_ = spans.current;
    spans.current = this;
  }
  void leave() noexcept;

 private:
  std::string_view name_;
  AppendFields fields_;
  mutable const SpanBase* parent_ = nullptr;
  SpanContext* context_ = nullptr;
};

// Spans of one task end in the reverse order of their start. Where work that shares one context
// interleaves (the branches of an `||`), one may end inside a later one: it is taken out of the
// chain, so that no span is left pointing at it.
inline void SpanBase::leave() noexcept {
  if (context_ == nullptr) return;
  if (context_->current == this) {
    context_->current = parent_;
    return;
  }
  for (const SpanBase* s = context_->current; s != nullptr; s = s->parent_) {
    if (s->parent_ == this) {
      s->parent_ = parent_;
      return;
    }
  }
}

template <class... Fields>
class Span final : public SpanBase {
 public:
  explicit Span(spdlog::level::level_enum level, std::string_view name, Fields... fields) noexcept(
      (std::is_nothrow_move_constructible_v<Fields> && ...))
      : SpanBase(name, appender()), fields_(std::move(fields)...) {
    enter(level);
  }
  ~Span() { leave(); }

 private:
  static constexpr AppendFields appender() noexcept {
    if constexpr (sizeof...(Fields) == 0) {
      return nullptr;
    } else {
      return &append;
    }
  }
  static void append(const SpanBase& base, fmt::memory_buffer& out) {
    const auto& self = static_cast<const Span&>(base);
    out.push_back('{');
    std::apply(
        [&out](const auto&... f) {
          std::size_t i = 0;
          ((fmt::format_to(std::back_inserter(out), "{}{}={}", i++ == 0 ? "" : ",", f.name, f.value)), ...);
        },
        self.fields_);
    out.push_back('}');
  }

  std::tuple<Fields...> fields_;
};

template <class... T>
Span(spdlog::level::level_enum, std::string_view, Field<T>...) -> Span<Field<T>...>;

}  // namespace velarix::log
