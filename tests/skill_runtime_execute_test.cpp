// SkillRuntime steps through the fixture policies (logits = the observation reversed): decoding per
// action-space kind, masking, the output's batch axis, explore, the teacher map, map observations,
// the controller path and a decoding override.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "common/constants.hpp"
#include "common/errors.hpp"
#include "support/log_capture.hpp"
#include "tests/support/skill_runtime_fixture.hpp"

namespace skill_test {
namespace {

using tavrin_inference::BaseAgentProcessor;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

Value step(SkillRuntime& rt, std::vector<double> x, const Value& sim_mask = Value(), bool explore = false) {
  return run(rt._execute(sensors_x(std::move(x)), sim_mask, explore));
}

Value mask_of(std::vector<double> values) { return Value(f64(std::move(values))); }

void expect_array(const Value& action, DType dtype, const Shape& shape, const std::vector<double>& values) {
  ASSERT_TRUE(action.is_array()) << action.str();
  EXPECT_EQ(action.as_array().dtype(), dtype);
  EXPECT_EQ(action.as_array().shape(), shape);
  EXPECT_THAT(doubles(action.as_array()), ElementsAreArray(values));
}

TEST(SkillRuntimeExecute, DiscreteTakesTheLargestLogit) {
  auto rt = ready_runtime("discrete.json", "skill_discrete");
  // logits (3, 2, 5, 1), (4, 3, 2, 1), (-1, 7, 7, 0): first of the largest wins.
  EXPECT_EQ(step(*rt, {1, 5, 2, 3}), Value(2));
  EXPECT_EQ(step(*rt, {1, 2, 3, 4}), Value(0));
  EXPECT_EQ(step(*rt, {0, 7, 7, -1}), Value(1));
}

TEST(SkillRuntimeExecute, MaskedPositionsAreNeverChosenWhileOneIsAllowed) {
  auto rt = ready_runtime("discrete.json", "skill_discrete");
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> logit(-50.0, 50.0);
  for (int bits = 0; bits < 16; ++bits) {
    const std::vector<double> mask{double(bits & 1), double((bits >> 1) & 1), double((bits >> 2) & 1),
                                   double((bits >> 3) & 1)};
    for (int trial = 0; trial < 5; ++trial) {
      const std::vector<double> x{logit(rng), logit(rng), logit(rng), logit(rng)};
      const std::vector<double> logits(x.rbegin(), x.rend());
      std::int64_t expected = 0;  // a fully masked row: all equal, the first wins
      double best = 0.0;
      bool any = false;
      for (std::int64_t i = 0; i < 4; ++i) {
        if (mask[i] > 0 && (!any || logits[i] > best)) {
          best = logits[i];
          expected = i;
          any = true;
        }
      }
      EXPECT_EQ(step(*rt, x, mask_of(mask)), Value(expected)) << "mask bits " << bits;
    }
  }
}

// A processor whose step mask is scripted, standing in for a mask computation of a subclass.
class ScriptedMaskRuntime : public SkillRuntime {
 public:
  using SkillRuntime::SkillRuntime;
  asio::awaitable<NdArray> compute_action_mask(const Value&, const Value&, const Value&) override { co_return mask; }
  NdArray mask;
};

TEST(SkillRuntimeExecute, NonPositiveMaskValuesCountAsMasked) {
  auto rt = ready_runtime<ScriptedMaskRuntime>("discrete.json", "skill_discrete");
  const std::vector<double> x{1, 2, 3, 4};  // logits (4, 3, 2, 1)
  rt->mask = f64({-1, 1, 1, 1});
  EXPECT_EQ(step(*rt, x), Value(1));
  rt->mask = f64({-1, 0, 0.5, 1});  // a positive fraction allows
  EXPECT_EQ(step(*rt, x), Value(2));
  rt->mask = f64({1e-50, 0, 0, 1});  // positive as a double, zero as the float32 the mask is judged in
  EXPECT_EQ(step(*rt, x), Value(3));
}

TEST(SkillRuntimeExecute, MaskWorksWithoutAMaskInputInTheModel) {
  auto rt = ready_runtime("discrete.json", "skill_discrete_no_mask");
  EXPECT_EQ(step(*rt, {1, 2, 3, 4}), Value(0));
  EXPECT_EQ(step(*rt, {1, 2, 3, 4}, mask_of({0, 1, 1, 1})), Value(1));
}

TEST(SkillRuntimeExecute, BatchAxisOfTheOutputMakesNoDifference) {
  auto batched = ready_runtime("discrete.json", "skill_discrete");
  auto flat = ready_runtime("discrete.json", "skill_discrete_flat");
  ASSERT_EQ(flat->onnx_engine->get_action_dist_inputs(f32({1, 2, 3, 4}), f64({1, 1, 1, 1})).ndim(), 1u);
  for (const auto& x :
       {std::vector<double>{1, 5, 2, 3}, std::vector<double>{9, 0, 0, 0}, std::vector<double>{0, 0, 1, 0}}) {
    EXPECT_EQ(step(*flat, x), step(*batched, x));
    EXPECT_EQ(step(*flat, x, mask_of({0, 1, 0, 1})), step(*batched, x, mask_of({0, 1, 0, 1})));
  }
  EXPECT_EQ(step(*flat, {1, 5, 2, 3}, mask_of({1, 1, 0, 1})), Value(0));
}

TEST(SkillRuntimeExecute, BoxMeansAreClippedAndScaledAndAShorterMaskChangesNothing) {
  auto rt = ready_runtime("box.json", "skill_box");  // low (0, -10), high (4, 10)
  // Row (-0.5, 0.5 | 0.7, 0.3): means -0.5 and 0.5 -> 1.0 and 5.0.
  expect_array(step(*rt, {0.3, 0.7, 0.5, -0.5}), DType::float32, Shape{2}, {1.0, 5.0});
  // Means 3 and -2 are clipped to 1 and -1 before scaling.
  expect_array(step(*rt, {0, 0, -2, 3}), DType::float32, Shape{2}, {4.0, -10.0});
  // The mask has 2 entries, the row 4: no penalty is added, so the means stay as they are.
  expect_array(step(*rt, {0.3, 0.7, 0.5, -0.5}, mask_of({0, 0})), DType::float32, Shape{2}, {1.0, 5.0});
}

TEST(SkillRuntimeExecute, MultiDiscreteChoosesPerComponentUnderTheMask) {
  auto rt = ready_runtime("multi_discrete.json", "skill_multi_discrete");
  // Row (2, 5, 0 | 1, 9).
  expect_array(step(*rt, {9, 1, 0, 5, 2}), DType::int64, Shape{2}, {1, 1});
  expect_array(step(*rt, {9, 1, 0, 5, 2}, mask_of({1, 0, 1, 1, 0})), DType::int64, Shape{2}, {0, 0});
  expect_array(step(*rt, {9, 1, 0, 5, 2}, mask_of({0, 0, 0, 0, 1})), DType::int64, Shape{2}, {0, 1});
}

TEST(SkillRuntimeExecute, MultiBinaryMaskedEntriesAreOff) {
  auto rt = ready_runtime("multi_binary.json", "skill_multi_binary");
  // Row (0.5, 2, -1).
  expect_array(step(*rt, {-1, 2, 0.5}), DType::int8, Shape{3}, {1, 1, 0});
  expect_array(step(*rt, {-1, 2, 0.5}, mask_of({1, 0, 1})), DType::int8, Shape{3}, {1, 0, 0});
}

TEST(SkillRuntimeExecute, TupleDecodesInOrderAndItsShorterMaskChangesNothing) {
  auto rt = ready_runtime("tuple.json", "skill_tuple");
  // Row (2, 1 | 0.25, 0): discrete 0, box mean 0.25 (bounds -1, 1: unchanged by scaling).
  for (const Value& mask : {Value(), mask_of({1, 1, 1}), mask_of({0, 1, 1})}) {
    const Value action = step(*rt, {0.0, 0.25, 1.0, 2.0}, mask);
    ASSERT_TRUE(action.is_tuple()) << action.str();
    ASSERT_EQ(action.size(), 2u);
    EXPECT_EQ(action[0], Value(0));
    expect_array(action[1], DType::float32, Shape{1}, {0.25});
  }
}

TEST(SkillRuntimeExecute, DictDecodesInTheSpacesOrder) {
  auto rt = ready_runtime("dict.json", "skill_dict");
  // Row (2, 1, 3 | 0.5, 0): mode 2; level mean 0.5 on (0, 8) -> 6.
  const Value action = step(*rt, {0, 0.5, 3, 1, 2});
  ASSERT_TRUE(action.is_map()) << action.str();
  const Map& map = action.as_map();
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.entries()[0].first, "mode");
  EXPECT_EQ(map.entries()[1].first, "level");
  EXPECT_EQ(map.at("mode"), Value(2));
  expect_array(map.at("level"), DType::float32, Shape{1}, {6.0});
}

TEST(SkillRuntimeExecute, ExploreAndCoordinationChangeNothing) {
  const std::vector<std::pair<std::string, std::string>> agents{{"discrete.json", "skill_discrete"},
                                                                {"box.json", "skill_box"},
                                                                {"multi_discrete.json", "skill_multi_discrete"},
                                                                {"multi_binary.json", "skill_multi_binary"},
                                                                {"tuple.json", "skill_tuple"},
                                                                {"dict.json", "skill_dict"}};
  for (const auto& [file, name] : agents) {
    auto rt = ready_runtime(file, name);
    const auto size = rt->context.orchestration->sensors().front()->space()->flat_size();
    std::vector<double> x;
    for (std::int64_t i = 0; i < size; ++i) x.push_back(0.3 * static_cast<double>((i * 7) % 5) - 0.4);
    const Value plain = step(*rt, x);
    EXPECT_EQ(step(*rt, x, Value(), true), plain) << name;
    EXPECT_EQ(run(rt->_execute(sensors_x(x), Value(), true, true)), plain) << name;
  }
}

void expect_teacher_map(const Value& result, const Value& action, const std::vector<double>& x) {
  ASSERT_TRUE(result.is_map()) << result.str();
  const Map& map = result.as_map();
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.first);
  EXPECT_THAT(keys, ElementsAre("action", "sensors_filtered", "tavrin_obs"));
  EXPECT_EQ(map.at("action"), action);
  const Map& filtered = map.at("sensors_filtered").as_map();
  EXPECT_EQ(filtered.size(), 2u);
  EXPECT_THAT(doubles(filtered.at("observation").as_array()), ElementsAreArray(x));
  EXPECT_TRUE(filtered.contains("action_mask"));
  EXPECT_THAT(doubles(map.at("tavrin_obs")["x"].as_array()), ElementsAreArray(x));
}

