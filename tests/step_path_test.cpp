// The step as the runtime's own processors run it, root to leaf in one go: the raw sensors
// converted once and kept for the next step must never leak a step's values into another, a class
// derived from a runtime processor still steps through its overrides, and the checks of a step's
// combined mask report what they find once (or once a second), beside the step's own behaviour.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "factory/skill_factory.hpp"
#include "selector/selector_runtime.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/selector_test_support.hpp"
#include "tests/support/skill_runtime_fixture.hpp"

namespace {

using namespace selector_test;
using tavrin_inference::BaseAgentProcessor;
using tavrin_inference::DType;
using tavrin_inference::dtype_name;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::run_sync;
using ::testing::HasSubstr;

std::shared_ptr<BaseAgentProcessor> packaged(const std::shared_ptr<tavrin_core::Orchestration>& orchestration,
                                             const std::string& agent) {
  return run_sync(tavrin_inference::create_skill_runtime(context_for(orchestration, agent)));
}

Value step(BaseAgentProcessor& root, const Value& sensors, const Value& sim_mask = Value()) {
  return run_sync(root._execute(sensors, sim_mask));
}

// The three-level fixture's sensors as arrays of one element type (leaf k acts k).
Value array_sensors(DType dtype, const std::vector<double>& root_logits, const std::vector<double>& mid_logits,
                    const std::vector<double>& root_allowed = {1, 1, 1}) {
  const auto array = [dtype](const std::vector<double>& v) {
    return Value(NdArray::from_vector<double>(v).astype(dtype));
  };
  return Value(Map{{"root_logits", array(root_logits)},
                   {"root_allowed", array(root_allowed)},
                   {"mid_logits", array(mid_logits)},
                   {"mid_allowed", array({1, 1, 1})}});
}

void write(Value& sensors, const std::string& name, std::vector<double> values) {
  NdArray& array = sensors.as_map().at(name).as_array();
  for (std::size_t i = 0; i < values.size(); ++i) array.set_double(static_cast<std::int64_t>(i), values[i]);
}

// ---- the sensors of one step ----------------------------------------------------------------------

TEST(StepSensors, OneSensorObjectReusedWithNewContentsGivesEachStepsAction) {
  auto orchestration = load(kHierarchy + "/three_level.json");
  auto root = packaged(orchestration, "h3_root");
  // float32 arrays of the sensors' own shape are shared by the conversion, float64 ones converted
  // into storage the next step reuses: an application writing into its object must be seen either way.
  for (DType dtype : {DType::float32, DType::float64}) {
    Value sensors = array_sensors(dtype, {0, 5, 1}, {0, 0, 9});
    EXPECT_EQ(step(*root, sensors), Value(3)) << dtype_name(dtype);  // root -> h3_leaf3
    write(sensors, "root_logits", {9, 5, 1});
    EXPECT_EQ(step(*root, sensors), Value(2)) << dtype_name(dtype);  // root -> h3_mid -> h3_leaf2
    write(sensors, "mid_logits", {7, 0, 1});
    EXPECT_EQ(step(*root, sensors), Value(0)) << dtype_name(dtype);
    write(sensors, "root_allowed", {0, 0, 1});
    EXPECT_EQ(step(*root, sensors), Value(4)) << dtype_name(dtype);
  }
}

TEST(StepSensors, AStepWhoseConversionFailsLeavesTheNextStepRight) {
  auto orchestration = load(kHierarchy + "/three_level.json");
  auto root = packaged(orchestration, "h3_root");
  EXPECT_EQ(step(*root, array_sensors(DType::float64, {9, 0, 0}, {0, 8, 0})), Value(1));

  // The third sensor fails after the first two were converted into the kept storage.
  EXPECT_THROW(step(*root, array_sensors(DType::float64, {0, 0, 9}, {std::nan(""), 0, 0})), InvalidArgumentError);
  EXPECT_EQ(step(*root, array_sensors(DType::float64, {0, 9, 0}, {0, 0, 9})), Value(3));

  Value missing = array_sensors(DType::float64, {9, 0, 0}, {0, 0, 9});
  missing.as_map().erase("mid_allowed");
  EXPECT_THROW(step(*root, missing), KeyError);
  EXPECT_EQ(step(*root, array_sensors(DType::float64, {9, 0, 0}, {0, 0, 9})), Value(2));
}

// ---- derived classes ------------------------------------------------------------------------------

// Never lets the first child act: an override that the whole-step path must not skip.
class NoFirstChild : public tavrin_inference::SelectorRuntime {
 public:
  using tavrin_inference::SelectorRuntime::SelectorRuntime;
  asio::awaitable<NdArray> compute_action_mask(const Value& tavrin_obs, const Value& sim_action_mask,
                                               const Value& previous_action) override {
    NdArray mask =
        co_await tavrin_inference::SelectorRuntime::compute_action_mask(tavrin_obs, sim_action_mask, previous_action);
    mask.set_double(0, 0.0);
    co_return mask;
  }
};

TEST(StepDerivedClasses, ADerivedSelectorStepsThroughItsOverridesAndItsChildrenAsUsual) {
  auto orchestration = load(kHierarchy + "/three_level.json");
  auto root = std::make_shared<NoFirstChild>(context_for(orchestration, "h3_root"));
  run_sync(root->init());
  EXPECT_EQ(step(*root, array_sensors(DType::float64, {9, 5, 1}, {0, 0, 9})), Value(3));  // h3_mid is forbidden
  EXPECT_EQ(step(*root, array_sensors(DType::float64, {9, 1, 5}, {0, 0, 9})), Value(4));
  auto plain = packaged(orchestration, "h3_root");
  EXPECT_EQ(step(*plain, array_sensors(DType::float64, {9, 1, 5}, {0, 0, 9})), Value(2));
}

// ---- the checks of a step's mask ------------------------------------------------------------------

TEST(StepMaskChecks, AMaskOfAnotherLengthIsNamedOnceAndOneThatForbidsEverythingAtMostOnceASecond) {
  auto skill = skill_test::ready_runtime("discrete.json", "skill_discrete");  // Discrete(4), mask [1, 4]
  const Value x = skill_test::sensors_x({1, 2, 3, 4});
  tavrin_test::LogCapture logs;

  const Value long_mask(NdArray::from_vector<double>({1, 1, 1, 1, 1}));
  for (int i = 0; i < 3; ++i) EXPECT_THROW(step(*skill, x, long_mask), InvalidArgumentError);
  auto warnings = logs.messages("warning", "tavrin_inference.skillkit");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("Agent 'skill_discrete': its action mask has 5 entries (teacher mask none, "
                                     "simulator mask [1, 1, 1, 1, 1] (5 entries)) but its model "));
  EXPECT_THAT(warnings[0], HasSubstr("declares an action mask of 4 [1, 4]"));

  logs.clear();
  const Value nothing_allowed(NdArray::from_vector<double>({0, 0, 0, 0}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(step(*skill, x, nothing_allowed), Value(0));  // the first is taken
  warnings = logs.messages("warning", "tavrin_inference.skillkit");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("Agent 'skill_discrete': the combined action mask [0.0, 0.0, 0.0, 0.0] "
                                     "forbids every action (teacher mask none, simulator mask [0, 0, 0, 0]"));

  // A selector whose teacher forbids every child: the first child acts, reported once.
  logs.clear();
  auto orchestration = load(kHierarchy + "/three_level.json");
  auto root = packaged(orchestration, "h3_root");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(step(*root, array_sensors(DType::float64, {0, 9, 0}, {0, 0, 9}, {0, 0, 0})), Value(2));
  warnings = logs.messages("warning", "tavrin_inference.skillkit");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("Agent 'h3_root': the combined action mask [0.0, 0.0, 0.0] forbids every child "
                                     "(rule mask none, teacher mask [0, 0, 0] (3 entries))"));
}

}  // namespace
