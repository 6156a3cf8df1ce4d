// Action masks of the processor base: the static helpers that flatten structured masks, length
// alignment, and the merge of the teacher's and the simulator's masks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "common/errors.hpp"
#include "processor/skillkit.hpp"
#include "support/processor_fixture.hpp"

using namespace tavrin_test;
using ::testing::ElementsAre;

namespace {

using P = BaseAgentProcessor;

// ---- _format_action_mask_for_onnx ----

TEST(FormatMaskForOnnx, AbsentStaysAbsent) { EXPECT_FALSE(P::_format_action_mask_for_onnx(Value()).has_value()); }

TEST(FormatMaskForOnnx, MapValuesJoinInInsertionOrderIgnoringKeys) {
  Value mask(Map{{"a", Value::list({1, 0})}, {"b", Value(1)}});
  auto out = P::_format_action_mask_for_onnx(mask);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->dtype(), DType::float64);
  EXPECT_EQ(out->shape(), (Shape{3}));
  EXPECT_THAT(doubles(*out), ElementsAre(1.0, 0.0, 1.0));

  // Keys out of alphabetical order keep their insertion order.
  auto reversed = P::_format_action_mask_for_onnx(Value(Map{{"z", Value(0)}, {"a", Value::list({1, 1})}}));
  EXPECT_THAT(doubles(*reversed), ElementsAre(0.0, 1.0, 1.0));
}

TEST(FormatMaskForOnnx, EmptyMapsAndSequencesGiveAnEmptyFloat64Vector) {
  for (const Value& mask : {Value(Map{}), Value::list(), Value::tuple({})}) {
    auto out = P::_format_action_mask_for_onnx(mask);
    ASSERT_TRUE(out) << mask.str();
    EXPECT_EQ(out->dtype(), DType::float64);
    EXPECT_EQ(out->shape(), (Shape{0})) << mask.str();
  }
}

TEST(FormatMaskForOnnx, SequencesListsAndTuplesNestAndMixWithArrays) {
  Value mask = Value::tuple({Value::list({1, 0}), Value(i8({0, 1})), Value(Map{{"x", Value(true)}}), Value(0.0)});
  auto out = P::_format_action_mask_for_onnx(mask);
  EXPECT_EQ(out->dtype(), DType::float64);
  EXPECT_THAT(doubles(*out), ElementsAre(1.0, 0.0, 0.0, 1.0, 1.0, 0.0));
}

TEST(FormatMaskForOnnx, ScalarsBecomeOneElementVectors) {
  for (const Value& scalar : {Value(true), Value(1), Value(1.0)}) {
    auto out = P::_format_action_mask_for_onnx(scalar);
    EXPECT_EQ(out->shape(), (Shape{1})) << scalar.str();
    EXPECT_EQ(out->dtype(), DType::float64);
    EXPECT_EQ(out->at_double(0), 1.0);
  }
  EXPECT_EQ(P::_format_action_mask_for_onnx(Value(false))->at_double(0), 0.0);
}

TEST(FormatMaskForOnnx, ArraysKeepTheirShapeAndFloat64IsNotCopiedWhenMoved) {
  NdArray two_d = i8({1, 0, 0, 1}).reshape(Shape{2, 2});
  auto out = P::_format_action_mask_for_onnx(Value(two_d));
  EXPECT_EQ(out->shape(), (Shape{2, 2}));
  EXPECT_EQ(out->dtype(), DType::float64);
  EXPECT_THAT(doubles(*out), ElementsAre(1.0, 0.0, 0.0, 1.0));

  Value already(f64({1.0, 0.0}));
  const double* data = already.as_array().data<double>();
  auto moved = P::_format_action_mask_for_onnx(std::move(already));
  EXPECT_EQ(moved->data<double>(), data);
}

TEST(FormatMaskForOnnx, AbsentInsideAStructureFails) {
  EXPECT_THROW(P::_format_action_mask_for_onnx(Value::list({Value(1), Value()})), Error);
  EXPECT_THROW(P::_format_action_mask_for_onnx(Value(Map{{"a", Value(1)}, {"b", Value()}})), Error);
  EXPECT_THROW(P::_format_action_mask_for_onnx(Value::list({Value()})), Error);
}

TEST(FormatMaskForOnnx, PartsThatCannotBeJoinedFail) {
  // A 2-D part next to a 1-D part.
  Value mask = Value::list({Value(i8({1, 0}).reshape(Shape{1, 2})), Value::list({1})});
  EXPECT_THROW(P::_format_action_mask_for_onnx(mask), Error);
  EXPECT_THROW(P::_format_action_mask_for_onnx(Value("1")), TypeError);
}

