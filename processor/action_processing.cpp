// After inference: action post-processing, the teacher's view of a simulator step, the episode reset
// and the execution entry points of BaseAgentProcessor.
#include <string>
#include <utility>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "core_api/space_utils.hpp"
#include "processor/skillkit.hpp"

namespace tavrin_inference {

asio::awaitable<Value> BaseAgentProcessor::process_action(const Value& sim_sensors, const Value& tavrin_obs,
                                                          Value action, const Value& sim_action_mask,
                                                          bool unsquash_action) {
  Value unsquashed =
      unsquash_action ? tavrin_core::space_utils::unsquash_action(action, *action_space) : std::move(action);
  if (!teacher) co_return unsquashed;

  Value processed = co_await teacher->transform_action(tavrin_obs, std::move(unsquashed));
  previous_action = processed;
  if (context.for_agent_group || !post_agent_group_agent_processor) co_return processed;
  co_return co_await post_agent_group_action(sim_sensors, sim_action_mask, processed);
}

asio::awaitable<Value> BaseAgentProcessor::post_agent_group_action(const Value& sim_sensors,
                                                                   const Value& sim_action_mask,
                                                                   const Value& processed) {
  // A processor that runs after an agent group decides the final action.
  Value group_action(Map{{context.agent->get_name(), processed}});
  Value teacher_state = co_await post_agent_group_agent_processor->_execute(sim_sensors, sim_action_mask, false, false,
                                                                            processed, true, group_action);
  co_return std::move(teacher_state.as_map().at("action"));
}

asio::awaitable<BaseAgentProcessor::StepResult> BaseAgentProcessor::step(const Value& sim_sensors,
                                                                         const Value& sim_reward,
                                                                         const Value& /*_sim_terminated*/,
                                                                         const Value& /*_truncated*/, const Value& info,
                                                                         const Value& action) {
  static const Value kAbsent;
  const Value* sim_mask = info.as_map().find("action_mask");
  auto [sensors_filtered, tavrin_obs] =
      co_await process_sim_sensors(sim_sensors, sim_mask ? *sim_mask : kAbsent, action);

  StepResult result{
      std::move(sensors_filtered), std::move(tavrin_obs), Value(0.0), Value(false), Value(false), Value(false)};
  if (teacher) {
    result.teacher_reward = co_await teacher->compute_reward(result.tavrin_obs, action, sim_reward);
    result.teacher_success = co_await teacher->compute_success_criteria(result.tavrin_obs, action);
    result.teacher_terminated = co_await teacher->compute_termination(result.tavrin_obs, action);
  }
  // The value itself, not a boolean made of it.
  result.truncated = result.teacher_success.truthy() ? result.teacher_success : result.teacher_terminated;
  co_return result;
}

asio::awaitable<void> BaseAgentProcessor::reset() {
  if (context.agent->is_remote()) {
    if (teacher) co_await teacher->reset();
    if (controller) co_await controller->reset();
  } else {
    // The old instance is dropped without being told.
    install_local_implementation();
  }
  for (const auto& perceptor : perceptors) {
    try {
      co_await perceptor->reset();
    } catch (const Error&) {
      // One perceptor that cannot reset does not keep the others from it.
    }
  }
  done = false;
}

asio::awaitable<Value> BaseAgentProcessor::_execute(const Value& /*sim_sensors*/, const Value& /*sim_action_mask*/,
                                                    bool /*explore*/, bool /*is_coordinated*/,
                                                    const Value& /*previous_action*/, bool /*return_as_teacher_dict*/,
                                                    const Value& /*agent_group_action*/) {
  throw NotImplementedError(class_name() +
                            "._execute() is not implemented: processors implement _execute() "
                            "with their model-specific inference");
  co_return Value();
}

asio::awaitable<Value> BaseAgentProcessor::run_execute(const Value& obs, const Value& sim_action_mask, bool explore,
                                                       const Value& previous_action, bool return_as_teacher_dict) {
  co_return co_await _execute(obs, sim_action_mask, explore, false, previous_action, return_as_teacher_dict);
}

Value BaseAgentProcessor::execute(const Value& obs, const Value& sim_action_mask, bool explore,
                                  const Value& previous_action, bool return_as_teacher_dict) {
  // run_execute is lazy: nothing of _execute runs when run_sync refuses to start it.
  return run_sync(run_execute(obs, sim_action_mask, explore, previous_action, return_as_teacher_dict), "execute()");
}

}  // namespace tavrin_inference
