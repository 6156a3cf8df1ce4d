#include "skill/skill_runtime.hpp"

#include <cstdint>
#include <typeinfo>
#include <utility>

#include "common/constants.hpp"
#include "common/errors.hpp"
#include "common/nd_array.hpp"
#include "core_api/logger.hpp"
#include "processor/model_inputs.hpp"
#include "runner/agent_model.hpp"

namespace tavrin_inference {
namespace {

const tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.skill_runtime");

// Adds FLOAT_MIN to every entry whose mask value is not positive, as one element-wise addition,
// when the mask has exactly one entry per entry of the row; yields the row to decode, `row` itself
// when the mask does not apply. The mask is compared as float32, the precision the mask is judged
// in; the sum is float64, written into `masked` (reused from step to step when it fits).
const NdArray& apply_mask(const NdArray& row, const NdArray& mask, NdArray& masked) {
  if (row.ndim() == 0 || mask.size() != row.shape()[0]) return row;
  const std::int64_t n = mask.size();
  if (row.ndim() == 1 && (row.dtype() == DType::float32 || row.dtype() == DType::float64)) {
    // The common case in one pass, into the float64 result.
    if (!(masked.dtype() == DType::float64 && masked.shape() == row.shape() && masked.writable_in_place())) {
      masked = NdArray::uninitialized(DType::float64, Shape{n});
    }
    double* sum = masked.data<double>();
    visit_span(row, [&](auto values) {
      visit_span(mask, [&](auto allowed) {
        for (std::int64_t i = 0; i < n; ++i) {
          const auto k = static_cast<std::size_t>(i);
          const double penalty = static_cast<float>(allowed[k]) > 0.0f ? 0.0 : FLOAT_MIN;
          sum[i] = static_cast<double>(values[k]) + penalty;
        }
      });
    });
    return masked;
  }
  NdArray inf_mask(DType::float64, Shape{n});
  double* penalty = inf_mask.data<double>();
  for (std::int64_t i = 0; i < n; ++i) penalty[i] = static_cast<float>(mask.at_double(i)) > 0.0f ? 0.0 : FLOAT_MIN;
  masked = row + inf_mask;
  return masked;
}

}  // namespace

SkillRuntimeBase::SkillRuntimeBase(tavrin_core::AgentProcessorContext context)
    : BaseAgentProcessor(std::move(context)) {
  onnx_engine.reset();
  _is_initialized = false;
}

SkillRuntimeBase::~SkillRuntimeBase() = default;

asio::awaitable<void> SkillRuntimeBase::init() {
  if (!context.orchestration) throw InvalidArgumentError("AgentProcessorContext has no orchestration");
  if (!context.orchestration->is_initialized()) co_await context.orchestration->init();
  co_await BaseAgentProcessor::init();
  load_onnx_model();
  _is_initialized = true;
}

void SkillRuntimeBase::load_onnx_model() {
  const tavrin_core::AgentNode& agent = *context.agent;
  if (agent.is_controller()) {
    logger.info("Agent {} is a controller: its own programmed implementation is used instead of an ONNX model",
                agent.get_name());
    return;
  }

  AgentModel model = open_agent_model(context, ModelOwner::skill, onnx_helper_library);
  if (!model.runner) return;
  onnx_engine = std::move(model.runner);
  note_model_inputs(std::move(model.path), onnx_engine->observation_shape(), onnx_engine->action_mask_shape());
}

Value SkillRuntimeBase::model_raw_action(const Map& sensors_filtered) {
  const ModelInputs inputs(sensors_filtered);
  return model_action(inputs.observation(), inputs.mask());
}

Value SkillRuntimeBase::model_action(const NdArray& observation, const NdArray* action_mask) {
  if (!onnx_engine) throw RuntimeError("ONNX model not loaded for agent " + context.agent->get_name());
  first_row_into(onnx_engine->get_action_dist_inputs(observation, action_mask), row_);
  const NdArray& row = action_mask != nullptr ? apply_mask(row_, *action_mask, masked_row_) : row_;
  return _decode_action_dist_inputs(row, *action_space).first;
}

BaseAgentProcessor::StepRole SkillRuntimeBase::step_role() const {
  return typeid(*this) == typeid(SkillRuntime) ? StepRole::skill : StepRole::other;
}

asio::awaitable<Value> SkillRuntimeBase::_execute(const Value& sim_sensors, const Value& sim_action_mask,
                                                  bool /*explore*/, bool /*is_coordinated*/,
                                                  const Value& previous_action, bool return_as_teacher_dict,
                                                  const Value& /*agent_group_action*/) {
  return execute_own_step(sim_sensors, sim_action_mask, previous_action, return_as_teacher_dict);
}

asio::awaitable<Value> SkillRuntimeBase::execute_through_overrides(const Value& sim_sensors,
                                                                   const Value& sim_action_mask,
                                                                   const Value& previous_action,
                                                                   bool return_as_teacher_dict) {
  auto [sensors_filtered, tavrin_obs] = co_await process_sim_sensors(sim_sensors, sim_action_mask, previous_action);

  const bool from_controller = context.agent->is_controller() && controller;
  Value action;
  if (from_controller) {
    action = co_await controller->compute_action(tavrin_obs, previous_action);
  } else {
    action = model_raw_action(sensors_filtered);
  }
  action = co_await process_action(sim_sensors, tavrin_obs, std::move(action), sim_action_mask, !from_controller);

  if (!return_as_teacher_dict) co_return action;
  Map teacher_map;
  teacher_map.reserve(3);
  teacher_map.set("action", std::move(action));
  teacher_map.set("sensors_filtered", Value(std::move(sensors_filtered)));
  teacher_map.set("tavrin_obs", std::move(tavrin_obs));
  co_return Value(std::move(teacher_map));
}

}  // namespace tavrin_inference

std::shared_ptr<tavrin_inference::BaseAgentProcessor> tavrin_make_skill_runtime(
    const tavrin_core::AgentProcessorContext& context) {
  return std::make_shared<tavrin_inference::SkillRuntime>(context);
}
