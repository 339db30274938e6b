// Named loggers. Output goes to registered sinks (stderr by default, for
// warnings and above); tests attach a `LogCapture` to see what was logged.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_core {

enum class LogLevel { kDebug = 10, kInfo = 20, kWarning = 30, kError = 40 };

struct LogRecord {
  std::string logger;
  LogLevel level;
  std::string message;
};

class Logger {
 public:
  explicit Logger(std::string name) : name_(std::move(name)) {}
  const std::string& name() const noexcept { return name_; }

  void log(LogLevel level, std::string_view message) const;
  void debug(std::string_view m) const { log(LogLevel::kDebug, m); }
  void info(std::string_view m) const { log(LogLevel::kInfo, m); }
  void warning(std::string_view m) const { log(LogLevel::kWarning, m); }
  void error(std::string_view m) const { log(LogLevel::kError, m); }

 private:
  std::string name_;
};

class LoggerManager {
 public:
  using Sink = std::function<void(const LogRecord&)>;

  // The logger of that name; the same object on every call.
  Logger& get_logger(std::string_view name);

  // Records below this level are dropped before reaching any sink.
  static void set_level(LogLevel level);
  static LogLevel level();
  // Sinks receive every record at or above the level; returns a handle for
  // `remove_sink`. The default stderr sink prints warnings and errors.
  static int add_sink(Sink sink);
  static void remove_sink(int handle);
  static void set_stderr_enabled(bool enabled);
};

// Collects the records logged while it lives (thread-safe).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogRecord> records() const;
  // Records of one logger at one level, messages only.
  std::vector<std::string> messages(std::string_view logger, LogLevel level) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  int handle_;
};

}  // namespace vorn_core
