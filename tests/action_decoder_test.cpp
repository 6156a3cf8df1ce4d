#include "skill/action_decoder.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "common/errors.hpp"

using namespace tavrin_inference;
using spaces::SpacePtr;
using ::testing::HasSubstr;

namespace {

constexpr double kMasked = -3.4e38;  // the penalty given to forbidden entries
const double kNaN = std::numeric_limits<double>::quiet_NaN();

NdArray row_of(DType dtype, std::vector<double> values) {
  return NdArray::from_vector(std::move(values)).astype(dtype);
}

template <class T>
NdArray array_of(std::vector<T> values, Shape shape) {
  return NdArray::from_vector(std::move(values), shape);
}

SpacePtr discrete(std::int64_t n) { return std::make_shared<spaces::Discrete>(n); }
SpacePtr box(Shape shape, DType dtype = DType::float32) {
  return std::make_shared<spaces::Box>(-2.0, 2.0, shape, dtype);
}
SpacePtr multi_discrete(std::vector<std::int64_t> nvec, Shape shape) {
  return std::make_shared<spaces::MultiDiscrete>(array_of(std::move(nvec), shape));
}
SpacePtr multi_binary(Shape shape) { return std::make_shared<spaces::MultiBinary>(shape); }
SpacePtr tuple(std::vector<SpacePtr> parts) { return std::make_shared<spaces::Tuple>(std::move(parts)); }
SpacePtr dict(spaces::SpaceEntries parts) { return std::make_shared<spaces::Dict>(std::move(parts)); }

// A space type derived from Discrete that reports its own kind name.
class RenamedDiscrete : public spaces::Discrete {
 public:
  using Discrete::Discrete;
  std::string type_name() const override { return "RenamedDiscrete"; }
};

// A space type derived from Discrete that keeps its base's kind name.
class PlainDerivedDiscrete : public spaces::Discrete {
 public:
  using Discrete::Discrete;
};

// A space class of unrelated lineage that reports one of the known kind names (as a space of a
// second copy of the space library would) but has none of that kind's attributes.
class ForeignSpace : public spaces::Space {
 public:
  explicit ForeignSpace(std::string name) : name_(std::move(name)) {}
  std::string type_name() const override { return name_; }
  std::string str() const override { return name_ + "()"; }
  SpacePtr flatten() const override { return nullptr; }
  NdArray flatten_sample(const Value&) const override { return NdArray(); }
  std::int64_t flat_size() const override { return 0; }
  SpacePtr get_action_mask_space() const override { return nullptr; }
  Value get_no_action_mask() const override { return Value(); }
  bool contains(const Value&) const override { return false; }
  Value coerce(const Value& value, const std::string&) const override { return value; }

 private:
  std::string name_;
};

// Records every space it is asked to decode, then decodes as the base does; "Discrete" spaces are
// answered with a marker instead, so a test can see whether nested decoding went through here.
class RecordingDecoder : public ActionDecoder {
 public:
  explicit RecordingDecoder(bool replace_discrete = false) : replace_discrete_(replace_discrete) {}

  std::pair<Value, std::int64_t> _decode_action_dist_inputs(const NdArray& action_dist_inputs,
                                                            const spaces::Space& action_space,
                                                            std::int64_t offset = 0) const override {
    seen.push_back(_space_type_name(action_space) + "@" + std::to_string(offset));
    if (replace_discrete_ && _space_type_name(action_space) == "Discrete") {
      return {Value(-7), offset + dynamic_cast<const spaces::Discrete&>(action_space).n()};
    }
    return ActionDecoder::_decode_action_dist_inputs(action_dist_inputs, action_space, offset);
  }

  mutable std::vector<std::string> seen;

 private:
  bool replace_discrete_;
};

// Every case that reads numbers runs once on a float32 row and once on a float64 row.
class DecodeRow : public ::testing::TestWithParam<DType> {
 protected:
  NdArray row(std::vector<double> values) const { return row_of(GetParam(), std::move(values)); }
  ActionDecoder decoder;
};

INSTANTIATE_TEST_SUITE_P(RowTypes, DecodeRow, ::testing::Values(DType::float32, DType::float64),
                         [](const auto& info) { return std::string(dtype_name(info.param)); });

}  // namespace