TEST(SkillRuntimeExecute, TeacherMapHoldsActionSensorsAndObservationInOrder) {
  auto rt = ready_runtime("discrete.json", "skill_discrete");
  const std::vector<double> x{1, 5, 2, 3};
  const Value result = run(rt->_execute(sensors_x(x), mask_of({1, 1, 0, 1}), false, false, Value(), true));
  expect_teacher_map(result, Value(0), x);
  EXPECT_THAT(doubles(result["sensors_filtered"]["action_mask"].as_array()), ElementsAre(1, 1, 0, 1));

  auto valve = ready_runtime("controller.json", "valve");
  expect_teacher_map(run(valve->_execute(sensors_x(x), Value(), false, false, Value(), true)), ValveController::reply,
                     x);
}

// Hands the observation on as a map, standing in for a subclass whose pipeline yields one.
class MapObservationRuntime : public SkillRuntime {
 public:
  using SkillRuntime::SkillRuntime;
  asio::awaitable<std::pair<Map, Value>> process_sim_sensors(const Value& sensors, const Value& sim_action_mask,
                                                             const Value& previous_action) override {
    auto result = co_await SkillRuntime::process_sim_sensors(sensors, sim_action_mask, previous_action);
    result.first.set("observation", observation);
    co_return result;
  }
  Value observation;
};

