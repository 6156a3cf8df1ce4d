// One step of a tree of the runtime's own processors, from the root to a leaf, in one coroutine.
//
// A step used to be a chain of coroutines per processor (its _execute, its sensor pipeline, the
// conversion, each mask, each hook): some thirty coroutine frames per step of a three-level tree.
// Here the sensor pipeline, the masks, the model and the action processing are plain functions of
// the processors, and the one coroutine below awaits only what may really wait: the hooks of
// teachers, controllers and perceptors, and the _execute of a processor whose class derives from the
// runtime's own (whose overrides must take effect). It keeps the order of every hook call and every
// check of the processors' own _execute, so what a teacher, controller or perceptor sees is the same.
#include <utility>

#include "common/errors.hpp"
#include "core_api/decorators.hpp"
#include "core_api/space_utils.hpp"
#include "processor/skillkit.hpp"

namespace tavrin_inference {
namespace {

using tavrin_core::DefaultHook;

// Whether the step calls `hook` of `teacher`: not when there is no teacher, nor when the teacher keeps
// the base default, which does nothing.
bool calls(const tavrin_core::TeacherPtr& teacher, DefaultHook hook) {
  return teacher && !teacher->keeps_default(hook);
}

}  // namespace

asio::awaitable<Value> BaseAgentProcessor::execute_own_step(const Value& sim_sensors, const Value& sim_action_mask,
                                                            const Value& previous_action, bool return_as_teacher_dict) {
  if (step_role() != StepRole::other) {
    return run_step(*this, sim_sensors, sim_action_mask, previous_action, return_as_teacher_dict);
  }
  return execute_through_overrides(sim_sensors, sim_action_mask, previous_action, return_as_teacher_dict);
}

asio::awaitable<Value> BaseAgentProcessor::execute_through_overrides(const Value& sim_sensors,
                                                                     const Value& sim_action_mask,
                                                                     const Value& previous_action,
                                                                     bool return_as_teacher_dict) {
  co_return co_await BaseAgentProcessor::_execute(sim_sensors, sim_action_mask, false, false, previous_action,
                                                  return_as_teacher_dict, Value());
}

asio::awaitable<Value> BaseAgentProcessor::run_step(BaseAgentProcessor& top, const Value& sim_sensors,
                                                    const Value& sim_action_mask, const Value& previous_action,
                                                    bool return_as_teacher_dict) {
  // The raw sensors, converted once for every processor on the path that converts them alike.
  const Value* shared_sensors = nullptr;
  const tavrin_core::spaces::Space* shared_space = nullptr;
  const void* shared_list = nullptr;

  // What the selectors on the path add to a teacher map: the top selector's choice, and the last
  // selector's own parts, which make the map when the leaf's result is not one.
  Value top_choice;
  BaseAgentProcessor* last_selector = nullptr;
  const Value* last_selector_obs = nullptr;
  Value last_choice;

  BaseAgentProcessor* p = &top;
  const Value* previous = &previous_action;  // children get none
  Value result;
  for (;;) {
    const StepRole role = p->step_role();
    if (role == StepRole::other) {
      result = co_await p->_execute(sim_sensors, sim_action_mask, false, false, *previous, return_as_teacher_dict,
                                    absent_value());
      break;
    }
    // What each processor's own _execute checks first (the top's has been checked by its caller).
    if (p != &top && !p->_is_initialized) tavrin_core::throw_not_initialized(p->class_name(), p->get_name());
    const bool is_controller_selector = role == StepRole::selector && p->check_step_ready();
    if (!p->context.orchestration) throw InvalidArgumentError("AgentProcessorContext has no orchestration");
    StepScratch& scratch = p->step_;

    // Raw sensors -> sensor map; perceptors (each processor has its own) run inside the conversion.
    const auto& sensor_list = p->context.orchestration->sensors();
    const Value* converted = nullptr;
    if (!p->perceptors.empty()) {
      scratch.converted = co_await tavrin_core::space_utils::convert_sim_sensors_to_tavrin_sensors(
          sim_sensors, p->sim_sensor_space, sensor_list, p->perceptors, p->agent_group_agent_processors);
      converted = &scratch.converted;
    } else if (shared_sensors != nullptr && shared_space == p->sim_sensor_space.get() && shared_list == &sensor_list) {
      converted = shared_sensors;
    } else {
      tavrin_core::space_utils::convert_sim_sensors_into(scratch.converted, sim_sensors, p->sim_sensor_space,
                                                         sensor_list);
      converted = &scratch.converted;
      if (shared_sensors == nullptr) {
        shared_sensors = converted;
        shared_space = p->sim_sensor_space.get();
        shared_list = &sensor_list;
      }
    }

    // The teacher's transform; a controller never transforms sensors, even when a teacher is set too.
    const Value* transformed = converted;
    if (!p->controller && calls(p->teacher, DefaultHook::transform_sensors)) {
      scratch.transformed = co_await p->teacher->transform_sensors(*converted, absent_value());
      transformed = &scratch.transformed;
    }

    const Value& filtered = p->filtered_for_step(*transformed);
    NdArray& observation = p->scratch_slot(0);
    NdArray& mask = p->scratch_slot(1);

    // The mask comes from the transformed, unfiltered sample.
    Value teacher_mask;
    if (calls(p->teacher, DefaultHook::compute_action_mask)) {
      teacher_mask = co_await p->teacher->compute_action_mask(*transformed, *previous);
    }
    if (role == StepRole::selector) {
      p->selector_mask_into(teacher_mask, *previous, mask);
    } else {
      p->action_mask_into(teacher_mask, sim_action_mask, mask);
    }
    p->observation_into(filtered, *transformed, observation);

    if (role == StepRole::selector) {
      // A selector asks for its mask once more after its sensor pipeline; that answer is the one kept.
      teacher_mask = Value();
      if (calls(p->teacher, DefaultHook::compute_action_mask)) {
        teacher_mask = co_await p->teacher->compute_action_mask(*transformed, *previous);
      }
      p->selector_mask_into(teacher_mask, *previous, mask);

      // (No co_await inside a conditional expression: g++ 12 mishandles the temporaries there.)
      Value chosen;
      if (is_controller_selector) {
        chosen = co_await p->controller->compute_action(*transformed, *previous);
      } else {
        chosen = p->step_model_action(observation, mask);
      }
      if (p->teacher) {
        if (calls(p->teacher, DefaultHook::transform_action)) {
          chosen = co_await p->teacher->transform_action(*transformed, std::move(chosen));
        }
        chosen = p->step_chosen(std::move(chosen));
      }
      if (p->context.for_agent_group) {
        result = std::move(chosen);
        break;
      }
      BaseAgentProcessor& child = p->step_child(chosen);
      if (return_as_teacher_dict) {
        if (last_selector == nullptr) top_choice = chosen;
        last_selector = p;
        last_selector_obs = transformed;
        last_choice = std::move(chosen);
      }
      p = &child;
      previous = &absent_value();
      continue;
    }

    // A skill: its controller or its model, then the action processing.
    const bool from_controller = p->context.agent->is_controller() && p->controller;
    Value action;
    if (from_controller) {
      action = co_await p->controller->compute_action(*transformed, *previous);
    } else {
      action = p->step_model_action(observation, mask);
    }
    if (!from_controller) action = tavrin_core::space_utils::unsquash_action(action, *p->action_space);
    if (p->teacher) {
      if (calls(p->teacher, DefaultHook::transform_action)) {
        action = co_await p->teacher->transform_action(*transformed, std::move(action));
      }
      p->previous_action = action;
      if (!p->context.for_agent_group && p->post_agent_group_agent_processor) {
        action = co_await p->post_agent_group_action(sim_sensors, sim_action_mask, action);
      }
    }
    if (return_as_teacher_dict) {
      Map teacher_map;
      teacher_map.reserve(3);
      teacher_map.set("action", std::move(action));
      teacher_map.set("sensors_filtered", Value(std::move(scratch.sensors_filtered)));
      teacher_map.set("tavrin_obs", *transformed);
      result = Value(std::move(teacher_map));
    } else {
      result = std::move(action);
    }
    break;
  }

  // On the way up each selector sets its choice in a map result, the top one last; a result that is
  // not a map becomes one at the last selector, with that selector's own parts.
  if (last_selector != nullptr) {
    if (!result.is_map()) {
      Map teacher_map;
      teacher_map.reserve(4);
      teacher_map.set("action", std::move(result));
      teacher_map.set("sensors_filtered", Value(std::move(last_selector->step_.sensors_filtered)));
      teacher_map.set("tavrin_obs", *last_selector_obs);
      teacher_map.set("top_orchestrator_action", std::move(last_choice));
      result = Value(std::move(teacher_map));
    }
    result.as_map().set("top_orchestrator_action", std::move(top_choice));
  }
  co_return result;
}

void BaseAgentProcessor::prepare_step() noexcept {
  const StepRole role = step_role();
  if (role == StepRole::other || !_is_initialized || !context.orchestration || !korvath_sensor_space) return;
  try {
    const Value zeros = tavrin_core::space_utils::zero_sample(*korvath_sensor_space);
    tavrin_core::space_utils::convert_sim_sensors_into(step_.converted, zeros, sim_sensor_space,
                                                       context.orchestration->sensors());
    const Value& filtered = filtered_for_step(step_.converted);
    NdArray& observation = scratch_slot(0);
    NdArray& mask = scratch_slot(1);
    if (role == StepRole::selector) {
      selector_mask_into(absent_value(), absent_value(), mask);
    } else {
      action_mask_into(absent_value(), absent_value(), mask);
    }
    observation_into(filtered, step_.converted, observation);
    // Only a model that takes this observation: a misfit is reported at packaging already, and its
    // run would log an inference error.
    if (model_path_for_masks_.empty() || !(model_observation_shape_ == Shape{1, observation.size()})) return;
    const Value action = step_model_action(observation, mask);
    if (role == StepRole::skill) tavrin_core::space_utils::unsquash_action(action, *action_space);
  } catch (const std::exception&) {
    // Left to the first step, which reports whatever is wrong as a step does.
  }
}

// Reached only by a selector role that does not define them, which the runtime's classes all do.
void BaseAgentProcessor::selector_mask_into(const Value& /*teacher_mask*/, const Value& /*previous_action*/,
                                            NdArray& /*mask*/) const {
  throw NotImplementedError(class_name() + " has no selector mask");
}

Value BaseAgentProcessor::step_chosen(Value transformed_choice) const { return transformed_choice; }

BaseAgentProcessor& BaseAgentProcessor::step_child(const Value& /*chosen*/) const {
  throw NotImplementedError(class_name() + " has no child processors");
}

Value BaseAgentProcessor::step_model_action(const NdArray& /*observation*/, const NdArray& /*mask*/) {
  throw NotImplementedError(class_name() + " has no model step");
}

}  // namespace tavrin_inference
