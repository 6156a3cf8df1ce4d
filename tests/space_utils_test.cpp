#include "core_api/space_utils.hpp"

#include <cmath>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "support/checks.hpp"

using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace tavrin_core;
using namespace tavrin_core::space_utils;
using namespace tavrin_core::spaces;
using namespace tavrin_inference;
using namespace tavrin_test;

namespace {

std::vector<std::string> keys_of(const Map& m) {
  std::vector<std::string> out;
  for (const auto& [k, v] : m) out.push_back(k);
  return out;
}

std::vector<std::string> keys_of(const spaces::Space& s) {
  std::vector<std::string> out;
  for (const auto& [k, v] : dynamic_cast<const Dict&>(s).spaces()) out.push_back(k);
  return out;
}

NdArray f64(std::vector<double> v, Shape s) { return NdArray::from_vector(std::move(v), s); }
NdArray i8(std::vector<std::int8_t> v) { return NdArray::from_vector(std::move(v)); }

AgentNode::Options options(std::string name, std::vector<std::string> children) {
  AgentNode::Options o;
  o.name = std::move(name);
  o.children = std::move(children);
  return o;
}

SensorPtr sensor(const std::string& name, spaces::SpacePtr space) { return std::make_shared<Sensor>(name, space); }

// A user perceptor: records what it was given and adds what `derive` computes.
class TestPerceptor : public Perceptor {
 public:
  explicit TestPerceptor(std::function<Value(const Value&)> derive) : derive_(std::move(derive)) {}
  asio::awaitable<Value> perceive(const Value& sensors) override {
    seen.push_back(sensors);
    co_return derive_(sensors);
  }
  std::string class_name() const override { return "TestPerceptor"; }
  std::vector<Value> seen;

 private:
  std::function<Value(const Value&)> derive_;
};

Value convert(const Value& raw, const spaces::SpacePtr& sim, const std::vector<SensorPtr>& sensors = {},
              const std::vector<PerceptorPtr>& perceptors = {}) {
  return run_sync(convert_sim_sensors_to_tavrin_sensors(raw, sim, sensors, perceptors, {}));
}

std::shared_ptr<Dict> sim_space() {
  return std::make_shared<Dict>(SpaceEntries{{"pos", std::make_shared<Box>(-10.0, 10.0, Shape{2})},
                                             {"mode", std::make_shared<Discrete>(3)},
                                             {"grid", std::make_shared<Box>(0.0, 9.0, Shape{2, 1}, DType::int64)}});
}

}  // namespace

// ---- sensor spaces --------------------------------------------------------------------------

TEST(SensorSpaces, FullSpaceIsTheSimSensorsThenTheMissingOrchestrationSensors) {
  const auto sim = sim_space();
  const std::vector<SensorPtr> sensors{sensor("speed", std::make_shared<Box>(0.0, 5.0, Shape{1})),
                                       sensor("mode", std::make_shared<Discrete>(7)),  // present: sim wins
                                       sensor("alarm", std::make_shared<Discrete>(2))};
  const auto full = run_sync(get_tavrin_space_info(sim, sensors, {}, {}));
  EXPECT_EQ(keys_of(*full), (std::vector<std::string>{"pos", "mode", "grid", "speed", "alarm"}));
  EXPECT_EQ(dynamic_cast<const Dict&>(*full).at("mode")->str(), "Discrete(3)");
  EXPECT_EQ(full->flat_size(), 2 + 3 + 2 + 1 + 2);

  const auto only = run_sync(get_tavrin_space_info(nullptr, sensors, {}, {}));
  EXPECT_EQ(keys_of(*only), (std::vector<std::string>{"speed", "mode", "alarm"}));
  EXPECT_THROW(run_sync(get_tavrin_space_info(std::make_shared<Discrete>(2), sensors, {}, {})), TypeError);
}

TEST(SensorSpaces, FilterSpaceFollowsTheOrderOfTheKeys) {
  const auto sim = sim_space();
  const auto f = filter_space(sim, {"grid", "nope", "pos", "grid"});
  EXPECT_EQ(keys_of(*f), (std::vector<std::string>{"grid", "pos"}));
  EXPECT_EQ(f->flat_size(), 4);
  EXPECT_EQ(filter_space(nullptr, {"a"}), nullptr);
  EXPECT_EQ(filter_space(sim, {})->flat_size(), 0);
  EXPECT_THROW(filter_space(std::make_shared<Discrete>(2), {"a"}), TypeError);
}

