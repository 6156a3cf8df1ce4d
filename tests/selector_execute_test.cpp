// One selector step on real models: the model's choice under the orchestration's and the teacher's
// masks, the teacher's transform, delegation to the child, teacher maps, controller selectors,
// process_action and the reset of the subtree. The hierarchy fixtures' selectors echo their
// logits sensor, so every expected choice follows from the sensors fed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "factory/skill_factory.hpp"
#include "processor/skillkit.hpp"
#include "selector/selector_runtime.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/selector_test_support.hpp"

namespace {

using namespace selector_test;
using tavrin_inference::BaseAgentProcessor;
using tavrin_inference::create_skill_runtime;
using tavrin_inference::ProcessorPtr;
using tavrin_inference::run_sync;
using tavrin_inference::SelectorRuntimeBase;

std::shared_ptr<SelectorRuntimeBase> build(const std::shared_ptr<tavrin_core::Orchestration>& orchestration,
                                           const std::string& agent, bool for_agent_group = false) {
  auto selector = std::dynamic_pointer_cast<SelectorRuntimeBase>(
      run_sync(create_skill_runtime(context_for(orchestration, agent, for_agent_group))));
  EXPECT_NE(selector, nullptr);
  return selector;
}

Value step(BaseAgentProcessor& processor, const Value& sensors, const Value& sim_mask = Value(),
           const Value& previous_action = Value(), bool return_as_teacher_dict = false) {
  return run_sync(processor._execute(sensors, sim_mask, false, false, previous_action, return_as_teacher_dict));
}

NdArray f64(std::initializer_list<double> values) { return NdArray::from_vector<double>(values); }
NdArray f32(std::initializer_list<float> values) { return NdArray::from_vector<float>(values); }

std::vector<std::string> keys_of(const Value& map) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : map.as_map()) keys.push_back(key);
  return keys;
}

// ---- the model's choice ---------------------------------------------------------------------------

class TwoLevel : public ::testing::Test {
 protected:
  std::shared_ptr<tavrin_core::Orchestration> orchestration = load(kHierarchy + "/two_level.json");
  std::shared_ptr<SelectorRuntimeBase> root = build(orchestration, "h2_root");

  // The child the root chooses, read off the leaf's action (leaf k always acts k).
  Value choose(std::initializer_list<double> logits, std::initializer_list<double> allowed = {1, 1, 1}) {
    return step(*root, two_level_sensors(logits, allowed));
  }
};

TEST_F(TwoLevel, TheMostProbableAllowedChildActsAndTiesGoToTheLowestIndex) {
  EXPECT_EQ(choose({2, 5, 5}), Value(1));
  EXPECT_EQ(choose({5, 2, 5}), Value(0));
  EXPECT_EQ(choose({1, 9, 3}, {1, 0, 1}), Value(2));
  EXPECT_EQ(choose({100, -50, 3}, {0, 1, 1}), Value(2));  // a large forbidden logit never wins
  // Every child forbidden: all logits FLOAT_MIN, uniform probabilities, child 0.
  EXPECT_EQ(choose({1, 9, 3}, {0, 0, 0}), Value(0));
  EXPECT_EQ(choose({-3, -1, -2}), Value(1));
}

TEST_F(TwoLevel, ProbabilitiesAreComputedInTheLogitsFloat32PrecisionAndTakenOverTheProbabilities) {
  // exp(-1e-9) rounds to 1 in float32, so the first two children tie and the lower one wins; the
  // larger logit (or float64 probabilities) would pick child 1.
  EXPECT_EQ(choose({1e-9, 2e-9, -5}), Value(0));
  EXPECT_EQ(choose({-5, 1e-9, 2e-9}), Value(1));
  // Logits far enough apart to stay apart in float32.
  EXPECT_EQ(choose({1e-3, 2e-3, -5}), Value(1));
}

