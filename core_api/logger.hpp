#pragma once
// Module loggers of the core library. One logger per module, named after the module's qualified
// name (for example "tavrin_inference.graph_runner"); the line format is the core library's.
#include <memory>
#include <string>
#include <string_view>

#include <spdlog/spdlog.h>

namespace tavrin_core {

enum class LogLevel { debug, info, warning, error, off };

class Logger {
 public:
  explicit Logger(std::shared_ptr<spdlog::logger> impl) : impl_(std::move(impl)) {}

  // Cheap check so callers build message texts only when they will be written.
  bool enabled(LogLevel level) const { return impl_->should_log(to_spdlog(level)); }

  void debug(std::string_view message) const { impl_->debug(message); }
  void info(std::string_view message) const { impl_->info(message); }
  void warning(std::string_view message) const { impl_->warn(message); }
  void error(std::string_view message) const { impl_->error(message); }

  // printf-style single-argument form ("... (%s) ..."), substituted by the logger.
  void warning_format(std::string_view format, std::string_view argument) const;

  const std::string& name() const { return impl_->name(); }
  spdlog::logger& impl() const { return *impl_; }

  static spdlog::level::level_enum to_spdlog(LogLevel level);

 private:
  std::shared_ptr<spdlog::logger> impl_;
};

// The logger of a module; the same object for the same name. Thread-safe.
Logger& get_logger(const std::string& name);

// Level for every module logger, present and future.
void set_log_level(LogLevel level);
LogLevel parse_log_level(std::string_view text);  // "debug", "info", "warning", "error", "off"

// Extra destination for every module logger (tests capture lines through one).
void add_log_sink(std::shared_ptr<spdlog::sinks::sink> sink);
void remove_log_sink(const std::shared_ptr<spdlog::sinks::sink>& sink);

}  // namespace tavrin_core