TEST(SensorSpaces, FilterSampleFollowsTheOrderOfTheKeys) {
  const Value sample(Map{{"a", 1}, {"b", Value::list({2, 3})}, {"c", 4}});
  const Value f = filter_sample(sample, {"c", "missing", "a"});
  ASSERT_TRUE(f.is_map());
  EXPECT_EQ(keys_of(f.as_map()), (std::vector<std::string>{"c", "a"}));
  EXPECT_EQ(f["c"], Value(4));
  EXPECT_TRUE(filter_sample(Value(), {"a"}).is_none());
  EXPECT_TRUE(filter_sample(sample, {}).as_map().empty());
  EXPECT_THROW(filter_sample(Value::list({1}), {"a"}), TypeError);
}

// ---- converting raw sensors -----------------------------------------------------------------

TEST(ConvertSensors, MapByNameIsCoercedIntoEachSensorsSpace) {
  const Value raw(
      Map{{"grid", Value::list({3.7, 4})}, {"unused", 1}, {"mode", 2.0}, {"pos", Value::list({0.5, -1.5})}});
  const Value out = convert(raw, sim_space());
  ASSERT_TRUE(out.is_map());
  EXPECT_EQ(keys_of(out.as_map()), (std::vector<std::string>{"pos", "mode", "grid"}));  // the sim space's order
  EXPECT_EQ(out["pos"].as_array().dtype(), DType::float32);
  EXPECT_EQ(out["pos"].as_array().at_double(1), -1.5);
  ASSERT_TRUE(out["mode"].is_int());
  EXPECT_EQ(out["mode"].as_int(), 2);
  EXPECT_EQ(out["grid"].as_array(), NdArray::from_vector<std::int64_t>({3, 4}, Shape{2, 1}));
}

TEST(ConvertSensors, MapErrorsNameTheSensor) {
  const auto sim = sim_space();
  EXPECT_EQ(error_of([&] {
              convert(Value(Map{{"pos", Value::list({1, 2})}, {"mode", 1}}), sim);
            }),
            "KeyError: convert_sim_sensors_to_tavrin_sensors: sensor 'grid' is missing");
  // A key close to the missing name brings the keys that did arrive, the close one first.
  EXPECT_EQ(error_of([&] {
              convert(Value(Map{{"pos", Value::list({1, 2})}, {"mode", 1}, {"Gird", 3}}), sim);
            }),
            "KeyError: convert_sim_sensors_to_tavrin_sensors: sensor 'grid' is missing (got 'Gird', 'pos', 'mode')");
  EXPECT_THAT(error_of([&] {
                convert(Value(Map{{"pos", Value::list({1})}, {"mode", 1}, {"grid", Value::list({1, 2})}}), sim);
              }),
              StartsWith("InvalidArgumentError: convert_sim_sensors_to_tavrin_sensors: sensor pos: expected 2 values"));
  EXPECT_THAT(error_of([&] {
                convert(Value(Map{{"pos", Value::list({1, 2})}, {"mode", 3}, {"grid", Value::list({1, 2})}}), sim);
              }),
              HasSubstr("sensor mode: expected an integer in [0, 3)"));
  EXPECT_THROW(convert("text", sim), TypeError);
}

TEST(ConvertSensors, NonFiniteValuesAreRefusedNamingTheSensorAndElement) {
  // A NaN would turn every logit of a model into NaN, and a NaN logit wins whatever the mask says.
  const auto sim = sim_space();
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(error_of([&] {
              convert(Value(Map{{"pos", Value::list({0.5, nan})}, {"mode", 1}, {"grid", Value::list({1, 2})}}), sim);
            }),
            "InvalidArgumentError: convert_sim_sensors_to_tavrin_sensors: sensor 'pos': element 1 is nan; "
            "sensor values must be finite");
  EXPECT_THAT(error_of([&] {
                convert(Value::list({-inf, 0.0, 1, 7, 8}), sim);
              }),
              HasSubstr("sensor 'pos': element 0 is -inf"));
  EXPECT_THAT(error_of([&] { convert(Value::list({0.0, 0.0, 1, 7, inf}), sim); }), HasSubstr("sensor 'grid'"));
}