TEST_F(TwoLevel, ChildrenGetTheRawSensorsAndTheSimulatorsMaskWhichNeverMasksTheSelector) {
  // Root picks child 2; the simulator forbids action 2 of the leaf, which then takes action 0.
  const Value sensors = two_level_sensors({0, 0, 9});
  const Value result = step(*root, sensors, Value(f64({1, 1, 0})), Value(), true);
  EXPECT_EQ(result["top_orchestrator_action"], Value(2));
  EXPECT_EQ(result["action"], Value(0));
  // The leaf's own observation: root_logits only, from the raw sensors.
  EXPECT_EQ(result["sensors_filtered"]["observation"], Value(f32({0, 0, 9})));
  EXPECT_EQ(result["sensors_filtered"]["action_mask"], Value(f64({1, 1, 0})));
}

TEST_F(TwoLevel, TheMaskIsComputedTwicePerStepAndTheSecondAnswerIsKept) {
  int calls = 0;
  class TwoAnswers : public tavrin_core::AgentTeacher {
   public:
    explicit TwoAnswers(int& calls) : calls_(calls) {}
    std::string class_name() const override { return "TwoAnswers"; }
    asio::awaitable<Value> compute_action_mask(const Value&, const Value&) override {
      ++calls_;
      co_return calls_ % 2 == 1 ? Value(f64({1, 1, 1})) : Value(f64({1, 0, 1}));
    }

   private:
    int& calls_;
  };
  root->teacher = std::make_shared<TwoAnswers>(calls);

  auto [filtered, obs] = run_sync(root->process_sim_sensors(two_level_sensors({1, 9, 3})));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(filtered.at("action_mask"), Value(f64({1, 0, 1})));
  EXPECT_EQ(filtered.at("observation"), Value(f32({1, 9, 3})));
  EXPECT_TRUE(obs.as_map().contains("root_allowed"));  // the full sample, not the filtered one

  EXPECT_EQ(choose({1, 9, 3}), Value(2));  // the second answer masks child 1
  EXPECT_EQ(calls, 4);
}

TEST_F(TwoLevel, TheTeachersMaskIsAlignedToTheChildrenAndTheSimulatorsIsNotUsed) {
  class FixedMask : public tavrin_core::AgentTeacher {
   public:
    explicit FixedMask(Value mask) : mask_(std::move(mask)) {}
    std::string class_name() const override { return "FixedMask"; }
    asio::awaitable<Value> compute_action_mask(const Value&, const Value&) override { co_return mask_; }

   private:
    Value mask_;
  };
  const Value obs = Value(Map{});
  root->teacher = std::make_shared<FixedMask>(Value(f64({1, 0})));  // padded with an allowed entry
  EXPECT_EQ(run_sync(root->compute_action_mask(obs, Value(f64({0, 0, 0})), Value())), f64({1, 0, 1}));
  root->teacher = std::make_shared<FixedMask>(numbers({0, 1, 1, 0}));  // cut to the children
  EXPECT_EQ(run_sync(root->compute_action_mask(obs, Value(), Value())), f64({0, 1, 1}));
  root->teacher = std::make_shared<FixedMask>(Value());  // nothing: every child allowed
  EXPECT_EQ(run_sync(root->compute_action_mask(obs, Value(f64({0, 0, 0})), Value())), f64({1, 1, 1}));
  root->teacher = nullptr;
  EXPECT_EQ(run_sync(root->compute_action_mask(obs, Value(), Value())), f64({1, 1, 1}));
}

