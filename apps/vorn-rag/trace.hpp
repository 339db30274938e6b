// --trace: each step with its duration, nested steps indented.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "vorn_pipeline/step.hpp"

namespace vorn_cli {

struct TraceEntry {
  std::string step;
  std::string kind;
  int depth = 0;
  double milliseconds = 0;
  bool failed = false;
};

// Records steps run in this thread while it is installed.
class StepTrace final : public vorn_pipeline::StepObserver {
 public:
  StepTrace();
  ~StepTrace() override;
  StepTrace(const StepTrace&) = delete;
  StepTrace& operator=(const StepTrace&) = delete;

  void on_step_start(const vorn_pipeline::Step& step) override;
  void on_step_end(const vorn_pipeline::Step& step, bool failed) override;

  // Entries in start order.
  const std::vector<TraceEntry>& entries() const noexcept { return entries_; }
  std::string render() const;

 private:
  struct Open {
    const vorn_pipeline::Step* step;
    std::size_t entry;
    std::chrono::steady_clock::time_point start;
  };
  vorn_pipeline::StepObserver* previous_;
  std::vector<TraceEntry> entries_;
  std::vector<Open> open_;
};

}  // namespace vorn_cli
