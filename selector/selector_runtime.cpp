#include "selector/selector_runtime.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <system_error>
#include <type_traits>
#include <typeinfo>

#include "common/async.hpp"
#include "common/constants.hpp"
#include "common/errors.hpp"
#include "core_api/logger.hpp"
#include "core_api/space_utils.hpp"
#include "core_api/spaces.hpp"
#include "factory/skill_factory.hpp"
#include "processor/model_inputs.hpp"
#include "runner/agent_model.hpp"

namespace tavrin_inference {
namespace {

const tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.selector_runtime");

// Forbidden children get FLOAT_MIN (in the logits' own element type), then softmax and the first
// index of the largest probability. Works in place on `logits`; T is float or double.
template <class T>
std::int64_t masked_softmax_argmax(NdArray& logits, const NdArray* mask) {
  T* data = logits.data<T>();
  const std::int64_t count = logits.size();
  const std::int64_t n = logits.shape()[0];
  if (mask != nullptr && mask->size() == n && n > 0) {
    // The mask is judged as float32; an entry that is not greater than 0 forbids its child.
    const std::int64_t stride = count / n;
    for (std::int64_t i = 0; i < n; ++i) {
      if (!(static_cast<float>(mask->at_double(i)) > 0.0f)) {
        for (std::int64_t k = 0; k < stride; ++k) data[i * stride + k] = static_cast<T>(FLOAT_MIN);
      }
    }
  }
  if (count == 0) throw InvalidArgumentError("the selector model produced no logits");
  // Softmax in T: probabilities that round to the same value are a tie, which the lowest index wins.
  T max = data[0];
  for (std::int64_t i = 1; i < count; ++i) {
    if (std::isnan(data[i]) || data[i] > max) max = data[i];
    if (std::isnan(max)) break;
  }
  T sum = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    data[i] = std::exp(static_cast<T>(data[i] - max));
    sum += data[i];
  }
  for (std::int64_t i = 0; i < count; ++i) data[i] = data[i] / sum;
  return argmax_range(data, data + count);
}

// A child index out of a teacher's or controller's choice. Integers (and booleans, and one-element
// integer arrays) index; anything else is not a position.
std::int64_t index_value(const Value& choice) {
  if (choice.is_int() || choice.is_bool()) return choice.as_int();
  if (choice.is_array()) {
    const NdArray& a = choice.as_array();
    if ((a.dtype() == DType::int64 || a.dtype() == DType::int8) && a.size() == 1)
      return static_cast<std::int64_t>(a.at_double(0));
  }
  throw TypeError(std::string("a child index must be an integer, not ") + choice.kind_name());
}

// A number-like value as a child index, the way int() converts it: a numeric text gives its integer,
// a float is cut toward zero. A float no 64-bit index can hold (NaN and infinities too) names no
// child: IndexError naming `agent`. Text that is not an integer is a TypeError.
std::int64_t index_of_number(const Value& value, const std::string& agent) {
  if (value.is_text()) {
    std::string_view text = value.as_text();
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::int64_t index = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), index);
    if (error == std::errc::result_out_of_range) {
      throw IndexError("child index " + value.as_text() + " is out of range for orchestrator agent " + agent);
    }
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
      throw TypeError("a child index must be an integer, not the text '" + value.as_text() + "'");
    }
    return index;
  }
  if (value.is_float()) {
    // 2^63 is exact as a double; every double below it and at or above -2^63 fits after truncation.
    constexpr double limit = 9223372036854775808.0;
    const double cut = std::trunc(value.as_double());
    if (!(cut >= -limit && cut < limit)) {
      throw IndexError("child index " + value.str() + " is out of range for orchestrator agent " + agent);
    }
    return static_cast<std::int64_t>(cut);
  }
  return value.as_int();
}

// The child index a teacher's transform_action gives back: the index itself, or the second entry of
// a tuple.
std::int64_t transformed_choice(const Value& transformed, const std::string& agent) {
  return index_of_number(transformed.is_tuple() ? transformed[1] : transformed, agent);
}

// The teacher form of a step's result. A child's map result gets the selector's choice added.
Value teacher_dict(Value result, Map filtered, Value obs, Value chosen) {
  if (result.is_map()) {
    result.as_map().set("top_orchestrator_action", std::move(chosen));
    return result;
  }
  Map teacher_map;
  teacher_map.reserve(4);
  teacher_map.set("action", std::move(result));
  teacher_map.set("sensors_filtered", Value(std::move(filtered)));
  teacher_map.set("tavrin_obs", std::move(obs));
  teacher_map.set("top_orchestrator_action", std::move(chosen));
  return Value(std::move(teacher_map));
}

}  // namespace

