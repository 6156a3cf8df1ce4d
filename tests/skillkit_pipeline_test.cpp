// The sensor pipeline of the processor base: conversion (with perceptors), teacher transform,
// filtering, normalisation, the action mask and flattening, in that order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "processor/skillkit.hpp"
#include "support/processor_fixture.hpp"

namespace {

using namespace tavrin_test;
using namespace ::testing;
using tavrin_inference::Value;

std::vector<std::string> keys_of(const Map& m) {
  std::vector<std::string> out;
  for (const auto& [k, _] : m) out.push_back(k);
  return out;
}

Value one(float v) { return Value(f32({v})); }

// Sensors pos in [0, 10] and extra in [0, 4] are min-max normalised, vel is taken as it is; the
// simulator reports pos and vel, a perceptor adds extra.
struct PipelineTest : ::testing::Test {
  CallLogPtr log = std::make_shared<CallLog>();
  TeacherScriptPtr script = std::make_shared<TeacherScript>();
  std::string perceptor_cls = register_perceptor("P", log, Map{{"extra", one(1.0f)}});
  Value raw = Value(Map{{"pos", Value(7.5)}, {"vel", Value(0.5)}});
  // What the conversion makes of `raw`, and of it with the perceptor's sensor.
  Value converted = Value(Map{{"pos", one(7.5f)}, {"vel", one(0.5f)}});
  Value perceived = Value(Map{{"pos", one(7.5f)}, {"vel", one(0.5f)}, {"extra", one(1.0f)}});