// ---- _format_action_mask_for_combine ----

TEST(FormatMaskForCombine, AbsentGivesAnEmptyInt8Vector) {
  NdArray out = P::_format_action_mask_for_combine(Value());
  EXPECT_EQ(out.dtype(), DType::int8);
  EXPECT_EQ(out.shape(), (Shape{0}));
}

TEST(FormatMaskForCombine, TwoDimensionalArraysFlattenRowByRow) {
  NdArray two_d = f64({1, 1, 0, 0, 1, 0}).reshape(Shape{2, 3});
  NdArray out = P::_format_action_mask_for_combine(Value(two_d));
  EXPECT_EQ(out.dtype(), DType::int8);
  EXPECT_EQ(out.shape(), (Shape{6}));
  EXPECT_THAT(doubles(out), ElementsAre(1, 1, 0, 0, 1, 0));

  NdArray from_int64 =
      P::_format_action_mask_for_combine(Value(NdArray::from_vector<std::int64_t>({0, 1, 1, 0}).reshape(Shape{2, 2})));
  EXPECT_EQ(from_int64.dtype(), DType::int8);
  EXPECT_THAT(doubles(from_int64), ElementsAre(0, 1, 1, 0));
}

TEST(FormatMaskForCombine, StructuredMasksAndFractionsTruncateTowardZero) {
  Value mask(Map{{"a", Value::list({0.7, 1.0})}, {"b", Value(f32({1.9f}))}});
  NdArray out = P::_format_action_mask_for_combine(mask);
  EXPECT_EQ(out.dtype(), DType::int8);
  EXPECT_THAT(doubles(out), ElementsAre(0, 1, 1));
}

// ---- _align_mask_length ----

TEST(AlignMaskLength, EqualSizeReturnsTheSameArray) {
  NdArray mask = i8({1, 0, 1, 1});
  const std::int8_t* data = mask.data<std::int8_t>();
  NdArray out = P::_align_mask_length(std::move(mask), 4);
  EXPECT_EQ(out.data<std::int8_t>(), data);
  EXPECT_THAT(doubles(out), ElementsAre(1, 0, 1, 1));
}

TEST(AlignMaskLength, LongerMasksKeepTheirFirstEntries) {
  NdArray out = P::_align_mask_length(i8({0, 1, 0, 0}), 2);
  EXPECT_EQ(out.dtype(), DType::int8);
  EXPECT_THAT(doubles(out), ElementsAre(0, 1));
  EXPECT_EQ(P::_align_mask_length(i8({0, 1}), 0).size(), 0);
}

TEST(AlignMaskLength, ShorterMasksArePaddedWithOnesAtTheEnd) {
  NdArray out = P::_align_mask_length(i8({0, 0}), 5);
  EXPECT_EQ(out.dtype(), DType::int8);
  EXPECT_THAT(doubles(out), ElementsAre(0, 0, 1, 1, 1));

  // Padding joins the mask's own element type with int8.
  NdArray f = P::_align_mask_length(f64({0.0}), 3);
  EXPECT_EQ(f.dtype(), DType::float64);
  EXPECT_THAT(doubles(f), ElementsAre(0.0, 1.0, 1.0));
  EXPECT_THAT(doubles(P::_align_mask_length(NdArray(DType::int8, Shape{0}), 2)), ElementsAre(1, 1));
}

TEST(AlignMaskLength, DynamicSizesTruncateAndOthersAreRejected) {
  EXPECT_EQ(P::_align_mask_length(i8({1, 0, 1}), Value(2.9)).size(), 2);
  EXPECT_EQ(P::_align_mask_length(i8({1, 0, 1}), Value(4)).size(), 4);
  EXPECT_EQ(P::_align_mask_length(i8({1, 0, 1}), Value(true)).size(), 1);
  EXPECT_THROW(P::_align_mask_length(i8({1}), Value("2")), TypeError);
  EXPECT_THROW(P::_align_mask_length(i8({1}), Value()), TypeError);
  EXPECT_THROW(P::_align_mask_length(i8({1}), -1), InvalidArgumentError);
}

// ---- compute_action_mask ----

struct ComputeMask : ::testing::Test {
  CallLogPtr log = std::make_shared<CallLog>();
  TeacherScriptPtr script = std::make_shared<TeacherScript>();