TEST(SkillRuntimeExecute, MapObservationIsFedInTheMapsOrder) {
  auto rt = ready_runtime<MapObservationRuntime>("discrete.json", "skill_discrete");
  // In map order (1, 5, 2, 3): logits (3, 2, 5, 1) -> 2. In key order it would be (2, 3, 1, 5) -> 0.
  rt->observation = Value(Map{{"w", Value(1)}, {"z", Value(5.0)}, {"a", Value(2)}, {"m", Value(3.0)}});
  EXPECT_EQ(step(*rt, {0, 0, 0, 0}), Value(2));
}

TEST(SkillRuntimeExecute, ControllerActionIsPostProcessedWithoutScaling) {
  auto rt = ready_runtime("controller.json", "valve");  // Box (0, 10)
  ASSERT_EQ(rt->onnx_engine, nullptr);
  ValveController::calls.clear();
  const Value action = run(rt->_execute(sensors_x({1, 2, 3, 4}), Value(), false, false, Value(7)));
  expect_array(action, DType::float32, Shape{1}, {0.5});  // scaled it would be 7.5
  ASSERT_EQ(ValveController::calls.size(), 1u);
  EXPECT_THAT(doubles(ValveController::calls[0].first["x"].as_array()), ElementsAre(1, 2, 3, 4));
  EXPECT_EQ(ValveController::calls[0].second, Value(7));
}

