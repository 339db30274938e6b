// The index command's progress report: on a terminal one line redrawn at
// most ten times a second (while reading: files read and the current one;
// while storing: bar, files and chunks done, rate, time left, current file);
// elsewhere one plain line per stored file.
#pragma once

#include <chrono>
#include <ostream>
#include <string>

#include "vorn_retrieval/indexer.hpp"

namespace vorn_cli {

class ProgressPrinter {
 public:
  using Clock = std::chrono::steady_clock;

  ProgressPrinter(std::ostream& err, bool terminal, Clock::time_point start = Clock::now());

  // Takes every report; draws only what the mode and the redraw limit allow.
  void update(const vorn_retrieval::IndexProgress& progress, Clock::time_point now = Clock::now());
  // Ends the line on a terminal.
  void finish();

  // "reading 3/10 files, 120 chunks, docs/guide.pdf" or
  // "[#####.....] 3/10 files, 120/400 chunks, 85 chunks/s, 3 s left, docs/guide.md"
  static std::string render(const vorn_retrieval::IndexProgress& progress, double seconds_elapsed);

 private:
  std::ostream& err_;
  bool terminal_;
  Clock::time_point start_;
  Clock::time_point last_draw_{};
  bool drawn_ = false;
  std::size_t documents_reported_ = 0;
};

}  // namespace vorn_cli