  std::unique_ptr<TestProcessor> make(std::int64_t n, bool custom = false) {
    tavrin_core::AgentNode::Options o;
    o.name = "masked";
    o.action_space = discrete(n);
    o.custom_action_space = custom;
    auto node = agent(o);
    return std::make_unique<TestProcessor>(context_for(orchestration({}, {node}), node));
  }
  void give_teacher(TestProcessor& p) { p.teacher = std::make_shared<RecordingTeacher>("teacher", 1, log, script); }
  NdArray mask(TestProcessor& p, const Value& sim, const Value& obs = Value(Map{}), const Value& prev = Value()) {
    return run(p.compute_action_mask(obs, sim, prev));
  }
};

TEST_F(ComputeMask, WithoutTeacherOrSimulatorMaskEverythingIsAllowedInFloat64) {
  auto p = make(3);
  NdArray out = mask(*p, Value());
  EXPECT_EQ(out.dtype(), DType::float64);
  EXPECT_EQ(out.shape(), (Shape{3}));
  EXPECT_THAT(doubles(out), ElementsAre(1.0, 1.0, 1.0));
}

TEST_F(ComputeMask, TeacherAndSimulatorMasksAreCombined) {
  auto p = make(4);
  give_teacher(*p);
  script->action_mask = [](const Value&, const Value&) { return Value(i8({1, 1, 0, 1})); };
  EXPECT_THAT(doubles(mask(*p, Value::list({0, 1, 1, 1}))), ElementsAre(0.0, 1.0, 0.0, 1.0));
}

TEST_F(ComputeMask, TheTeacherIsAskedWithTheSampleAndThePreviousAction) {
  auto p = make(2);
  give_teacher(*p);
  mask(*p, Value(), Value(Map{{"pos", Value(3)}}), Value(1));
  EXPECT_THAT(log->calls, ElementsAre("teacher#1.compute_action_mask({'pos': 3}, 1)"));
}

TEST_F(ComputeMask, CustomActionSpaceIgnoresTheSimulatorMask) {
  auto p = make(3, /*custom=*/true);
  EXPECT_THAT(doubles(mask(*p, Value(i8({0, 0, 0})))), ElementsAre(1.0, 1.0, 1.0));
  // The teacher still restricts.
  give_teacher(*p);
  script->action_mask = [](const Value&, const Value&) { return Value::list({1, 0, 1}); };
  EXPECT_THAT(doubles(mask(*p, Value(i8({0, 0, 0})))), ElementsAre(1.0, 0.0, 1.0));
}

TEST_F(ComputeMask, AShortTeacherMaskIsPaddedWithAllowedEntries) {
  auto p = make(5);
  give_teacher(*p);
  script->action_mask = [](const Value&, const Value&) { return Value(i8({1, 0, 1})); };
  NdArray out = mask(*p, Value(i8({1, 1, 1, 1, 0})));
  EXPECT_THAT(doubles(out), ElementsAre(1.0, 0.0, 1.0, 1.0, 0.0));
}

TEST_F(ComputeMask, AShortSimulatorMaskIsPaddedAndNothingIsCut) {
  auto p = make(3);
  give_teacher(*p);
  script->action_mask = [](const Value&, const Value&) { return Value(i8({1, 1, 0, 1, 0})); };
  NdArray out = mask(*p, Value(i8({0, 1, 1})));
  EXPECT_EQ(out.size(), 5);
  EXPECT_THAT(doubles(out), ElementsAre(0.0, 1.0, 0.0, 1.0, 0.0));
}

TEST_F(ComputeMask, AnAbsentTeacherMaskMeansNoRestriction) {
  auto p = make(3);
  give_teacher(*p);  // the script yields no mask
  EXPECT_THAT(doubles(mask(*p, Value::list({1, 0, 1}))), ElementsAre(1.0, 0.0, 1.0));
  EXPECT_EQ(log->calls.size(), 1u);
}

TEST_F(ComputeMask, StructuredSimulatorMasksAreFlattenedBeforeCombination) {
  auto p = make(3);
  EXPECT_THAT(doubles(mask(*p, Value(Map{{"a", Value::list({1, 0})}, {"b", Value(0)}}))), ElementsAre(1.0, 0.0, 0.0));
}

TEST_F(ComputeMask, TeacherFailuresPropagate) {
  auto p = make(3);
  give_teacher(*p);
  script->action_mask = [](const Value&, const Value&) -> Value { throw tavrin_inference::KeyError("mask"); };
  EXPECT_THROW(mask(*p, Value()), tavrin_inference::KeyError);
  script->action_mask = [](const Value&, const Value&) { return Value::list({Value(1), Value()}); };
  EXPECT_THROW(mask(*p, Value()), Error);
}

}  // namespace