TEST(SelectorRules, TheOrchestrationsFollowRulesMaskTheChildrenAfterThePreviousChoice) {
  std::string json;
  {
    std::ifstream in(kHierarchy + "/two_level.json");
    json.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::string anchor = "\"class\": \"HierRootTeacher\"";
  json.replace(json.find(anchor), anchor.size(),
               anchor + ", \"rules\": [{\"after\": \"h2_leaf0\", \"allowed\": [\"h2_leaf2\"]}]");
  auto root = build(parse(json, kHierarchy), "h2_root");

  const Value sensors = two_level_sensors({0, 9, 3});
  EXPECT_EQ(step(*root, sensors), Value(1));
  EXPECT_EQ(step(*root, sensors, Value(), Value(1)), Value(1));  // no rule after child 1
  EXPECT_EQ(step(*root, sensors, Value(), Value(0)), Value(2));  // only child 2 may follow child 0
  // The rule and the teacher's mask together forbid everything: child 0.
  EXPECT_EQ(step(*root, two_level_sensors({0, 9, 3}, {1, 1, 0}), Value(), Value(0)), Value(0));
}

// ---- _get_orchestrator_action on its own ----------------------------------------------------------

std::string single_selector_json(const std::string& name) {
  return R"({
    "id": "single-selector",
    "sensors": [{"name": "root_logits", "space": {"type": "Box", "low": -100, "high": 100, "shape": [3]}}],
    "agents": [
      {"name": ")" +
         name + R"(", "kind": "AgentOrchestrator", "children": ["a", "b", "c"], "checkpoint": "."},
      {"name": "a", "kind": "Agent", "action_space": {"type": "Discrete", "n": 2}},
      {"name": "b", "kind": "Agent", "action_space": {"type": "Discrete", "n": 2}},
      {"name": "c", "kind": "Agent", "action_space": {"type": "Discrete", "n": 2}}
    ],
    "top_agent": ")" +
         name + R"("
  })";
}

std::int64_t choice(SelectorRuntimeBase& selector, Value observation, Value mask = Value()) {
  Map filtered{{"observation", std::move(observation)}};
  if (!mask.is_none()) filtered.set("action_mask", std::move(mask));
  return run_sync(selector._get_orchestrator_action(filtered));
}

TEST(SelectorModelChoice, AMaskOfAnotherLengthThanTheLogitsIsIgnored) {
  // This model has no mask input, so the runner accepts a mask of any length.
  auto selector = build(parse(single_selector_json("h_nomask_root")), "h_nomask_root");
  EXPECT_EQ(choice(*selector, Value(f32({1, 9, 3})), Value(f64({1, 0, 1, 1}))), 1);
  EXPECT_EQ(choice(*selector, Value(f32({1, 9, 3})), Value(f64({1, 0}))), 1);
  EXPECT_EQ(choice(*selector, Value(f32({1, 9, 3})), Value(f64({1, 0, 1}))), 2);
  EXPECT_EQ(choice(*selector, Value(f32({1, 9, 3})), numbers({1, 0, 1})), 2);  // any structured mask
  EXPECT_EQ(choice(*selector, Value(f32({1, 9, 3})), Value(f64({1, -1, 0.5}))), 2);
}

TEST(SelectorModelChoice, ObservationsOfEveryFormAndOutputsWithOrWithoutTheirBatchAxis) {
  for (const char* name : {"h2_root", "h_flat_root"}) {  // outputs (1, 3) and (3)
    auto selector = build(parse(single_selector_json(name)), name);
    EXPECT_EQ(choice(*selector, Value(f32({2, 5, 5}))), 1) << name;
    EXPECT_EQ(choice(*selector, Value(f64({1, 9, 3})), Value(f64({1, 0, 1}))), 2) << name;
    EXPECT_EQ(choice(*selector, Value(f32({1, 9, 3})), Value(f64({0, 0, 0}))), 0) << name;
    EXPECT_EQ(choice(*selector, numbers({1, 9, 3}), Value()), 1) << name;
    // A map gives its values in its own order, not sorted by key.
    EXPECT_EQ(choice(*selector, Value(Map{{"b", Value(9)}, {"a", Value(1)}, {"c", Value(3)}})), 0) << name;
    EXPECT_THROW(run_sync(selector->_get_orchestrator_action(Map{{"action_mask", Value(f64({1, 1, 1}))}})),
                 tavrin_inference::KeyError);
  }
}

// ---- the teacher's transform and the child index --------------------------------------------------

std::function<Value(Value)> transform_script;

class ScriptedRootTeacher : public SensorLogitsTeacher {
 public:
  ScriptedRootTeacher() : SensorLogitsTeacher("root_logits", "root_allowed") {}
  asio::awaitable<Value> transform_action(const Value&, Value action) override {
    // The analyzer takes the parameter's own move into the coroutine frame for an earlier move.
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.Move)
    if (transform_script) co_return transform_script(std::move(action));
    co_return action;
  }
};

class Transformed : public TwoLevel {
 protected:
  void SetUp() override { root->teacher = std::make_shared<ScriptedRootTeacher>(); }
  void TearDown() override { transform_script = nullptr; }
};

