#pragma once
// Module loggers of the core library. One logger per module, named after the module's qualified
// name (for example "tavrin_inference.graph_runner"); the line format is the core library's.
//
// A module holds its logger at namespace scope:
//   const tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.skill_runtime");
// and logs with format arguments, so a call site never builds a text nor tests the level itself:
//   logger.warning("model {} has no output named {}", path, name);
// The text is formatted only when the level is enabled.
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <spdlog/spdlog.h>

namespace tavrin_core {

enum class LogLevel { debug, info, warning, error, off };

class Logger {
 public:
  template <class... Args>
  using Format = spdlog::format_string_t<Args...>;

  explicit Logger(std::shared_ptr<spdlog::logger> impl) : impl_(std::move(impl)) {}

  // For callers that gather the parts of a message over several statements.
  bool enabled(LogLevel level) const { return impl_->should_log(to_spdlog(level)); }

  void debug(std::string_view message) const { impl_->debug(message); }
  void info(std::string_view message) const { impl_->info(message); }
  void warning(std::string_view message) const { impl_->warn(message); }
  void error(std::string_view message) const { impl_->error(message); }

  template <class A, class... Args>
  void debug(Format<A, Args...> format, A&& first, Args&&... rest) const {
    impl_->debug(format, std::forward<A>(first), std::forward<Args>(rest)...);
  }
  template <class A, class... Args>
  void info(Format<A, Args...> format, A&& first, Args&&... rest) const {
    impl_->info(format, std::forward<A>(first), std::forward<Args>(rest)...);
  }
  template <class A, class... Args>
  void warning(Format<A, Args...> format, A&& first, Args&&... rest) const {
    impl_->warn(format, std::forward<A>(first), std::forward<Args>(rest)...);
  }
  template <class A, class... Args>
  void error(Format<A, Args...> format, A&& first, Args&&... rest) const {
    impl_->error(format, std::forward<A>(first), std::forward<Args>(rest)...);
  }

  // printf-style single-argument form ("... (%s) ..."), kept for callers of the first releases.
  void warning_format(std::string_view format, std::string_view argument) const;

  const std::string& name() const { return impl_->name(); }
  spdlog::logger& impl() const { return *impl_; }

  static spdlog::level::level_enum to_spdlog(LogLevel level);

 private:
  std::shared_ptr<spdlog::logger> impl_;
};

// The logger of a module; the same object for the same name, valid for the life of the process
// (safe to bind at namespace scope in any library, plugins included). Thread-safe.
Logger& get_logger(std::string_view name);

// Level for every module logger, present and future.
void set_log_level(LogLevel level);
LogLevel parse_log_level(std::string_view text);  // "debug", "info", "warning", "error", "off"

// Extra destination for every module logger (tests capture lines through one).
void add_log_sink(std::shared_ptr<spdlog::sinks::sink> sink);
void remove_log_sink(const std::shared_ptr<spdlog::sinks::sink>& sink);

}  // namespace tavrin_core