namespace tavrin_inference {
// Readable names for the parameterised cases in failure output.
void PrintTo(DType dtype, std::ostream* os) { *os << dtype_name(dtype); }
}  // namespace tavrin_inference

// ---- Discrete -------------------------------------------------------------------------------

TEST_P(DecodeRow, DiscreteTakesTheFirstOfEqualLargestEntries) {
  const auto [action, position] = decoder._decode_action_dist_inputs(row({0.5, 2.0, 2.0}), *discrete(3));
  EXPECT_EQ(action, Value(1));
  EXPECT_TRUE(action.is_int());
  EXPECT_EQ(position, 3);
}

TEST_P(DecodeRow, DiscreteReadsOnlyItsRangeAtTheGivenPosition) {
  // Large values before position 4 and after its three entries must not be looked at.
  const NdArray inputs = row({9.0, 9.0, 9.0, 9.0, 0.1, 0.7, 0.3, 9.0});
  const auto [action, position] = decoder._decode_action_dist_inputs(inputs, *discrete(3), 4);
  EXPECT_EQ(action, Value(1));
  EXPECT_EQ(position, 7);
}

TEST_P(DecodeRow, DiscreteNaNCountsAsLargestAndTheFirstNaNWins) {
  EXPECT_EQ(decoder._decode_action_dist_inputs(row({1.0, kNaN, 5.0, kNaN}), *discrete(4)).first, Value(1));
  EXPECT_EQ(decoder._decode_action_dist_inputs(row({kNaN, 5.0, kNaN}), *discrete(3)).first, Value(0));
  EXPECT_EQ(decoder._decode_action_dist_inputs(row({0.0, 5.0, 1.0, kNaN}), *discrete(3)).first,
            Value(1));  // the NaN lies outside the range
}

TEST_P(DecodeRow, DiscreteMaskedEntriesLoseAndAFullyMaskedRangeGivesItsFirstIndex) {
  EXPECT_EQ(decoder._decode_action_dist_inputs(row({kMasked, kMasked, kMasked}), *discrete(3)).first, Value(0));
  EXPECT_EQ(decoder._decode_action_dist_inputs(row({4.0, kMasked, kMasked, kMasked}), *discrete(3), 1).first, Value(0));
  EXPECT_EQ(decoder._decode_action_dist_inputs(row({kMasked, -50.0, kMasked}), *discrete(3)).first, Value(1));
}

TEST_P(DecodeRow, DiscreteRangePastTheEndUsesTheEntriesThatExist) {
  // Two of the four entries exist: the choice is among them, the position still advances by n.
  const auto [action, position] = decoder._decode_action_dist_inputs(row({3.0, 0.2, 0.8}), *discrete(4), 1);
  EXPECT_EQ(action, Value(1));
  EXPECT_EQ(position, 5);
}

TEST(ActionDecoder, MaskAddedToAFloat32RowDecodesOnTheFloat64Sum) {
  // The processor adds the float64 model-form penalties to the model's float32 row.
  const NdArray logits = row_of(DType::float32, {1.0, 5.0, 2.0});
  const NdArray penalties = row_of(DType::float64, {0.0, kMasked, 0.0});
  const NdArray masked = logits + penalties;
  ASSERT_EQ(masked.dtype(), DType::float64);
  EXPECT_EQ(ActionDecoder()._decode_action_dist_inputs(masked, *discrete(3)).first, Value(2));
}

// ---- Box ------------------------------------------------------------------------------------

TEST_P(DecodeRow, BoxClipsTheMeansAndSkipsTheLogStds) {
  for (DType space_dtype : {DType::float32, DType::float64}) {
    SCOPED_TRACE(dtype_name(space_dtype));
    const NdArray inputs = row({3.0, -0.25, 0.1, 0.1, 42.0});
    const NdArray before = inputs;  // NOLINT(performance-unnecessary-copy-initialization): a snapshot to compare with
    const auto [action, position] = decoder._decode_action_dist_inputs(inputs, *box(Shape{2}, space_dtype));
    EXPECT_EQ(action, Value(row_of(space_dtype, {1.0, -0.25})));
    EXPECT_EQ(position, 4);
    EXPECT_EQ(inputs, before);  // the clip works on a copy
  }
}

