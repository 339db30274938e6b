#include "progress.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace vorn_cli {
namespace {

constexpr auto kMinRedraw = std::chrono::milliseconds(100);
constexpr int kBarWidth = 20;

std::string duration_text(double seconds) {
  const auto s = static_cast<long long>(std::ceil(seconds));
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
  return std::to_string(s / 3600) + " h " + std::to_string((s % 3600) / 60) + " min";
}

}  // namespace

ProgressPrinter::ProgressPrinter(std::ostream& err, bool terminal, Clock::time_point start)
    : err_(err), terminal_(terminal), start_(start) {}

std::string ProgressPrinter::render(const vorn_retrieval::IndexProgress& p, double seconds_elapsed) {
  if (p.stage == vorn_retrieval::IndexStage::reading) {
    // No bar yet: how much there is to store is known only once all is read.
    std::ostringstream line;
    line << "reading " << p.documents_done << "/" << p.documents_total << " files, " << p.chunks_total << " chunks";
    if (!p.source.empty()) line << ", " << p.source;
    return line.str();
  }
  const double done = p.chunks_total != 0 ? static_cast<double>(p.chunks_done) / static_cast<double>(p.chunks_total)
                      : p.documents_total != 0
                          ? static_cast<double>(p.documents_done) / static_cast<double>(p.documents_total)
                          : 1.0;
  const int filled = std::clamp(static_cast<int>(done * kBarWidth), 0, kBarWidth);
  std::ostringstream line;
  line << "[" << std::string(filled, '#') << std::string(kBarWidth - filled, '.') << "] " << p.documents_done << "/"
       << p.documents_total << " files, " << p.chunks_done << "/" << p.chunks_total << " chunks";
  // A rate over the first fraction of a second says nothing.
  if (seconds_elapsed >= 0.5 && p.chunks_done > 0) {
    const double rate = static_cast<double>(p.chunks_done) / seconds_elapsed;
    line << ", " << static_cast<long long>(std::llround(rate)) << " chunks/s";
    if (p.chunks_total > p.chunks_done) {
      line << ", " << duration_text(static_cast<double>(p.chunks_total - p.chunks_done) / rate) << " left";
    }
  }
  if (!p.source.empty()) line << ", " << p.source;
  return line.str();
}

void ProgressPrinter::update(const vorn_retrieval::IndexProgress& p, Clock::time_point now) {
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  if (!terminal_) {
    // A log gets one line per stored file.
    if (p.stage == vorn_retrieval::IndexStage::reading) return;
    if (p.documents_done == documents_reported_) return;
    documents_reported_ = p.documents_done;
    err_ << render(p, elapsed) << "\n";
    return;
  }
  const bool last = p.stage == vorn_retrieval::IndexStage::storing && p.documents_done == p.documents_total &&
                    p.chunks_done == p.chunks_total;
  if (drawn_ && !last && now - last_draw_ < kMinRedraw) return;
  last_draw_ = now;
  drawn_ = true;
  // Carriage return and erase-line: a shorter line leaves no tail behind.
  err_ << "\r\x1b[K" << render(p, elapsed) << std::flush;
}

void ProgressPrinter::finish() {
  if (terminal_ && drawn_) err_ << "\n";
}

}  // namespace vorn_cli
