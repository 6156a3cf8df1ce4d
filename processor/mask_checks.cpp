// What a step's combined action mask is checked for: a length the model does not declare (which
// the model run refuses with a message that names no agent), and a mask that forbids everything
// (the first choice is then taken, which is easy to miss). Both are reported beside the step's own
// behaviour, which they do not change.
#include <string>
#include <utility>

#include "core_api/logger.hpp"
#include "processor/skillkit.hpp"

namespace tavrin_inference {
namespace {

const tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.skillkit");

// A source of a mask as the messages give it: its length and entries, or that there was none.
std::string source_text(const char* name, const Value& mask) {
  std::string text = std::string(name) + " mask ";
  if (mask.is_none()) return text + "none";
  try {
    const NdArray flat = BaseAgentProcessor::_format_action_mask_for_combine(mask);
    return text.append(flat.str()).append(" (").append(std::to_string(flat.size())).append(" entries)");
  } catch (const Error&) {
    return text + mask.str();
  }
}

}  // namespace

void BaseAgentProcessor::note_model_inputs(std::string model_path, const Shape& observation_shape,
                                           const std::optional<Shape>& declared_shape) {
  model_path_for_masks_ = std::move(model_path);
  model_observation_shape_ = observation_shape;
  model_mask_size_ = -1;
  if (!declared_shape) return;
  for (std::int64_t d : *declared_shape) {
    if (d < 0) return;  // an open size: the run decides
  }
  model_mask_shape_ = *declared_shape;
  model_mask_size_ = declared_shape->numel();
}

bool BaseAgentProcessor::forbids_everything(const NdArray& mask) {
  if (mask.size() == 0) return false;
  return visit_span(mask, [](auto values) {
    for (auto v : values) {
      if (static_cast<double>(v) > 0) return false;
    }
    return true;
  });
}

void BaseAgentProcessor::report_mask_length(const NdArray& mask, const char* first_name, const Value& first,
                                            const char* second_name, const Value& second) const {
  mask_length_reported_ = true;
  if (!logger.enabled(tavrin_core::LogLevel::warning)) return;  // the sources' texts are built for the line
  logger.warning(
      "Agent '{}': its action mask has {} entries ({}, {}) but its model {} declares an action mask of {} {}; the "
      "model run will refuse it (reported once)",
      context.agent->get_name(), mask.size(), source_text(first_name, first), source_text(second_name, second),
      model_path_for_masks_, model_mask_size_, model_mask_shape_.declared_str());
}

void BaseAgentProcessor::report_all_forbidden(const NdArray& mask, const char* choice, const char* first_name,
                                              const Value& first, const char* second_name, const Value& second) const {
  const auto now = std::chrono::steady_clock::now();
  if (all_forbidden_reported_ && now - all_forbidden_reported_at_ < std::chrono::seconds(1)) return;
  all_forbidden_reported_ = true;
  all_forbidden_reported_at_ = now;
  if (!logger.enabled(tavrin_core::LogLevel::warning)) return;  // the mask's and sources' texts are built for the line
  logger.warning(
      "Agent '{}': the combined action mask {} forbids every {} ({}, {}); the first one is taken "
      "(reported at most once a second)",
      context.agent->get_name(), mask.str(), choice, source_text(first_name, first), source_text(second_name, second));
}

}  // namespace tavrin_inference
