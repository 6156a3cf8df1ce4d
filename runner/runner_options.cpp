#include "runner/runner_options.hpp"

#include <array>
#include <string_view>

#include "common/errors.hpp"
#include "common/value.hpp"
#include "core/strict_json.hpp"
#include "core_api/trainer_config.hpp"

namespace tavrin_inference {
namespace {

constexpr std::string_view kField = "onnxruntime";
constexpr std::array<std::string_view, 3> kKnown = {"thread_pool", "intra_op_threads", "allow_spinning"};
// A pool of more threads than this is a typing error, not a setting.
constexpr std::int64_t kMaxThreads = 1024;

// "configuration: onnxruntime.<key>: <what>", or about the settings field itself when `key` is empty.
[[noreturn]] void refuse(std::string_view key, const std::string& what) {
  const std::string field(kField);
  throw InvalidArgumentError(
      "configuration: " + tavrin_core::json_at(key.empty() ? field : tavrin_core::json_field_path(field, key), what));
}

}  // namespace

GraphRunnerOptions GraphRunnerOptions::from_config(const tavrin_core::TrainerConfig& config) {
  GraphRunnerOptions options;
  const Value& field = config.get(kField);
  if (field.is_none()) return options;
  if (!field.is_map()) refuse("", "expected a map, got " + field.str());
  for (const auto& [key, value] : field.as_map()) {
    if (!tavrin_core::json_known_key(key, kKnown))
      refuse(key, "unknown field (known: " + tavrin_core::json_key_list(kKnown) + ")");
    if (value.is_none()) continue;  // as if left out
    if (key == "thread_pool") {
      if (!value.is_text() || (value.as_text() != "global" && value.as_text() != "per_session"))
        refuse(key, "expected 'global' or 'per_session', got " + value.str());
      options.thread_pool = value.as_text() == "global" ? ThreadPool::global : ThreadPool::per_session;
    } else if (key == "intra_op_threads") {
      if (!value.is_int() || value.as_int() < 0 || value.as_int() > kMaxThreads)
        refuse(key, "expected an integer from 0 to " + std::to_string(kMaxThreads) + ", got " + value.str());
      options.intra_op_threads = static_cast<int>(value.as_int());
    } else {
      if (!value.is_bool()) refuse(key, "expected true or false, got " + value.str());
      options.allow_spinning = value.as_bool();
    }
  }
  return options;
}

GraphRunnerOptions GraphRunnerOptions::from_config(const tavrin_core::TrainerConfig* config) {
  return config != nullptr ? from_config(*config) : GraphRunnerOptions{};
}

std::string GraphRunnerOptions::thread_settings() const {
  return "intra_op_threads " + std::to_string(intra_op_threads) + ", allow_spinning " +
         (allow_spinning ? "true" : "false");
}

}  // namespace tavrin_inference