TEST_P(DecodeRow, BoxClipsBelowAndMapsAMaskedMeanToMinusOne) {
  const auto [action, position] =
      decoder._decode_action_dist_inputs(row({-7.0, kMasked, 1.0, 0.0, 0.0, 0.0}), *box(Shape{3}));
  EXPECT_EQ(action, Value(row_of(DType::float32, {-1.0, -1.0, 1.0})));
  EXPECT_EQ(position, 6);
}

TEST_P(DecodeRow, BoxOfTheEmptyShapeConsumesTwoEntries) {
  const auto [action, position] = decoder._decode_action_dist_inputs(row({9.0, 0.5, -3.0, 7.0}), *box(Shape{}), 1);
  EXPECT_EQ(action, Value(NdArray::scalar(0.5f)));
  EXPECT_EQ(action.as_array().shape(), Shape{});
  EXPECT_EQ(position, 3);
}

TEST_P(DecodeRow, BoxTakesItsShapeRowMajor) {
  const auto [action, position] = decoder._decode_action_dist_inputs(
      row({0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0, 0, 0, 0, 0, 0}), *box(Shape{2, 3}, DType::float64));
  const NdArray means = row({0.1, 0.2, 0.3, 0.4, 0.5, 0.6}).astype(DType::float64).reshape(Shape{2, 3});
  EXPECT_EQ(action, Value(means));
  EXPECT_EQ(position, 12);
}

TEST(ActionDecoder, BoxOfWholeShapeFromARowOfTheSameType) {
  // Exact values when nothing is rounded on the way: a float32 row into a float32 Box.
  const NdArray inputs = array_of<float>({0.1f, -0.2f, 0.3f, 0.4f, 0, 0, 0, 0}, Shape{8});
  const auto [action, position] = ActionDecoder()._decode_action_dist_inputs(inputs, *box(Shape{2, 2}));
  EXPECT_EQ(action, Value(array_of<float>({0.1f, -0.2f, 0.3f, 0.4f}, Shape{2, 2})));
  EXPECT_EQ(position, 8);
}

TEST_P(DecodeRow, BoxOfAnIntegerTypeConvertsAfterTheClip) {
  const auto [action, position] =
      decoder._decode_action_dist_inputs(row({0.9, -3.0, kNaN, 0, 0, 0}), *box(Shape{3}, DType::int64));
  EXPECT_EQ(action, Value(array_of<std::int64_t>({0, -1, 0}, Shape{3})));
  EXPECT_EQ(position, 6);
}

TEST_P(DecodeRow, BoxWithTooFewMeansFailsInTheReshape) {
  try {
    decoder._decode_action_dist_inputs(row({0.0, 0.5, 0.5}), *box(Shape{3}), 1);
    FAIL() << "expected InvalidArgumentError";
  } catch (const InvalidArgumentError& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot reshape array of size 2 into shape"));
  }
}

// ---- MultiDiscrete --------------------------------------------------------------------------

TEST_P(DecodeRow, MultiDiscreteTakesOneChoicePerComponent) {
  const auto [action, position] =
      decoder._decode_action_dist_inputs(row({0, 5, 1, 9, 9}), *multi_discrete({3, 2}, Shape{2}));
  EXPECT_EQ(action, Value(array_of<std::int64_t>({1, 0}, Shape{2})));
  EXPECT_EQ(position, 5);
}

TEST_P(DecodeRow, MultiDiscreteWithATwoDimensionalNvecIsRowMajor) {
  // nvec [[2, 3], [1, 4]]: components of sizes 2, 3, 1, 4 in that order.
  const NdArray inputs = row({0.0, 1.0, /**/ 7.0, 0.0, 0.0, /**/ -5.0, /**/ 0.0, 0.0, 0.0, 3.0});
  const auto [action, position] =
      decoder._decode_action_dist_inputs(inputs, *multi_discrete({2, 3, 1, 4}, Shape{2, 2}));
  EXPECT_EQ(action, Value(array_of<std::int64_t>({1, 0, 0, 3}, Shape{2, 2})));
  EXPECT_EQ(position, 10);
}