TEST(SkillRuntimeExecute, ControllerAgentWithoutControllerHasNoModelToFallBackOn) {
  tavrin_test::LogCapture log;
  auto rt = ready_runtime("controller.json", "skill_discrete");  // its model file exists
  EXPECT_EQ(rt->controller, nullptr);
  EXPECT_EQ(rt->onnx_engine, nullptr);
  EXPECT_EQ(log.count("info",
                      "Agent skill_discrete is a controller: its own programmed implementation is used "
                      "instead of an ONNX model"),
            1u);
  try {
    step(*rt, {1, 2, 3, 4});
    FAIL() << "a controller agent without controller acted";
  } catch (const tavrin_inference::RuntimeError& e) {
    EXPECT_STREQ(e.what(), "ONNX model not loaded for agent skill_discrete");
  }
}

// Records the kinds it decodes and leaves the decoding itself to the processor.
class RecordingDecoder : public SkillRuntime {
 public:
  using SkillRuntime::SkillRuntime;
  std::pair<Value, std::int64_t> _decode_action_dist_inputs(const NdArray& row, const tavrin_core::spaces::Space& space,
                                                            std::int64_t offset = 0) const override {
    kinds.push_back(space.type_name() + "@" + std::to_string(offset));
    return SkillRuntime::_decode_action_dist_inputs(row, space, offset);
  }
  mutable std::vector<std::string> kinds;
};

TEST(SkillRuntimeExecute, DecodingOverrideReachesNestedSpaces) {
  auto rt = ready_runtime<RecordingDecoder>("dict.json", "skill_dict");
  const Value action = step(*rt, {0, 0.5, 3, 1, 2});
  EXPECT_THAT(rt->kinds, ElementsAre("Dict@0", "Discrete@0", "Box@3"));
  EXPECT_EQ(action["mode"], Value(2));
}

TEST(SkillRuntimeExecute, MaskPenaltyIsFloatMinAddedToTheLogit) {
  // A subclass sees the masked row it is handed: masked entries sit at exactly FLOAT_MIN.
  struct RowRecorder : SkillRuntime {
    using SkillRuntime::SkillRuntime;
    std::pair<Value, std::int64_t> _decode_action_dist_inputs(const NdArray& row,
                                                              const tavrin_core::spaces::Space& space,
                                                              std::int64_t offset = 0) const override {
      seen = row;
      return SkillRuntime::_decode_action_dist_inputs(row, space, offset);
    }
    mutable NdArray seen;
  };
  auto rt = ready_runtime<RowRecorder>("discrete.json", "skill_discrete");
  step(*rt, {1, 2, 3, 4}, mask_of({1, 0, 1, 0}));
  EXPECT_EQ(rt->seen.dtype(), DType::float64);
  EXPECT_THAT(doubles(rt->seen), ElementsAre(4.0, tavrin_inference::FLOAT_MIN, 2.0, tavrin_inference::FLOAT_MIN));
  step(*rt, {1, 2, 3, 4});  // the pipeline's all-allowed mask adds nothing
  EXPECT_THAT(doubles(rt->seen), ElementsAre(4.0, 3.0, 2.0, 1.0));
}

}  // namespace
}  // namespace skill_test
