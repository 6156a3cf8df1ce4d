#include "core_api/logger.hpp"

#include <map>
#include <mutex>
#include <vector>

#include <spdlog/sinks/stdout_color_sinks.h>

#include "common/errors.hpp"

namespace tavrin_core {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Logger>, std::less<>> loggers;
  std::vector<std::shared_ptr<spdlog::sinks::sink>> sinks;
  spdlog::level::level_enum level = spdlog::level::info;
};

Registry& registry() {
  static Registry* instance = new Registry();  // never destroyed: loggers outlive static teardown
  return *instance;
}

std::shared_ptr<spdlog::sinks::sink> default_sink() {
  static auto sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
  return sink;
}

}  // namespace

spdlog::level::level_enum Logger::to_spdlog(LogLevel level) {
  switch (level) {
    case LogLevel::debug: return spdlog::level::debug;
    case LogLevel::info: return spdlog::level::info;
    case LogLevel::warning: return spdlog::level::warn;
    case LogLevel::error: return spdlog::level::err;
    case LogLevel::off: return spdlog::level::off;
  }
  return spdlog::level::info;
}

void Logger::warning_format(std::string_view format, std::string_view argument) const {
  if (!impl_->should_log(spdlog::level::warn)) return;
  std::string text;
  text.reserve(format.size() + argument.size());
  const auto pos = format.find("%s");
  if (pos == std::string_view::npos) {
    text.append(format);
  } else {
    text.append(format.substr(0, pos)).append(argument).append(format.substr(pos + 2));
  }
  impl_->warn(text);
}

Logger& get_logger(std::string_view name) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  auto it = reg.loggers.find(name);
  if (it != reg.loggers.end()) return *it->second;
  std::vector<spdlog::sink_ptr> sinks{default_sink()};
  sinks.insert(sinks.end(), reg.sinks.begin(), reg.sinks.end());
  auto impl = std::make_shared<spdlog::logger>(std::string(name), sinks.begin(), sinks.end());
  impl->set_level(reg.level);
  impl->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%-7l%$ %n: %v");
  auto [pos, _] = reg.loggers.emplace(name, std::make_unique<Logger>(std::move(impl)));
  return *pos->second;
}

void set_log_level(LogLevel level) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.level = Logger::to_spdlog(level);
  for (auto& [_, logger] : reg.loggers) logger->impl().set_level(reg.level);
}

LogLevel parse_log_level(std::string_view text) {
  if (text == "debug") return LogLevel::debug;
  if (text == "info") return LogLevel::info;
  if (text == "warning" || text == "warn") return LogLevel::warning;
  if (text == "error") return LogLevel::error;
  if (text == "off") return LogLevel::off;
  throw tavrin_inference::InvalidArgumentError("Unknown log level: '" + std::string(text) +
                                               "' (expected debug, info, warning, error or off)");
}

void add_log_sink(std::shared_ptr<spdlog::sinks::sink> sink) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  for (auto& [_, logger] : reg.loggers) logger->impl().sinks().push_back(sink);
  reg.sinks.push_back(std::move(sink));
}

void remove_log_sink(const std::shared_ptr<spdlog::sinks::sink>& sink) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  auto drop = [&](std::vector<spdlog::sink_ptr>& v) { std::erase(v, sink); };
  for (auto& [_, logger] : reg.loggers) drop(logger->impl().sinks());
  drop(reg.sinks);
}

}  // namespace tavrin_core