TEST_P(DecodeRow, MultiDiscreteMaskedAndNaNEntries) {
  const NdArray inputs = row({kMasked, kMasked, /**/ 1.0, kNaN, kNaN, /**/ kMasked, 2.0});
  const auto [action, position] = decoder._decode_action_dist_inputs(inputs, *multi_discrete({2, 3, 2}, Shape{3}));
  EXPECT_EQ(action, Value(array_of<std::int64_t>({0, 1, 1}, Shape{3})));
  EXPECT_EQ(position, 7);
}

TEST_P(DecodeRow, MultiDiscreteComponentWithoutEntriesFails) {
  try {
    decoder._decode_action_dist_inputs(row({0.0, 1.0, 2.0}), *multi_discrete({3, 2}, Shape{2}));
    FAIL() << "expected InvalidArgumentError";
  } catch (const InvalidArgumentError& e) {
    EXPECT_STREQ(e.what(), "attempt to get argmax of an empty sequence");
  }
}

// ---- MultiBinary ----------------------------------------------------------------------------

TEST_P(DecodeRow, MultiBinaryIsOneOnlyForPositiveLogits) {
  const auto [action, position] = decoder._decode_action_dist_inputs(row({0.0, 1e-9, -2.0}), *multi_binary(Shape{3}));
  EXPECT_EQ(action, Value(array_of<std::int8_t>({0, 1, 0}, Shape{3})));
  EXPECT_EQ(position, 3);
}

TEST_P(DecodeRow, MultiBinaryNaNAndMaskedGiveZeroAndTheShapeIsKept) {
  const auto [action, position] =
      decoder._decode_action_dist_inputs(row({5.0, kNaN, kMasked, 0.5, 3.0}), *multi_binary(Shape{2, 2}));
  EXPECT_EQ(action, Value(array_of<std::int8_t>({1, 0, 0, 1}, Shape{2, 2})));
  EXPECT_EQ(position, 4);
}

TEST_P(DecodeRow, MultiBinaryWithTooFewLogitsFailsInTheReshape) {
  try {
    decoder._decode_action_dist_inputs(row({1.0, 1.0}), *multi_binary(Shape{3}));
    FAIL() << "expected InvalidArgumentError";
  } catch (const InvalidArgumentError& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot reshape array of size 2 into shape"));
  }
}

// ---- Tuple and Dict -------------------------------------------------------------------------

TEST_P(DecodeRow, TupleDecodesItsPartsInOrder) {
  const NdArray inputs = row({0.1, 0.9, 0.3, 5.0, 8.0, 8.0});
  const auto [action, position] = decoder._decode_action_dist_inputs(inputs, *tuple({discrete(2), box(Shape{1})}));
  const Value expected = Value::tuple({Value(1), Value(row_of(DType::float32, {0.3}))});
  EXPECT_EQ(action, expected);
  EXPECT_TRUE(action.is_tuple());
  EXPECT_EQ(position, 4);  // the trailing entries are left over
}

TEST_P(DecodeRow, EmptyTupleLeavesThePositionUnchanged) {
  const auto [action, position] = decoder._decode_action_dist_inputs(row({1.0, 2.0, 3.0, 4.0}), *tuple({}), 3);
  EXPECT_EQ(action, Value::tuple({}));
  EXPECT_EQ(position, 3);
}