SelectorRuntimeBase::SelectorRuntimeBase(tavrin_core::AgentProcessorContext ctx) : BaseAgentProcessor(std::move(ctx)) {
  const tavrin_core::AgentNode& agent = *context.agent;
  if (dynamic_cast<const tavrin_core::AgentOrchestrator*>(&agent) == nullptr) {
    throw Error("SelectorRuntime must be used with a AgentOrchestrator, got " + agent.get_name() + ", " +
                agent.class_name());
  }
  if (!context.orchestration) throw InvalidArgumentError("AgentProcessorContext has no orchestration");
  // Each child reads its simulator sensor space back when its own processor is constructed.
  for (const auto& name : agent.get_children()) {
    context.orchestration->get_node_by_name(name)->set_sim_sensor_space(sim_sensor_space);
  }
  action_space =
      std::make_shared<tavrin_core::spaces::Discrete>(static_cast<std::int64_t>(context.agent->get_children().size()));
  context.agent->set_action_space(action_space);
  child_agent_processors.clear();
  onnx_engine.reset();
}

SelectorRuntimeBase::~SelectorRuntimeBase() = default;

asio::awaitable<void> SelectorRuntimeBase::init() {
  co_await BaseAgentProcessor::init();

  // The follow rules depend on the previous action only through the child it names.
  const auto child_count = static_cast<std::int64_t>(context.agent->get_children().size());
  rule_masks_.clear();
  rule_masks_.reserve(static_cast<std::size_t>(child_count));
  for (std::int64_t i = 0; i < child_count; ++i) {
    auto ruled = tavrin_core::space_utils::orchestrator_rule_mask(Value(i), *context.agent);
    rule_masks_.push_back(ruled ? Value(std::move(*ruled)) : Value());
  }

  const tavrin_core::AgentNode& agent = *context.agent;
  if (agent.is_controller()) {
    logger.info("Agent {} is a controller selector: its own programmed implementation is used instead of an ONNX model",
                agent.get_name());
  } else {
    load_onnx_model();
  }

  // Looked up now, not at load: the factory refers back to this library.
  CreateSkillRuntimeFn* create_skill_runtime = bind_create_skill_runtime();
  const auto& children = agent.get_children();
  std::vector<asio::awaitable<ProcessorPtr>> pending;
  pending.reserve(children.size());
  for (const auto& name : children) {
    tavrin_core::AgentProcessorContext child;
    child.orchestration = context.orchestration;
    child.agent = context.orchestration->get_node_by_name(name);
    child.network_mgr = context.network_mgr;
    child.is_training = false;
    child.is_validating = context.is_validating;
    child.config = context.config;
    pending.push_back(create_skill_runtime(std::move(child)));
  }
  child_agent_processors = co_await when_all(std::move(pending));
  _is_initialized = true;
}

void SelectorRuntimeBase::load_onnx_model() {
  AgentModel model = open_agent_model(context, ModelOwner::selector, onnx_helper_library);
  if (!model.runner) return;
  onnx_engine = std::move(model.runner);
  note_model_inputs(std::move(model.path), onnx_engine->observation_shape(), onnx_engine->action_mask_shape());
}

asio::awaitable<void> SelectorRuntimeBase::reset() {
  std::vector<asio::awaitable<void>> pending;
  pending.reserve(child_agent_processors.size());
  for (const auto& child : child_agent_processors) pending.push_back(child->reset());
  co_await when_all(std::move(pending));
  co_await BaseAgentProcessor::reset();
}

std::int64_t SelectorRuntimeBase::orchestrator_choice(const NdArray& observation, const NdArray* mask) {
  if (!onnx_engine) throw RuntimeError("ONNX model not loaded for orchestrator agent " + context.agent->get_name());

  first_row_into(onnx_engine->get_action_dist_inputs(observation, mask), logits_);
  if (logits_.ndim() == 0) logits_ = std::move(logits_).reshape(Shape{1});
  switch (logits_.dtype()) {
    case DType::float32: return masked_softmax_argmax<float>(logits_, mask);
    case DType::float64: return masked_softmax_argmax<double>(logits_, mask);
    default: {
      // Integer logits take their probabilities in float64, as exp of an integer array does.
      NdArray converted = logits_.astype(DType::float64);
      return masked_softmax_argmax<double>(converted, mask);
    }
  }
}

