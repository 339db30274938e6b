#include "trace.hpp"

#include <algorithm>
#include <cstdio>

namespace vorn_cli {

StepTrace::StepTrace() : previous_(vorn_pipeline::step_observer()) { vorn_pipeline::set_step_observer(this); }

StepTrace::~StepTrace() { vorn_pipeline::set_step_observer(previous_); }

void StepTrace::on_step_start(const vorn_pipeline::Step& step) {
  entries_.push_back(TraceEntry{step.name(), std::string(vorn_pipeline::to_string(step.kind())),
                                static_cast<int>(open_.size()), 0, false});
  open_.push_back(Open{&step, entries_.size() - 1, std::chrono::steady_clock::now()});
}

void StepTrace::on_step_end(const vorn_pipeline::Step& step, bool failed) {
  // Steps of concurrent map calls may end out of order: close the matching one.
  auto it = std::find_if(open_.rbegin(), open_.rend(), [&](const Open& o) { return o.step == &step; });
  if (it == open_.rend()) return;
  TraceEntry& e = entries_[it->entry];
  e.milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - it->start).count();
  e.failed = failed;
  open_.erase(std::next(it).base());
}

std::string StepTrace::render() const {
  std::string out;
  char line[512];
  for (const auto& e : entries_) {
    std::snprintf(line, sizeof line, "%*s%-*s %-10s %9.3f ms%s\n", e.depth * 2, "", std::max(1, 34 - e.depth * 2),
                  e.step.c_str(), e.kind.c_str(), e.milliseconds, e.failed ? "  FAILED" : "");
    out += line;
  }
  return out;
}

}  // namespace vorn_cli