TEST_P(DecodeRow, DictFollowsTheOrderOfItsSpaces) {
  // "b" comes first in the space, so it owns entries 0 and 1; "a" owns 2 and 3.
  const NdArray inputs = row({0.0, 1.0, -1.0, 1.0});
  const auto [action, position] =
      decoder._decode_action_dist_inputs(inputs, *dict({{"b", discrete(2)}, {"a", multi_binary(Shape{2})}}));
  ASSERT_TRUE(action.is_map());
  std::vector<std::string> keys;
  for (const auto& [key, value] : action.as_map()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(action["b"], Value(1));
  EXPECT_EQ(action["a"], Value(array_of<std::int8_t>({0, 1}, Shape{2})));
  EXPECT_EQ(position, 4);
}

TEST_P(DecodeRow, NestedCompositesConsumeTheirEntriesInOrder) {
  // Dict -> Tuple -> Dict -> leaves, four levels deep.
  const SpacePtr space = dict({
      {"move", tuple({discrete(3), dict({{"aim", box(Shape{2})}, {"fire", multi_binary(Shape{1})}}), tuple({})})},
      {"mode", multi_discrete({2, 2}, Shape{2})},
  });
  const NdArray inputs = row({0.0, 0.0, 4.0,           // move[0]: Discrete(3) -> 2
                              0.5, 1.5, 9.0, 9.0,      // aim: means 0.5, 1.5 -> 0.5, 1.0; stds skipped
                              -1.0,                    // fire -> 0
                              3.0, 1.0, kMasked, 0.0,  // mode -> (0, 1)
                              100.0});                 // left over
  const auto [action, position] = decoder._decode_action_dist_inputs(inputs, *space);
  const Value expected(Map{
      {"move", Value::tuple({Value(2),
                             Value(Map{{"aim", Value(row_of(DType::float32, {0.5, 1.0}))},
                                       {"fire", Value(array_of<std::int8_t>({0}, Shape{1}))}}),
                             Value::tuple({})})},
      {"mode", Value(array_of<std::int64_t>({0, 1}, Shape{2}))},
  });
  EXPECT_EQ(action, expected) << action.str();
  EXPECT_EQ(position, 12);
}

// ---- Overrides and kind names ---------------------------------------------------------------

TEST(ActionDecoder, AnOverrideDecodesEveryNestedSubSpace) {
  const SpacePtr space = tuple({dict({{"x", discrete(2)}, {"y", tuple({discrete(3), box(Shape{1})})}}), discrete(2)});
  const NdArray inputs = row_of(DType::float32, {0, 1, 5, 0, 0, 0.5, 0, 0, 1});

  const RecordingDecoder recorder;
  const ActionDecoder& as_base = recorder;
  const auto [action, position] = as_base._decode_action_dist_inputs(inputs, *space);
  EXPECT_EQ(recorder.seen, (std::vector<std::string>{"Tuple@0", "Dict@0", "Discrete@0", "Tuple@2", "Discrete@2",
                                                     "Box@5", "Discrete@7"}));
  EXPECT_EQ(
      action,
      Value::tuple({Value(Map{{"x", Value(1)}, {"y", Value::tuple({Value(0), Value(row_of(DType::float32, {0.5}))})}}),
                    Value(1)}));
  EXPECT_EQ(position, 9);

  // A replaced leaf decoding shows up at every depth of the result.
  const RecordingDecoder replacing(true);
  const auto replaced = replacing._decode_action_dist_inputs(inputs, *space);
  EXPECT_EQ(replaced.first,
            Value::tuple(
                {Value(Map{{"x", Value(-7)}, {"y", Value::tuple({Value(-7), Value(row_of(DType::float32, {0.5}))})}}),
                 Value(-7)}));
  EXPECT_EQ(replaced.second, 9);
}

TEST(ActionDecoder, ADecoderOwnedThroughItsBaseIsDestroyedWhole) {
  static_assert(std::has_virtual_destructor_v<ActionDecoder>);
  std::unique_ptr<ActionDecoder> owned = std::make_unique<RecordingDecoder>();
  owned->_decode_action_dist_inputs(row_of(DType::float64, {1.0}), *discrete(1));
  EXPECT_EQ(static_cast<RecordingDecoder&>(*owned).seen, std::vector<std::string>{"Discrete@0"});
  owned.reset();  // under a sanitizer build, a non-virtual destructor would show up here
}

TEST(ActionDecoder, SpaceTypeNameIsTheReportedKindName) {
  EXPECT_EQ(_space_type_name(*discrete(2)), "Discrete");
  EXPECT_EQ(_space_type_name(*dict({})), "Dict");
  EXPECT_EQ(_space_type_name(RenamedDiscrete(2)), "RenamedDiscrete");
  EXPECT_EQ(_space_type_name(ForeignSpace("Box")), "Box");
}

TEST_P(DecodeRow, ADerivedDiscreteUnderItsOwnNameTakesTheRestOfTheRow) {
  const NdArray inputs = row({0.5, 2.0, 3.0});
  const auto [action, position] = decoder._decode_action_dist_inputs(inputs, RenamedDiscrete(2), 1);
  EXPECT_EQ(action, Value(array_of<float>({2.0f, 3.0f}, Shape{2})));
  EXPECT_EQ(position, 3);

  // Past the end: nothing left, the position is still the row's length.
  const auto past = decoder._decode_action_dist_inputs(inputs, RenamedDiscrete(2), 5);
  EXPECT_EQ(past.first, Value(NdArray::from_vector(std::vector<float>{})));
  EXPECT_EQ(past.second, 3);
}

TEST_P(DecodeRow, ADerivedDiscreteUnderTheBaseNameDecodesAsDiscrete) {
  const auto [action, position] = decoder._decode_action_dist_inputs(row({0.0, 1.0}), PlainDerivedDiscrete(2));
  EXPECT_EQ(action, Value(1));
  EXPECT_EQ(position, 2);
}

// ---- Failures -------------------------------------------------------------------------------

TEST(ActionDecoder, AKindNameWithoutItsAttributesIsAnAttributeLookupError) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Discrete", "n"},        {"Box", "shape"},    {"MultiDiscrete", "nvec"},
      {"MultiBinary", "shape"}, {"Tuple", "spaces"}, {"Dict", "spaces"},
  };
  const NdArray inputs = row_of(DType::float32, {1.0, 2.0, 3.0, 4.0});
  for (const auto& [name, attribute] : cases) {
    SCOPED_TRACE(name);
    try {
      ActionDecoder()._decode_action_dist_inputs(inputs, ForeignSpace(name));
      ADD_FAILURE() << "expected KeyError";
    } catch (const KeyError& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("'").append(name).append("' object has no attribute '").append(attribute).append("'"));
    }
  }
  // Names are compared as exact text; any other name goes to the fallback without a lookup.
  for (const char* other : {"discrete", "Discrete ", "DiscreteX", "MultiDiscreteX", "TupleSpace"}) {
    SCOPED_TRACE(other);
    const auto [action, position] = ActionDecoder()._decode_action_dist_inputs(inputs, ForeignSpace(other), 3);
    EXPECT_EQ(action, Value(array_of<float>({4.0f}, Shape{1})));
    EXPECT_EQ(position, 4);
  }
}