TEST(ConvertSensors, FlatListIsSplitInTheSimSpacesOrder) {
  // pos takes 2 values, mode 1 (its index), grid 2.
  const Value out = convert(Value::list({1.5, -2.0, 2, 7, 8}), sim_space());
  EXPECT_EQ(doubles(out["pos"].as_array()), (std::vector<double>{1.5, -2.0}));
  EXPECT_EQ(out["mode"].as_int(), 2);
  EXPECT_EQ(out["grid"].as_array().shape(), (Shape{2, 1}));
  EXPECT_EQ(doubles(out["grid"].as_array()), (std::vector<double>{7, 8}));
  // The same as an array.
  EXPECT_EQ(convert(f64({1.5, -2.0, 2, 7, 8}, Shape{5}), sim_space()), out);
}

TEST(ConvertSensors, FlatListOfTheWrongLengthIsRefused) {
  const auto sim = sim_space();
  EXPECT_EQ(error_of([&] {
              convert(Value::list({1, 2, 0, 4}), sim);
            }),
            "InvalidArgumentError: convert_sim_sensors_to_tavrin_sensors: expected 5 sensor values, got 4");
  EXPECT_THAT(error_of([&] { convert(Value::list({1, 2, 0, 4, 5, 6}), sim); }), HasSubstr("got 6"));
  EXPECT_THAT(error_of([&] { convert(Value::list({1, 2, 9, 4, 5}), sim); }), HasSubstr("sensor mode:"));
}

TEST(ConvertSensors, WithoutASimSpaceTheOrchestrationSensorsAreUsed) {
  const std::vector<SensorPtr> sensors{sensor("t", std::make_shared<Box>(-kInf, kInf, Shape{1})),
                                       sensor("on", std::make_shared<MultiBinary>(Shape{2}))};
  const Value out = convert(Value::list({21.5, 1, 0}), nullptr, sensors);
  EXPECT_EQ(keys_of(out.as_map()), (std::vector<std::string>{"t", "on"}));
  EXPECT_EQ(out["on"].as_array(), NdArray::from_vector<std::int8_t>({1, 0}));
  EXPECT_EQ(convert(Value(Map{{"on", Value::list({0, 1})}, {"t", 3}}), nullptr, sensors)["t"].as_array().at_double(0),
            3.0);
}

TEST(ConvertSensors, PerceptorsRunInOrderAndTheirSensorsAreMerged) {
  const auto first = std::make_shared<TestPerceptor>([](const Value& s) {
    return Value(Map{{"speed", s["pos"].as_array().at_double(0) * 2}, {"mode", 0}});
  });
  const auto second = std::make_shared<TestPerceptor>([](const Value& s) {
    return Value(Map{{"fast", s["speed"].as_double() > 2.0}});
  });
  const Value out = convert(Value(Map{{"pos", Value::list({1.5, 0})}, {"mode", 2}, {"grid", Value::list({1, 1})}}),
                            sim_space(), {}, {first, second});
  // An existing sensor is replaced in place; new ones follow.
  EXPECT_EQ(keys_of(out.as_map()), (std::vector<std::string>{"pos", "mode", "grid", "speed", "fast"}));
  EXPECT_EQ(out["mode"].as_int(), 0);
  EXPECT_EQ(out["fast"], Value(true));
  ASSERT_EQ(first->seen.size(), 1U);
  EXPECT_FALSE(first->seen[0].as_map().contains("speed"));
  ASSERT_EQ(second->seen.size(), 1U);
  EXPECT_TRUE(second->seen[0].as_map().contains("speed"));  // sees the first one's result
}

TEST(ConvertSensors, APerceptorMustReturnAMap) {
  const auto bad = std::make_shared<TestPerceptor>([](const Value&) { return Value(3); });
  const auto none = std::make_shared<TestPerceptor>([](const Value&) { return Value(); });
  const Value raw(Map{{"pos", Value::list({1, 0})}, {"mode", 2}, {"grid", Value::list({1, 1})}});
  EXPECT_EQ(convert(raw, sim_space(), {}, {none}).as_map().size(), 3U);
  EXPECT_THAT(error_of([&] { convert(raw, sim_space(), {}, {bad}); }), HasSubstr("perceptor TestPerceptor"));
}

// ---- masks ----------------------------------------------------------------------------------

TEST(Masks, CombineIsElementWiseAnd) {
  EXPECT_EQ(combine_masks(i8({1, 1, 0, 0, 5}), i8({1, 0, 1, 0, 1})), i8({1, 0, 0, 0, 1}));
  EXPECT_EQ(combine_masks(f64({1, 0.5, 0}, Shape{3}), i8({1, 1, 1})), i8({1, 1, 0}));
  EXPECT_EQ(combine_masks(i8({}), i8({})).size(), 0);
  EXPECT_THAT(error_of([] {
                combine_masks(i8({1, 1, 1}), i8({1, 1}));
              }),
              StartsWith("InvalidArgumentError: combine_masks: the masks differ in length (3 vs 2)"));
}

