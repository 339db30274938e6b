#include "vorn_core/trace.hpp"

#include <utility>

namespace vorn_core {

double Trace::now_ms() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - origin_).count();
}

std::vector<TraceEvent> Trace::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void Trace::note(std::string name, Dict data) {
  const TracePosition* position = detail::t_trace_position;
  // Outside this trace's run (or outside any step) the note goes to the top.
  const bool inside = position && position->trace == this;
  TraceEvent event;
  event.name = std::move(name);
  event.kind = "note";
  event.parent = inside ? position->parent : -1;
  event.depth = inside ? position->depth : 0;
  event.start_ms = now_ms();
  event.finished = true;
  event.data = std::move(data);
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

std::int64_t Trace::begin(std::string_view name, std::string_view kind, std::int64_t parent, int depth) {
  TraceEvent event;
  event.name = std::string(name);
  event.kind = std::string(kind);
  event.parent = parent;
  event.depth = depth;
  event.start_ms = now_ms();
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
  return static_cast<std::int64_t>(events_.size()) - 1;
}

void Trace::end(std::int64_t index, bool ok, std::string error_code, std::optional<std::size_t> chunks) {
  const double now = now_ms();
  std::lock_guard lock(mutex_);
  TraceEvent& event = events_.at(static_cast<std::size_t>(index));
  event.duration_ms = now - event.start_ms;
  event.finished = true;
  event.ok = ok;
  event.error_code = std::move(error_code);
  event.chunks = chunks;
}

}  // namespace vorn_core