TEST_F(Transformed, ATupleGivesItsSecondElementAndAnythingElseItsIntegerValue) {
  std::vector<Value> seen;
  transform_script = [&](const Value& action) {
    seen.push_back(action);
    return Value::tuple({Value(7), Value(2)});
  };
  EXPECT_EQ(choose({9, 0, 0}), Value(2));
  EXPECT_EQ(seen, std::vector<Value>{Value(0)});  // the model's own choice

  transform_script = [](const Value&) { return Value(1.0); };
  EXPECT_EQ(choose({9, 0, 0}), Value(1));
  transform_script = [](const Value&) { return Value(true); };
  EXPECT_EQ(choose({9, 0, 0}), Value(1));
  const Value result = step(*root, two_level_sensors({9, 0, 0}), Value(), Value(), true);
  EXPECT_EQ(result["top_orchestrator_action"], Value(1));  // the integer, after the transform
}

TEST_F(Transformed, IndicesOutsideTheChildrenAreRejectedNegativeOnesToo) {
  for (const Value& bad : {Value(-1), Value(3), Value::tuple({Value(0), Value(-3)}), Value(2.0e9)}) {
    transform_script = [bad](const Value&) { return bad; };
    try {
      choose({9, 0, 0});
      ADD_FAILURE() << "accepted " << bad.str();
    } catch (const tavrin_inference::IndexError& e) {
      EXPECT_NE(std::string(e.what()).find("h2_root"), std::string::npos) << e.what();
    }
  }
  transform_script = [](const Value&) { return Value("two"); };
  EXPECT_THROW(choose({9, 0, 0}), tavrin_inference::TypeError);
}

TEST_F(Transformed, NumberLikeChoicesConvertAsIntegersDoAndHugeFloatsAreIndexErrors) {
  transform_script = [](const Value&) { return Value("2"); };
  EXPECT_EQ(choose({9, 0, 0}), Value(2));
  for (const Value& bad : {Value(1.0e19), Value(-1.0e300), Value(std::nan(""))}) {
    transform_script = [bad](const Value&) { return bad; };
    EXPECT_THROW(choose({9, 0, 0}), tavrin_inference::IndexError) << bad.str();
  }
}

// ---- what the child receives and what comes back --------------------------------------------------

// Stands in for a child to see what the selector passes down.
class RecordingChild : public BaseAgentProcessor {
 public:
  using BaseAgentProcessor::BaseAgentProcessor;
  std::string class_name() const override { return "RecordingChild"; }
  struct Call {
    Value sim_sensors, sim_action_mask, previous_action;
    bool explore, is_coordinated, return_as_teacher_dict;
  };
  std::vector<Call> calls;
  int resets = 0;

  asio::awaitable<Value> _execute(const Value& sim_sensors, const Value& sim_action_mask, bool explore,
                                  bool is_coordinated, const Value& previous_action, bool return_as_teacher_dict,
                                  const Value&) override {
    calls.push_back({sim_sensors, sim_action_mask, previous_action, explore, is_coordinated, return_as_teacher_dict});
    co_return Value("child action");
  }
  asio::awaitable<void> reset() override {
    ++resets;
    co_return;
  }
};