asio::awaitable<std::int64_t> SelectorRuntimeBase::_get_orchestrator_action(const Map& sensors_filtered,
                                                                            const Value& /*sim_action_mask*/) {
  if (!onnx_engine) throw RuntimeError("ONNX model not loaded for orchestrator agent " + context.agent->get_name());
  const ModelInputs inputs(sensors_filtered);
  co_return orchestrator_choice(inputs.observation(), inputs.mask());
}

const ProcessorPtr& SelectorRuntimeBase::child_at(std::int64_t index) const {
  const auto n = static_cast<std::int64_t>(child_agent_processors.size());
  // A negative index would otherwise silently pick a child counted from the end.
  if (index < 0 || index >= n) {
    throw IndexError("child index " + std::to_string(index) + " is out of range for orchestrator agent " +
                     context.agent->get_name() + " with " + std::to_string(n) + " child processors");
  }
  return child_agent_processors[static_cast<std::size_t>(index)];
}

asio::awaitable<Value> SelectorRuntimeBase::process_action(const Value& sim_sensors, const Value& tavrin_obs,
                                                           Value action, const Value& sim_action_mask,
                                                           bool unsquash_action) {
  Value processed = co_await BaseAgentProcessor::process_action(sim_sensors, tavrin_obs, std::move(action),
                                                                sim_action_mask, unsquash_action);
  const ProcessorPtr& child = child_at(index_value(processed));
  Value child_action =
      co_await child->_execute(sim_sensors, sim_action_mask, false, false, absent_value(), false, absent_value());
  co_return Value::tuple({std::move(child_action), std::move(processed)});
}

BaseAgentProcessor::StepRole SelectorRuntimeBase::step_role() const {
  return typeid(*this) == typeid(SelectorRuntime) ? StepRole::selector : StepRole::other;
}

void SelectorRuntimeBase::prepare_steps() noexcept {
  for (const auto& child : child_agent_processors) child->prepare_steps();
  prepare_step();
}

bool SelectorRuntimeBase::check_step_ready() const {
  const bool is_controller = context.agent->is_controller();
  if (is_controller && !controller) {
    throw RuntimeError("Controller not initialized for orchestrator agent " + context.agent->get_name() +
                       ": init() did not set self.controller. This orchestrator is a controller-type agent and "
                       "should not attempt ONNX inference.");
  }
  if (!is_controller && !onnx_engine) {
    throw RuntimeError("ONNX model not loaded for orchestrator agent " + context.agent->get_name());
  }
  return is_controller;
}

Value SelectorRuntimeBase::step_chosen(Value transformed) const {
  return Value(transformed_choice(transformed, context.agent->get_name()));
}

BaseAgentProcessor& SelectorRuntimeBase::step_child(const Value& chosen) const {
  return *child_at(index_value(chosen));
}

Value SelectorRuntimeBase::step_model_action(const NdArray& observation, const NdArray& mask) {
  return Value(orchestrator_choice(observation, &mask));
}

asio::awaitable<Value> SelectorRuntimeBase::_execute(const Value& sim_sensors, const Value& sim_action_mask,
                                                     bool /*explore*/, bool /*is_coordinated*/,
                                                     const Value& previous_action, bool return_as_teacher_dict,
                                                     const Value& /*agent_group_action*/) {
  return execute_own_step(sim_sensors, sim_action_mask, previous_action, return_as_teacher_dict);
}

asio::awaitable<Value> SelectorRuntimeBase::execute_through_overrides(const Value& sim_sensors,
                                                                      const Value& sim_action_mask,
                                                                      const Value& previous_action,
                                                                      bool return_as_teacher_dict) {
  const bool is_controller = check_step_ready();

  auto [filtered, obs] = co_await process_sim_sensors(sim_sensors, sim_action_mask, previous_action);

  Value chosen;
  if (is_controller) {
    chosen = co_await controller->compute_action(obs, previous_action);
  } else {
    chosen = Value(co_await _get_orchestrator_action(filtered, sim_action_mask));
  }
  if (teacher) {
    chosen = Value(
        transformed_choice(co_await teacher->transform_action(obs, std::move(chosen)), context.agent->get_name()));
  }

  if (context.for_agent_group) co_return chosen;

  const ProcessorPtr& child = child_at(index_value(chosen));
  Value result = co_await child->_execute(sim_sensors, sim_action_mask, false, false, absent_value(),
                                          return_as_teacher_dict, absent_value());
  if (!return_as_teacher_dict) co_return result;
  co_return teacher_dict(std::move(result), std::move(filtered), std::move(obs), std::move(chosen));
}