TEST(Masks, OrchestratorMaskFollowsTheRuleForThePreviousChild) {
  AgentOrchestrator agent(options("top", {"walk", "run", "jump"}));
  agent.set_follow_rules({{"walk", {"run"}}, {"jump", {"walk"}}, {"jump", {"jump"}}, {"run", {"nobody"}}});
  const auto mask = [&](const Value& prev) { return compute_orchestrator_action_mask(prev, agent).as_array(); };
  EXPECT_EQ(mask(Value()), i8({1, 1, 1}));
  EXPECT_EQ(mask(0), i8({0, 1, 0}));
  EXPECT_EQ(mask(2), i8({1, 0, 1}));  // both rules after "jump" apply
  EXPECT_EQ(mask(NdArray::scalar(std::int64_t{0})), i8({0, 1, 0}));
  EXPECT_EQ(mask("walk"), i8({0, 1, 0}));
  EXPECT_EQ(mask(1), i8({1, 1, 1}));  // its rule names no child: nothing would be left
  EXPECT_EQ(mask(3), i8({1, 1, 1}));  // out of range
  EXPECT_EQ(mask(-1), i8({1, 1, 1}));

  AgentOrchestrator free(options("free", {"a", "b"}));
  EXPECT_EQ(compute_orchestrator_action_mask(0, free).as_array(), i8({1, 1}));
}

TEST(Masks, OrchestratorMaskOfAJumpRuleAllowsOnlyItsChildren) {
  AgentOrchestrator agent(options("top", {"walk", "run", "jump"}));
  agent.set_follow_rules({{"jump", {"walk"}}});
  EXPECT_EQ(compute_orchestrator_action_mask(2, agent).as_array(), i8({1, 0, 0}));
  EXPECT_EQ(compute_orchestrator_action_mask(1, agent).as_array(), i8({1, 1, 1}));
}

// ---- unsquashing ----------------------------------------------------------------------------

TEST(Unsquash, MapsMinusOneToOneOntoTheBoundsAndClips) {
  const Box b(f64({0, -2, 10}, Shape{3}), f64({1, 2, 20}, Shape{3}));
  const Value out = unsquash_action(Value(NdArray::from_vector<float>({-1.0F, 0.0F, 1.0F})), b);
  EXPECT_EQ(out.as_array().dtype(), DType::float32);
  EXPECT_EQ(doubles(out.as_array()), (std::vector<double>{0, 0, 20}));
  const Value clipped = unsquash_action(Value(f64({-3, 5, 0.5}, Shape{3})), b);
  EXPECT_EQ(doubles(clipped.as_array()), (std::vector<double>{0, 2, 17.5}));
}

TEST(Unsquash, KeepsShapeAndDtypeAndLeavesUnboundedElements) {
  const Box b(f64({-kInf, 0, 0, 0}, Shape{2, 2}), f64({1, kInf, 4, 4}, Shape{2, 2}), DType::float64);
  const Value out =
      unsquash_action(Value(NdArray::from_vector<float>({0.25F, -0.5F, 0.5F, std::nanf("")}, Shape{4})), b);
  EXPECT_EQ(out.as_array().shape(), (Shape{2, 2}));
  EXPECT_EQ(out.as_array().dtype(), DType::float64);
  const auto v = doubles(out.as_array());
  EXPECT_EQ(v[0], 0.25);
  EXPECT_EQ(v[1], -0.5);
  EXPECT_EQ(v[2], 3.0);
  EXPECT_TRUE(std::isnan(v[3]));

  const Box ints(0.0, 10.0, Shape{2}, DType::int64);
  EXPECT_EQ(unsquash_action(Value::list({0.0, 1.0}), ints).as_array(), NdArray::from_vector<std::int64_t>({5, 10}));
  EXPECT_EQ(doubles(unsquash_action(0.0, Box(2.0, 4.0, Shape{})).as_array()), (std::vector<double>{3.0}));
  EXPECT_THAT(error_of([&] { unsquash_action(Value::list({0.0}), ints); }), HasSubstr("expected 2 values"));
}