TEST_P(DecodeRow, AnEmptyArgmaxRangeIsAnInvalidArgument) {
  const NdArray inputs = row({1.0, 2.0});
  for (std::int64_t offset : {2, 10}) {
    try {
      decoder._decode_action_dist_inputs(inputs, *discrete(2), offset);
      ADD_FAILURE() << "expected InvalidArgumentError at " << offset;
    } catch (const InvalidArgumentError& e) {
      EXPECT_STREQ(e.what(), "attempt to get argmax of an empty sequence");
    }
  }
  // Inside a composite the running position runs out the same way.
  EXPECT_THROW(decoder._decode_action_dist_inputs(inputs, *tuple({discrete(2), discrete(2)})), InvalidArgumentError);
}

TEST(ActionDecoder, RowMustBeOneDimensionalAndTheOffsetNotNegative) {
  const NdArray batch = array_of<float>({0.0f, 1.0f}, Shape{1, 2});
  EXPECT_THROW(ActionDecoder()._decode_action_dist_inputs(batch, *discrete(2)), InvalidArgumentError);
  EXPECT_THROW(ActionDecoder()._decode_action_dist_inputs(NdArray::scalar(1.0), *discrete(1)), InvalidArgumentError);
  EXPECT_THROW(ActionDecoder()._decode_action_dist_inputs(row_of(DType::float32, {0.0, 1.0}), *discrete(2), -1),
               InvalidArgumentError);
}