TEST_F(TwoLevel, TheChosenChildGetsTheRawStepWithoutExplorationOrPreviousAction) {
  auto child = std::make_shared<RecordingChild>(context_for(orchestration, "h2_leaf1"));
  root->child_agent_processors[1] = child;
  const Value sensors = two_level_sensors({0, 9, 0});
  const Value sim_mask = Value(f64({1, 0, 1}));

  EXPECT_EQ(run_sync(root->_execute(sensors, sim_mask, true, true, Value(2), false)), Value("child action"));
  ASSERT_EQ(child->calls.size(), 1u);
  const auto& call = child->calls[0];
  EXPECT_EQ(call.sim_sensors, sensors);
  EXPECT_EQ(call.sim_action_mask, sim_mask);
  EXPECT_TRUE(call.previous_action.is_none());
  EXPECT_FALSE(call.explore);
  EXPECT_FALSE(call.is_coordinated);
  EXPECT_FALSE(call.return_as_teacher_dict);

  // A child that answers a teacher-map request with a plain value gets wrapped in a new map.
  const Value map = run_sync(root->_execute(sensors, Value(), false, false, Value(), true));
  EXPECT_TRUE(child->calls.back().return_as_teacher_dict);
  EXPECT_EQ(keys_of(map),
            (std::vector<std::string>{"action", "sensors_filtered", "tavrin_obs", "top_orchestrator_action"}));
  EXPECT_EQ(map["action"], Value("child action"));
  EXPECT_EQ(map["top_orchestrator_action"], Value(1));
  EXPECT_EQ(map["sensors_filtered"]["observation"], Value(f32({0, 9, 0})));  // the selector's own
  EXPECT_EQ(map["sensors_filtered"]["action_mask"], Value(f64({1, 1, 1})));
  EXPECT_TRUE(map["tavrin_obs"].as_map().contains("root_allowed"));
}

TEST_F(TwoLevel, ProcessActionRunsTheChildOfAGivenIndex) {
  const Value sensors = two_level_sensors({9, 0, 0});
  auto [filtered, obs] = run_sync(root->process_sim_sensors(sensors));
  const Value result = run_sync(root->process_action(sensors, obs, Value(2)));
  ASSERT_TRUE(result.is_tuple());
  EXPECT_EQ(result, Value::tuple({Value(2), Value(2)}));  // (leaf 2's action, the index)
  ASSERT_TRUE(root->previous_action.has_value());         // through the teacher
  EXPECT_EQ(*root->previous_action, Value(2));
  EXPECT_THROW(run_sync(root->process_action(sensors, obs, Value(-1))), tavrin_inference::IndexError);
  EXPECT_THROW(run_sync(root->process_action(sensors, obs, Value(3))), tavrin_inference::IndexError);
}

TEST(SelectorForAgentGroup, TheChosenIndexIsReturnedAndNoChildRuns) {
  auto orchestration = load(kHierarchy + "/three_level.json");
  auto root = build(orchestration, "h3_root", /*for_agent_group=*/true);
  // Executing would reach h3_mid and then h3_leaf2, whose action is 2.
  const Value sensors = three_level_sensors({9, 0, 0}, {0, 0, 9});
  EXPECT_EQ(step(*root, sensors), Value(0));
  EXPECT_EQ(step(*root, three_level_sensors({0, 0, 9}, {0, 0, 9})), Value(2));
  // The children were built without the flag and run normally.
  EXPECT_EQ(step(*root->child_agent_processors[0], sensors), Value(2));
}

TEST(SelectorTeacherMaps, TheLeafsMapCarriesTheRootsChoiceThroughTwoSelectors) {
  auto root = build(load(kHierarchy + "/three_level.json"), "h3_root");
  const Value map = step(*root, three_level_sensors({9, 0, 0}, {0, 0, 9}), Value(), Value(), true);
  EXPECT_EQ(keys_of(map),
            (std::vector<std::string>{"action", "sensors_filtered", "tavrin_obs", "top_orchestrator_action"}));
  EXPECT_EQ(map["action"], Value(2));                                              // h3_mid chose h3_leaf2
  EXPECT_EQ(map["top_orchestrator_action"], Value(0));                             // the root chose h3_mid
  EXPECT_EQ(map["sensors_filtered"]["action_mask"], Value(f64({1, 1, 1, 1, 1})));  // the leaf's five actions

  const Value direct = step(*root, three_level_sensors({0, 9, 0}, {0, 0, 9}), Value(), Value(), true);
  EXPECT_EQ(direct["action"], Value(3));
  EXPECT_EQ(direct["top_orchestrator_action"], Value(1));

  // Without the request the plain action comes back.
  EXPECT_EQ(step(*root, three_level_sensors({9, 0, 0}, {9, 0, 0})), Value(0));
  EXPECT_EQ(step(*root, three_level_sensors({9, 0, 0}, {0, 5, 0}, {1, 1, 1}, {1, 0, 1})), Value(0));
}

// ---- controller selectors -------------------------------------------------------------------------