TEST(Unsquash, RecursesThroughTuplesAndDictsAndLeavesOtherKinds) {
  const auto box = std::make_shared<Box>(0.0, 10.0, Shape{1});
  const Tuple t({std::make_shared<Discrete>(3), box});
  const Value out = unsquash_action(Value::tuple({2, Value(NdArray::from_vector<float>({0.0F}))}), t);
  ASSERT_TRUE(out.is_tuple());
  EXPECT_EQ(out[0], Value(2));
  EXPECT_EQ(doubles(out[1].as_array()), (std::vector<double>{5.0}));

  const Dict d({{"n", std::make_shared<MultiDiscrete>(NdArray::from_vector<std::int64_t>({2, 2}))}, {"b", box}});
  const Value md = Value(NdArray::from_vector<std::int64_t>({1, 0}));
  const Value dout = unsquash_action(Value(Map{{"b", Value(NdArray::from_vector<float>({1.0F}))}, {"n", md}}), d);
  EXPECT_EQ(keys_of(dout.as_map()), (std::vector<std::string>{"b", "n"}));
  EXPECT_EQ(doubles(dout["b"].as_array()), (std::vector<double>{10.0}));
  EXPECT_EQ(dout["n"], md);
  EXPECT_EQ(unsquash_action(1, Discrete(3)), Value(1));
  EXPECT_THROW(unsquash_action(Value::tuple({1}), t), InvalidArgumentError);
  EXPECT_THROW(unsquash_action(Value(Map{{"zz", 1}}), d), KeyError);
}

// ---- arrays from values ---------------------------------------------------------------------

TEST(MakeArray, NumbersBecomeZeroDimensionalLikeNumpy) {
  EXPECT_EQ(make_np_array(3).dtype(), DType::int64);
  EXPECT_EQ(make_np_array(3).shape(), Shape{});
  EXPECT_EQ(make_np_array(0.5).dtype(), DType::float64);
  EXPECT_EQ(make_np_array(true).dtype(), DType::int8);
  EXPECT_EQ(make_np_array(true).at_double(0), 1.0);
}

TEST(MakeArray, NestedListsBecomeArraysOfTheirShape) {
  const NdArray ints = make_np_array(Value::list({1, 2, 3}));
  EXPECT_EQ(ints, NdArray::from_vector<std::int64_t>({1, 2, 3}));
  const NdArray mixed = make_np_array(Value::list({Value::list({1, 2.5}), Value::list({true, 4})}));
  EXPECT_EQ(mixed, f64({1, 2.5, 1, 4}, Shape{2, 2}));
  EXPECT_EQ(make_np_array(Value::list({true, false})).dtype(), DType::int8);
  const NdArray stacked =
      make_np_array(Value::list({NdArray::from_vector<float>({1, 2}), NdArray::from_vector<float>({3, 4})}));
  EXPECT_EQ(stacked, NdArray::from_vector<float>({1, 2, 3, 4}, Shape{2, 2}));
  EXPECT_EQ(make_np_array(Value::list()).shape(), (Shape{0}));
  EXPECT_THROW(make_np_array(Value::list({Value::list({1, 2}), Value::list({3})})), InvalidArgumentError);
  EXPECT_THROW(make_np_array(Value::list({1, Value::list({2})})), InvalidArgumentError);
  EXPECT_THROW(make_np_array("x"), TypeError);
  EXPECT_THROW(make_np_array(Value()), TypeError);
  // Lists nested deeper than a shape may have: refused as a shape refuses a ninth dimension.
  Value deep(1);
  for (std::size_t i = 0; i <= Shape::kMaxDims; ++i) deep = Value::list({deep});
  EXPECT_THAT(error_of([&] { make_np_array(deep); }), HasSubstr("shape has more than 8 dimensions"));
  EXPECT_THROW(make_np_array(Value::list({Value::list({1}), Value::list({"x"})})), TypeError);
}

TEST(MakeArray, ArraysPassUnchangedAndMoveWithoutACopy) {
  const NdArray a = NdArray::from_vector<float>({1, 2, 3, 4}, Shape{2, 2});
  const Value held(a);
  EXPECT_EQ(make_np_array(held), a);
  Value moving(NdArray::from_vector<float>({1, 2, 3, 4}, Shape{2, 2}));
  const float* data = moving.as_array().data<float>();
  const NdArray out = make_np_array(std::move(moving));
  EXPECT_EQ(out.data<float>(), data);
  EXPECT_EQ(out, a);
}
