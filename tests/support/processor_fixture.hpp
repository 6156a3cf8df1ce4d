#pragma once
// Building blocks for processor tests: spaces, arrays, orchestrations and a concrete processor whose
// _execute follows the subclass contract (sensor pipeline, raw action, action processing).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "core_api/agent_processor_context.hpp"
#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"
#include "core_api/trainer_config.hpp"
#include "link/async_link.hpp"
#include "processor/skillkit.hpp"
#include "recording_impls.hpp"
#include "tests/support/checks.hpp"

namespace tavrin_test {

using tavrin_core::ManagerKind;
using tavrin_core::Normalization;
using tavrin_core::PerceptorNode;
using tavrin_core::spaces::SpacePtr;
using tavrin_inference::BaseAgentProcessor;
using tavrin_inference::DType;
using tavrin_inference::List;
using tavrin_inference::NdArray;
using tavrin_inference::Shape;
// The errors processor tests expect.
using tavrin_inference::Error;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::NotImplementedError;
using tavrin_inference::RuntimeError;
using tavrin_inference::TypeError;

inline SpacePtr box(double low, double high, std::int64_t n = 1) {
  return std::make_shared<tavrin_core::spaces::Box>(low, high, Shape{n});
}
inline SpacePtr discrete(std::int64_t n) { return std::make_shared<tavrin_core::spaces::Discrete>(n); }
inline SpacePtr dict(tavrin_core::spaces::SpaceEntries entries) {
  return std::make_shared<tavrin_core::spaces::Dict>(std::move(entries));
}

inline NdArray f64(std::vector<double> v) { return NdArray::from_vector<double>(std::move(v)); }
inline NdArray f32(std::vector<float> v) { return NdArray::from_vector<float>(std::move(v)); }
inline NdArray i8(std::vector<std::int8_t> v) { return NdArray::from_vector<std::int8_t>(std::move(v)); }

inline tavrin_core::SensorPtr sensor(std::string name, SpacePtr space,
                                     tavrin_core::Normalization normalization = tavrin_core::Normalization::none) {
  return std::make_shared<tavrin_core::Sensor>(std::move(name), std::move(space), normalization);
}

// The walker agent of the processor tests: Discrete(3) actions, the simulator's sensors pos (0 to 10)
// and vel (-1 to 1), its hooks from the class `impl_cls`.
inline tavrin_core::AgentNode::Options walker_options(const std::string& impl_cls, bool controller = false) {
  tavrin_core::AgentNode::Options o;
  o.name = "walker";
  o.action_space = discrete(3);
  o.sim_sensor_space = dict({{"pos", box(0, 10)}, {"vel", box(-1, 1)}});
  o.impl_cls = impl_cls;
  o.controller = controller;
  return o;
}

inline tavrin_core::AgentNodePtr agent(tavrin_core::AgentNode::Options options) {
  return std::make_shared<tavrin_core::Agent>(std::move(options));
}

inline std::shared_ptr<tavrin_core::Orchestration> orchestration(
    std::vector<tavrin_core::SensorPtr> sensors, std::vector<tavrin_core::AgentNodePtr> agents,
    std::optional<std::vector<tavrin_core::PerceptorNodePtr>> perceptors = std::nullopt) {
  std::string top = agents.empty() ? std::string() : agents.front()->get_name();
  return std::make_shared<tavrin_core::Orchestration>("skillkit-test", std::move(sensors), std::move(perceptors),
                                                      std::move(agents), std::move(top));
}

inline std::shared_ptr<tavrin_inference::AsyncLink> async_link() {
  return std::make_shared<tavrin_inference::AsyncLink>(tavrin_core::TrainerConfig());
}

inline tavrin_core::AgentProcessorContext context_for(std::shared_ptr<tavrin_core::Orchestration> orch,
                                                      tavrin_core::AgentNodePtr node,
                                                      std::shared_ptr<tavrin_core::NetworkMgr> mgr = nullptr) {
  tavrin_core::AgentProcessorContext ctx;
  ctx.orchestration = std::move(orch);
  ctx.agent = std::move(node);
  ctx.network_mgr = mgr ? std::move(mgr) : async_link();
  return ctx;
}

template <class T>
T run(asio::awaitable<T> op) {
  return tavrin_inference::run_sync(std::move(op));
}

// What one call of TestProcessor::_execute received.
struct ExecuteCall {
  Value sim_sensors;
  Value sim_action_mask;
  bool explore;
  bool is_coordinated;
  Value previous_action;
  bool return_as_teacher_dict;
  Value agent_group_action;
};

// A processor that acts like a skill: sensor pipeline, then the controller's action (or
// `raw_action`), then action processing. With return_as_teacher_dict it yields the teacher map.
class TestProcessor : public BaseAgentProcessor {
 public:
  using BaseAgentProcessor::BaseAgentProcessor;

  std::string class_name() const override { return "TestProcessor"; }

  asio::awaitable<Value> _execute(const Value& sim_sensors, const Value& sim_action_mask = Value(),
                                  bool explore = false, bool is_coordinated = false,
                                  const Value& previous_action = Value(), bool return_as_teacher_dict = false,
                                  const Value& agent_group_action = Value()) override {
    calls.push_back({sim_sensors, sim_action_mask, explore, is_coordinated, previous_action, return_as_teacher_dict,
                     agent_group_action});
    if (reply) co_return *reply;
    auto [sensors_filtered, tavrin_obs] = co_await process_sim_sensors(sim_sensors, sim_action_mask, previous_action);
    Value raw;
    if (controller) {
      raw = co_await controller->compute_action(tavrin_obs, previous_action);
    } else {
      raw = raw_action;
    }
    Value action = co_await process_action(sim_sensors, tavrin_obs, std::move(raw), sim_action_mask, unsquash);
    if (!return_as_teacher_dict) co_return action;
    co_return Value(Map{{"action", std::move(action)},
                        {"sensors_filtered", Value(std::move(sensors_filtered))},
                        {"tavrin_obs", std::move(tavrin_obs)}});
  }

  Value raw_action = Value(0);
  bool unsquash = false;
  std::optional<Value> reply;  // when set, _execute yields it without doing anything else
  std::vector<ExecuteCall> calls;
};

}  // namespace tavrin_test
