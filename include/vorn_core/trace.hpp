// Per-run traces: what each step of one run did, when, for how long, and
// with what outcome, plus notes components add on their own.
//
// A trace belongs to one run, not to a thread: the coroutines of a run carry
// it across suspensions (the task awaiter and the event loop restore it when
// they resume a coroutine), so two runs interleaved on one loop record into
// their own traces. Nothing is recorded, and nothing is paid beyond one
// thread-local read per step, when no trace is current.
//
//   auto trace = std::make_shared<vorn_core::Trace>();
//   Dict state = rag->run(question, 5, {{"trace", Value(trace)}});
//   for (const auto& e : trace->events()) ...
//
// Inside a traced run, a component adds its own event:
//
//   if (auto* trace = vorn_core::current_trace())
//     trace->note("context_budget", {{"dropped_chunks", Value(3)}});
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_core/object.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"

namespace vorn_core {

// One recorded step (or note). Times are milliseconds since the trace was
// made. A step's event is added when the step starts and completed when it
// ends; a step still running has `finished` false.
struct TraceEvent {
  std::string name;  // the step's name, or the note's
  std::string kind;  // "step", "transform", "subgraph", "switch", "map_reduce", "while_do", or "note"
  // Index of the enclosing step's event in the same trace, -1 at the top.
  std::int64_t parent = -1;
  int depth = 0;  // 0 for the top-level steps of the traced run
  double start_ms = 0;
  double duration_ms = 0;  // 0 for notes
  bool finished = false;
  bool ok = true;
  std::string error_code;  // the failure's `code()` when not ok
  // Chunks held by the step's outputs, when its outputs hold lists of chunks.
  std::optional<std::size_t> chunks;
  Dict data;  // a note's fields
};

// The events of one run in start order. Thread-safe: a run may record while
// another thread reads a snapshot.
class Trace final : public Object {
 public:
  Trace() : origin_(std::chrono::steady_clock::now()) {}

  // A copy of the events so far, in start order.
  std::vector<TraceEvent> events() const;

  // Adds a note under the step running now (or at the top, outside steps).
  void note(std::string name, Dict data = {});

  std::string type_name() const override { return "Trace"; }

  // ---- recording (used by the pipeline's steps) ----------------------------
  // Starts a step's event and returns its index.
  std::int64_t begin(std::string_view name, std::string_view kind, std::int64_t parent, int depth);
  void end(std::int64_t index, bool ok, std::string error_code, std::optional<std::size_t> chunks);

 private:
  double now_ms() const;

  std::chrono::steady_clock::time_point origin_;
  mutable std::mutex mutex_;
  std::vector<TraceEvent> events_;
};
using TracePtr = std::shared_ptr<Trace>;

// Where the running code records: the trace and the event new events nest
// under. Positions live in the frames of the coroutines that record, so the
// current one is a plain pointer.
struct TracePosition {
  Trace* trace = nullptr;
  std::int64_t parent = -1;
  int depth = 0;
};

// The trace of the run executing now, or nullptr when it is not traced.
inline Trace* current_trace() noexcept {
  const TracePosition* p = detail::t_trace_position;
  return p ? p->trace : nullptr;
}
inline const TracePosition* current_trace_position() noexcept { return detail::t_trace_position; }

// Makes `trace` current in this thread until the scope ends; what runs in
// between, including a blocking `run` and every task it starts, records into
// it. For a coroutine caller, `traced` is the way.
class TraceScope {
 public:
  explicit TraceScope(Trace& trace) noexcept : position_{&trace, -1, 0}, previous_(detail::t_trace_position) {
    detail::t_trace_position = &position_;
  }
  ~TraceScope() { detail::t_trace_position = previous_; }
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  TracePosition position_;
  const TracePosition* previous_;
};

// Runs `task` with `trace` current: the task and everything it awaits record
// into it, whatever else the loop runs in between.
template <class T>
Task<T> traced(TracePtr trace, Task<T> task) {
  TraceScope scope(*trace);
  co_return co_await std::move(task);
}
inline Task<void> traced(TracePtr trace, Task<void> task) {
  TraceScope scope(*trace);
  co_await std::move(task);
}

}  // namespace vorn_core