  std::unique_ptr<TestProcessor> make(const std::string& impl_cls, bool controller = false,
                                      bool with_perceptor = true) {
    auto node = agent(walker_options(impl_cls, controller));
    std::vector<tavrin_core::PerceptorNodePtr> perceptors;
    if (with_perceptor) perceptors.push_back(std::make_shared<PerceptorNode>("p", perceptor_cls, false));
    auto orch = orchestration({sensor("pos", box(0, 10), Normalization::min_max), sensor("vel", box(-1, 1)),
                               sensor("extra", box(0, 4), Normalization::min_max)},
                              {node}, perceptors);
    return std::make_unique<TestProcessor>(context_for(orch, node));
  }
  std::unique_ptr<TestProcessor> initialised(const std::string& impl_cls, bool controller = false,
                                             bool with_perceptor = true) {
    auto p = make(impl_cls, controller, with_perceptor);
    run(p->init());
    log->clear();
    return p;
  }
};

TEST_F(PipelineTest, StepsRunInOrderAndTheMaskSeesTheTransformedUnfilteredSample) {
  script->filtered_keys = Value::list({"pos", "extra"});
  script->transform_sensors = [](Value s) {
    s.as_map().set("vel", Value(f32({-0.25f})));
    return s;
  };
  // Forbids action 1 only when it sees the sensor that the filter drops.
  script->action_mask = [](const Value& s, const Value&) {
    return s.as_map().contains("vel") ? Value::list({1, 0, 1}) : Value::list({0, 0, 0});
  };
  auto p = initialised(register_teacher("teacher", log, script));
  auto [filtered, obs] = run(p->process_sim_sensors(raw, Value(), Value(2)));

  Value transformed(Map{{"pos", one(7.5f)}, {"vel", one(-0.25f)}, {"extra", one(1.0f)}});
  EXPECT_THAT(log->calls, ElementsAre("P.perceive(" + converted.str() + ")",
                                      "teacher#1.transform_sensors(" + perceived.str() + ", None)",
                                      "teacher#1.compute_action_mask(" + transformed.str() + ", 2)"));
  // The second result is the transformed full sample, not normalised.
  EXPECT_EQ(obs, transformed);

  EXPECT_THAT(keys_of(filtered), ElementsAre("observation", "action_mask"));
  const NdArray& observation = filtered.at("observation").as_array();
  EXPECT_EQ(observation.dtype(), DType::float32);
  // pos 7.5 of [0, 10] and extra 1 of [0, 4], mapped onto [-1, 1].
  EXPECT_THAT(doubles(observation), ElementsAre(DoubleEq(0.5), DoubleEq(-0.5)));
  const NdArray& mask = filtered.at("action_mask").as_array();
  EXPECT_EQ(mask.dtype(), DType::float64);
  EXPECT_THAT(doubles(mask), ElementsAre(1.0, 0.0, 1.0));
}

TEST_F(PipelineTest, TheObservationFollowsTheKeptSensorsAndNormalisesOnlyWhatItKeeps) {
  script->filtered_keys = Value::list({"vel", "pos"});
  auto p = initialised(register_teacher("teacher", log, script));
  auto [filtered, obs] = run(p->process_sim_sensors(raw));
  // vel is kept raw, pos normalised; extra is neither kept nor normalised.
  EXPECT_THAT(doubles(filtered.at("observation").as_array()), ElementsAre(DoubleEq(0.5), DoubleEq(0.5)));
  EXPECT_EQ(obs.as_map().at("extra"), one(1.0f));
}

TEST_F(PipelineTest, AControllerNeverTransformsSensorsEvenWithATeacher) {
  TeacherScriptPtr controller_script = std::make_shared<TeacherScript>();
  auto p = initialised(register_controller("controller", log, controller_script), /*controller=*/true);
  script->transform_sensors = [](const Value&) { return Value(Map{}); };
  p->teacher = std::make_shared<RecordingTeacher>("teacher", 1, log, script);
  auto [filtered, obs] = run(p->process_sim_sensors(raw));
  EXPECT_EQ(obs, perceived);
  // The teacher is still asked for its mask; nothing else of it runs.
  EXPECT_THAT(log->starting_with("teacher"),
              ElementsAre("teacher#1.compute_action_mask(" + perceived.str() + ", None)"));
}

TEST_F(PipelineTest, WithoutTeacherOrControllerTheConvertedSensorsPassThrough) {
  auto p = initialised("");
  p->teacher = nullptr;
  auto [filtered, obs] = run(p->process_sim_sensors(raw, Value::list({0, 1, 1})));
  EXPECT_EQ(obs, perceived);
  EXPECT_THAT(doubles(filtered.at("observation").as_array()),
              ElementsAre(DoubleEq(0.5), DoubleEq(0.5), DoubleEq(-0.5)));
  EXPECT_THAT(doubles(filtered.at("action_mask").as_array()), ElementsAre(0.0, 1.0, 1.0));
}

TEST_F(PipelineTest, AnAbsentFilteredSampleNamesTheAgentAndEndsRightAfterTheName) {
  script->transform_sensors = [](const Value&) { return Value(); };
  auto p = initialised(register_teacher("teacher", log, script));
  try {
    run(p->process_sim_sensors(raw));
    FAIL() << "no error for an absent sample";
  } catch (const Error& e) {
    EXPECT_STREQ(e.kind(), "Error");
    EXPECT_EQ(std::string(e.what()), "Sensor values is 'None' (original: None, filter space: " +
                                         p->filtered_korvath_sensor_space->str() + ") for agent 'walker");
  }
  EXPECT_THAT(log->starting_with("teacher#1.compute_action_mask"), IsEmpty());
}

TEST_F(PipelineTest, AKeptSensorMissingFromTheSampleIsAKeyError) {
  // extra is kept but, without the perceptor, nothing supplies it.
  auto p = initialised("", false, /*with_perceptor=*/false);
  EXPECT_THROW(run(p->process_sim_sensors(raw)), KeyError);
}

TEST_F(PipelineTest, BeforeInitThereIsNoSpaceToFlattenWith) {
  auto p = make("");
  EXPECT_THROW(run(p->process_sim_sensors(raw)), Error);
}

TEST_F(PipelineTest, AFailedStepLeavesTheProcessorUsable) {
  bool fail = true;
  script->transform_sensors = [&fail](Value s) {
    if (fail) throw tavrin_inference::RuntimeError("sensor glitch");
    return s;
  };
  auto p = initialised(register_teacher("teacher", log, script));
  EXPECT_THROW(run(p->process_sim_sensors(raw)), tavrin_inference::RuntimeError);
  fail = false;
  auto [filtered, obs] = run(p->process_sim_sensors(raw));
  EXPECT_EQ(obs, perceived);
}

// A subclass's mask is the one the pipeline uses.
class FixedMaskProcessor : public TestProcessor {
 public:
  using TestProcessor::TestProcessor;
  asio::awaitable<NdArray> compute_action_mask(const Value& tavrin_obs, const Value& sim_action_mask,
                                               const Value& previous_action) override {
    seen.push_back(Value::list({tavrin_obs, sim_action_mask, previous_action}));
    co_return f64({0.0, 0.0, 1.0});
  }
  std::vector<Value> seen;
};

TEST_F(PipelineTest, ASubclassMaskOverrideIsCalledThroughTheInstance) {
  auto base = make("");
  FixedMaskProcessor p(base->context);
  run(p.init());
  auto [filtered, obs] = run(p.process_sim_sensors(raw, Value::list({1, 1, 1}), Value(1)));
  EXPECT_THAT(doubles(filtered.at("action_mask").as_array()), ElementsAre(0.0, 0.0, 1.0));
  ASSERT_EQ(p.seen.size(), 1u);
  EXPECT_EQ(p.seen[0], Value::list({perceived, Value::list({1, 1, 1}), Value(1)}));
}

}  // namespace