struct ControllerScript {
  Value answer = Value(0);
  std::vector<std::pair<Value, Value>> calls;  // (sensors, previous action)
};
ControllerScript controller_script;

class ScriptedPicker : public tavrin_core::AgentController {
 public:
  std::string class_name() const override { return "ScriptedPicker"; }
  asio::awaitable<Value> compute_action(const Value& sensors, const Value& previous_action) override {
    controller_script.calls.emplace_back(sensors, previous_action);
    co_return controller_script.answer;
  }
};

const bool pickers_registered = [] {
  auto& registry = tavrin_core::ImplementationRegistry::instance();
  registry.register_agent_impl("ExecScriptedPicker", [] { return std::make_shared<ScriptedPicker>(); });
  registry.register_agent_impl("ExecNoController", [] { return tavrin_core::ImplementationPtr(); });
  return true;
}();

std::string picker_json(const std::string& cls) {
  return two_level_orchestration_json(
      "controller-selector",
      R"({"name": "picker", "kind": "AgentOrchestrator", "children": ["h2_leaf0", "h2_leaf1", "h2_leaf2"],
       "controller": true, "class": ")" +
          cls + R"(", "checkpoint": "."})",
      "picker");
}

TEST(SelectorController, TheControllerChoosesFromTheProcessedSensorsWithoutAnyModel) {
  TempDir dir;
  dir.copy_model("corrupt", "picker.onnx");  // a model that could not even be opened
  auto picker = build(parse(picker_json("ExecScriptedPicker"), dir.str()), "picker");
  ASSERT_EQ(picker->onnx_engine, nullptr);
  controller_script = {};

  controller_script.answer = Value(2);
  const Value sensors = two_level_sensors({9, 0, 0});
  EXPECT_EQ(step(*picker, sensors, Value(), Value(1)), Value(2));
  ASSERT_EQ(controller_script.calls.size(), 1u);
  const Value& seen = controller_script.calls[0].first;
  EXPECT_EQ(keys_of(seen), (std::vector<std::string>{"root_logits", "root_allowed"}));
  EXPECT_EQ(controller_script.calls[0].second, Value(1));
  // No teacher for a controller: the raw choice is used and reported unchanged.
  const Value map = step(*picker, sensors, Value(), Value(), true);
  EXPECT_EQ(map["top_orchestrator_action"], Value(2));
  EXPECT_EQ(map["action"], Value(2));

  for (const Value& bad : {Value(-1), Value(3)}) {
    controller_script.answer = bad;
    EXPECT_THROW(step(*picker, sensors), tavrin_inference::IndexError) << bad.str();
  }
  controller_script.answer = Value(1.0);  // not an index without a teacher to convert it
  EXPECT_THROW(step(*picker, sensors), tavrin_inference::TypeError);
  EXPECT_EQ(picker->onnx_engine, nullptr);
}

TEST(SelectorController, AControllerSelectorWithoutItsControllerRefusesToStep) {
  auto picker = build(parse(picker_json("ExecNoController")), "picker");
  ASSERT_EQ(picker->controller, nullptr);
  try {
    step(*picker, two_level_sensors({9, 0, 0}));
    FAIL() << "stepped without a controller";
  } catch (const tavrin_inference::RuntimeError& e) {
    EXPECT_STREQ(e.what(),
                 "Controller not initialized for orchestrator agent picker: init() did not set self.controller. "
                 "This orchestrator is a controller-type agent and should not attempt ONNX inference.");
  }
}

// ---- reset ----------------------------------------------------------------------------------------

struct ResetLog {
  std::vector<std::string> made;  // implementation instances, in creation order
  std::string fail_for;           // agent whose next instance cannot be made
};
ResetLog reset_log;