asio::awaitable<std::pair<Map, Value>> SelectorRuntimeBase::process_sim_sensors(const Value& obs,
                                                                                const Value& sim_action_mask,
                                                                                const Value& previous_action) {
  std::pair<Map, Value> processed =
      co_await BaseAgentProcessor::process_sim_sensors(obs, sim_action_mask, previous_action);
  // The base pipeline already asked this class for the mask; the second answer is the one kept.
  NdArray mask = co_await compute_action_mask(processed.second, sim_action_mask, previous_action);
  processed.first.set("action_mask", Value(std::move(mask)));
  co_return processed;
}

void SelectorRuntimeBase::selector_mask_into(const Value& teacher_mask, const Value& previous_action,
                                             NdArray& mask) const {
  const std::int64_t previous = tavrin_core::space_utils::previous_child_index(previous_action, *context.agent);
  const Value* rule = &absent_value();
  Value ruled;
  if (previous >= 0) {
    if (static_cast<std::size_t>(previous) < rule_masks_.size()) {
      rule = &rule_masks_[static_cast<std::size_t>(previous)];
    } else {
      // Not worked out at init (init did not run): asked of the rules now.
      if (auto asked = tavrin_core::space_utils::orchestrator_rule_mask(previous_action, *context.agent)) {
        ruled = Value(std::move(*asked));
      }
      rule = &ruled;
    }
  }
  const NdArray* rule_mask = rule->is_array() ? &rule->as_array() : nullptr;

  const Value& teacher_form = teacher_mask.is_none() ? no_action_mask : teacher_mask;
  const auto children = static_cast<std::int64_t>(context.agent->get_children().size());
  if (teacher_form.is_array()) {
    combine_array_masks_into(rule_mask, &teacher_form.as_array(), children, mask);
    check_step_mask(mask, "child", "rule", *rule, "teacher", teacher_mask);
    return;
  }

  NdArray selector_flat =
      _format_action_mask_for_combine(Value(rule_mask ? *rule_mask : NdArray::ones(Shape{children}, DType::int8)));
  NdArray teacher_flat = _format_action_mask_for_combine(teacher_form);
  teacher_flat = _align_mask_length(std::move(teacher_flat), selector_flat.size());
  mask = *_format_action_mask_for_onnx(Value(tavrin_core::space_utils::combine_masks(selector_flat, teacher_flat)));
  check_step_mask(mask, "child", "rule", *rule, "teacher", teacher_mask);
}

asio::awaitable<NdArray> SelectorRuntimeBase::compute_action_mask(const Value& tavrin_obs,
                                                                  const Value& /*sim_action_mask*/,
                                                                  const Value& previous_action) {
  return mask_with_teacher(tavrin_obs, previous_action, static_cast<MaskInto>(&SelectorRuntimeBase::selector_mask_into),
                           previous_action);
}

std::string SelectorRuntimeBase::get_agent_name() const { return context.agent->get_name(); }

BaseAgentProcessor::SpacePtr SelectorRuntimeBase::get_action_space() const { return context.agent->get_action_space(); }

ProcessorPtr SelectorRuntimeBase::get_child_processor_by_index(std::int64_t index) const {
  if (index < 0 || index >= static_cast<std::int64_t>(child_agent_processors.size())) return nullptr;
  return child_agent_processors[static_cast<std::size_t>(index)];
}

ProcessorPtr SelectorRuntimeBase::get_child_processor_by_index(const Value& index) const {
  if (index.is_int() || index.is_bool()) return get_child_processor_by_index(index.as_int());
  if (!index.is_float()) {
    throw TypeError(std::string("get_child_processor_by_index(): index must be a number, not ") + index.kind_name());
  }
  const double value = std::trunc(index.as_double());
  if (!std::isfinite(value)) {
    throw InvalidArgumentError("get_child_processor_by_index(): cannot convert " + index.str() + " to an integer");
  }
  // Beyond the range of the positions there is no child; the comparison avoids an overflowing cast.
  if (value < 0.0 || value >= static_cast<double>(child_agent_processors.size())) return nullptr;
  return get_child_processor_by_index(static_cast<std::int64_t>(value));
}

ProcessorPtr SelectorRuntimeBase::get_child_processor_by_name(std::string_view name) const {
  for (const auto& child : child_agent_processors) {
    if (child->get_agent_name() == name) return child;
  }
  return nullptr;
}

}  // namespace tavrin_inference

std::shared_ptr<tavrin_inference::BaseAgentProcessor> tavrin_make_selector_runtime(
    const tavrin_core::AgentProcessorContext& context) {
  return std::make_shared<tavrin_inference::SelectorRuntime>(context);
}
