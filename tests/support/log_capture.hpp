#pragma once
// Captures the lines written by the module loggers while it is alive.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "core_api/logger.hpp"

namespace tavrin_test {

struct LogLine {
  std::string logger;
  std::string level;  // "debug", "info", "warning", "error"
  std::string message;
};

class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<Sink>()) {
    previous_ = tavrin_core::LogLevel::info;
    tavrin_core::add_log_sink(sink_);
    tavrin_core::set_log_level(tavrin_core::LogLevel::debug);
  }
  ~LogCapture() {
    tavrin_core::remove_log_sink(sink_);
    tavrin_core::set_log_level(previous_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> lines() const {
    std::lock_guard lock(sink_->lines_mutex);
    return sink_->lines;
  }
  // Messages of one level (and, when given, one logger), in order.
  std::vector<std::string> messages(const std::string& level, const std::string& logger = "") const {
    std::vector<std::string> out;
    for (const auto& line : lines())
      if (line.level == level && (logger.empty() || line.logger == logger)) out.push_back(line.message);
    return out;
  }
  std::size_t count(const std::string& level, const std::string& message) const {
    std::size_t n = 0;
    for (const auto& m : messages(level))
      if (m == message) ++n;
    return n;
  }
  void clear() {
    std::lock_guard lock(sink_->lines_mutex);
    sink_->lines.clear();
  }

 private:
  struct Sink : spdlog::sinks::base_sink<std::mutex> {
    std::mutex lines_mutex;
    std::vector<LogLine> lines;
    void sink_it_(const spdlog::details::log_msg& msg) override {
      static const char* names[] = {"trace", "debug", "info", "warning", "error", "critical", "off"};
      std::lock_guard lock(lines_mutex);
      lines.push_back({std::string(msg.logger_name.begin(), msg.logger_name.end()), names[msg.level],
                       std::string(msg.payload.begin(), msg.payload.end())});
    }
    void flush_() override {}
  };
  std::shared_ptr<Sink> sink_;
  tavrin_core::LogLevel previous_;
};

}  // namespace tavrin_test