void register_recorders() {
  auto& registry = tavrin_core::ImplementationRegistry::instance();
  auto recorder = [](const std::string& agent, const std::function<tavrin_core::ImplementationPtr()>& make) {
    return [agent, make] {
      if (reset_log.fail_for == agent) throw tavrin_inference::RuntimeError("cannot remake " + agent);
      reset_log.made.push_back(agent);
      return make();
    };
  };
  registry.register_agent_impl("ResetRec.h3_root", recorder("h3_root", [] {
                                 return std::make_shared<SensorLogitsTeacher>("root_logits", "root_allowed");
                               }));
  registry.register_agent_impl("ResetRec.h3_mid", recorder("h3_mid", [] {
                                 return std::make_shared<SensorLogitsTeacher>("mid_logits", "mid_allowed");
                               }));
  for (int k = 0; k < 5; ++k) {
    const std::string leaf = "h3_leaf" + std::to_string(k);
    registry.register_agent_impl("ResetRec." + leaf, recorder(leaf, [] { return std::make_shared<LeafTeacher>(); }));
  }
}

std::shared_ptr<SelectorRuntimeBase> recording_three_level() {
  register_recorders();
  std::string json;
  {
    std::ifstream in(kHierarchy + "/three_level.json");
    json.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Each agent gets a recorder class of its own name.
  for (const char* agent : {"h3_root", "h3_mid", "h3_leaf0", "h3_leaf1", "h3_leaf2", "h3_leaf3", "h3_leaf4"}) {
    const std::string head = "{\"name\": \"" + std::string(agent) + "\"";
    const auto at = json.find(head);
    const auto cls = json.find("\"class\": \"", at) + 10;
    json.replace(cls, json.find('"', cls) - cls, std::string("ResetRec.") + agent);
  }
  return build(parse(json, kHierarchy), "h3_root");
}

TEST(SelectorReset, TheWholeSubtreeIsResetLeavesFirstAndTheRootLast) {
  reset_log = {};
  auto root = recording_three_level();
  auto mid = std::dynamic_pointer_cast<SelectorRuntimeBase>(root->child_agent_processors[0]);
  ASSERT_NE(mid, nullptr);
  step(*root, three_level_sensors({9, 0, 0}, {0, 9, 0}));
  root->done = mid->done = root->child_agent_processors[2]->done = true;
  const auto old_root_teacher = root->teacher;
  reset_log.made.clear();

  run_sync(root->reset());

  const auto& made = reset_log.made;
  ASSERT_EQ(made.size(), 7u);
  auto position = [&](const std::string& agent) { return std::find(made.begin(), made.end(), agent) - made.begin(); };
  EXPECT_EQ(made.back(), "h3_root");
  for (const char* leaf : {"h3_leaf0", "h3_leaf1", "h3_leaf2"}) EXPECT_LT(position(leaf), position("h3_mid")) << leaf;
  EXPECT_NE(root->teacher, old_root_teacher);  // a fresh local instance
  EXPECT_FALSE(root->done);
  EXPECT_FALSE(mid->done);
  EXPECT_FALSE(root->child_agent_processors[2]->done);
  // The tree still steps after its reset.
  EXPECT_EQ(step(*root, three_level_sensors({9, 0, 0}, {0, 9, 0})), Value(1));
}

TEST(SelectorReset, AChildThatCannotResetFailsTheResetAfterItsSiblingsAndBeforeTheSelector) {
  reset_log = {};
  auto root = recording_three_level();
  const auto old_root_teacher = root->teacher;
  reset_log.made.clear();
  reset_log.fail_for = "h3_leaf3";

  try {
    run_sync(root->reset());
    ADD_FAILURE() << "the reset went through";
  } catch (const tavrin_inference::RuntimeError& e) {
    EXPECT_STREQ(e.what(), "cannot remake h3_leaf3");
  }
  reset_log.fail_for.clear();
  auto& made = reset_log.made;
  std::sort(made.begin(), made.end());
  // Every other child's subtree was reset; the root itself was not.
  EXPECT_EQ(made, (std::vector<std::string>{"h3_leaf0", "h3_leaf1", "h3_leaf2", "h3_leaf4", "h3_mid"}));
  EXPECT_EQ(root->teacher, old_root_teacher);
}

TEST_F(TwoLevel, ResetReachesChildrenThatAreNotSkillsToo) {
  auto child = std::make_shared<RecordingChild>(context_for(orchestration, "h2_leaf1"));
  root->child_agent_processors[1] = child;
  run_sync(root->reset());
  run_sync(root->reset());
  EXPECT_EQ(child->resets, 2);
}

}  // namespace
