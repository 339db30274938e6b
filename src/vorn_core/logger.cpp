#include "vorn_core/logger.hpp"

#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

namespace vorn_core {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Logger>, std::less<>> loggers;
  std::map<int, LoggerManager::Sink> sinks;
  int next_handle = 1;
  std::atomic<int> level{static_cast<int>(LogLevel::kWarning)};
  std::atomic<bool> stderr_enabled{true};
};

Registry& registry() {
  static Registry r;
  return r;
}

const char* level_name(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug: return "DEBUG";
    case LogLevel::kInfo: return "INFO";
    case LogLevel::kWarning: return "WARNING";
    case LogLevel::kError: return "ERROR";
  }
  return "LOG";
}

}  // namespace

void Logger::log(LogLevel level, std::string_view message) const {
  Registry& r = registry();
  if (static_cast<int>(level) < r.level.load(std::memory_order_relaxed)) return;
  LogRecord record{name_, level, std::string(message)};
  std::vector<LoggerManager::Sink> sinks;
  {
    std::lock_guard lock(r.mutex);
    sinks.reserve(r.sinks.size());
    for (const auto& [h, s] : r.sinks) sinks.push_back(s);
  }
  for (const auto& sink : sinks) sink(record);
  if (r.stderr_enabled.load(std::memory_order_relaxed) && level >= LogLevel::kWarning) {
    std::fprintf(stderr, "%s %s: %s\n", level_name(level), name_.c_str(), record.message.c_str());
  }
}

Logger& LoggerManager::get_logger(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.loggers.find(name);
  if (it == r.loggers.end()) it = r.loggers.emplace(std::string(name), std::make_unique<Logger>(std::string(name))).first;
  return *it->second;
}

void LoggerManager::set_level(LogLevel level) { registry().level.store(static_cast<int>(level)); }
LogLevel LoggerManager::level() { return static_cast<LogLevel>(registry().level.load()); }
void LoggerManager::set_stderr_enabled(bool enabled) { registry().stderr_enabled.store(enabled); }

int LoggerManager::add_sink(Sink sink) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  int h = r.next_handle++;
  r.sinks.emplace(h, std::move(sink));
  return h;
}

void LoggerManager::remove_sink(int handle) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.sinks.erase(handle);
}

struct LogCapture::State {
  mutable std::mutex mutex;
  std::vector<LogRecord> records;
};

LogCapture::LogCapture() : state_(std::make_shared<State>()) {
  handle_ = LoggerManager::add_sink([state = state_](const LogRecord& r) {
    std::lock_guard lock(state->mutex);
    state->records.push_back(r);
  });
}

LogCapture::~LogCapture() { LoggerManager::remove_sink(handle_); }

std::vector<LogRecord> LogCapture::records() const {
  std::lock_guard lock(state_->mutex);
  return state_->records;
}

std::vector<std::string> LogCapture::messages(std::string_view logger, LogLevel level) const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> out;
  for (const auto& r : state_->records)
    if (r.logger == logger && r.level == level) out.push_back(r.message);
  return out;
}

}  // namespace vorn_core
