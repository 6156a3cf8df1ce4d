#include "core_api/spaces.hpp"

#include <cmath>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/errors.hpp"
#include "support/checks.hpp"

using namespace tavrin_core::spaces;
using namespace tavrin_inference;
using namespace tavrin_test;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

NdArray f64(std::vector<double> v, Shape s) { return NdArray::from_vector(std::move(v), s); }
NdArray i64(std::vector<std::int64_t> v, Shape s) { return NdArray::from_vector(std::move(v), s); }

const Box& as_box(const SpacePtr& s) {
  const auto* b = dynamic_cast<const Box*>(s.get());
  if (b == nullptr) throw std::runtime_error("not a Box: " + s->str());
  return *b;
}

Value json(const char* text) { return Value::from_json(nlohmann::ordered_json::parse(text)); }

}  // namespace

// ---- Discrete -------------------------------------------------------------------------------

TEST(Discrete, FlattensToOneHotOverAUnitBoxAndHonoursStart) {
  const Discrete d(4, 10);
  const Box& flat = as_box(d.flatten());
  EXPECT_EQ(flat.shape(), (Shape{4}));
  EXPECT_EQ(flat.dtype(), DType::float32);
  EXPECT_EQ(doubles(flat.low()), (std::vector<double>(4, 0.0)));
  EXPECT_EQ(doubles(flat.high()), (std::vector<double>(4, 1.0)));

  const NdArray x = d.flatten_sample(12);
  EXPECT_EQ(x.dtype(), DType::float32);
  EXPECT_EQ(floats(x), (std::vector<float>{0, 0, 1, 0}));
  // Integer-valued floats and one-element arrays name the same element.
  EXPECT_EQ(floats(d.flatten_sample(13.0)), (std::vector<float>{0, 0, 0, 1}));
  EXPECT_EQ(floats(d.flatten_sample(i64({10}, Shape{1}))), (std::vector<float>{1, 0, 0, 0}));
}

TEST(Discrete, RefusesValuesOutsideItsRangeOrNotIntegers) {
  const Discrete d(3);
  for (const Value& bad : {Value(3), Value(-1), Value(1.5), Value(std::nan("")), Value("1"), Value::list({1, 2})}) {
    EXPECT_THROW(d.flatten_sample(bad), InvalidArgumentError) << bad.str();
  }
  EXPECT_THAT(error_of([&] { d.coerce(5, "sensor mode"); }),
              StartsWith("InvalidArgumentError: sensor mode: expected an integer in [0, 3) for Discrete(3), got 5"));
}

TEST(Discrete, CoercesToAPlainIntegerAndTellsMembership) {
  const Discrete d(3, 1);
  const Value v = d.coerce(f64({3.0}, Shape{}), "w");
  ASSERT_TRUE(v.is_int());
  EXPECT_EQ(v.as_int(), 3);
  EXPECT_TRUE(d.contains(1));
  EXPECT_TRUE(d.contains(3));
  EXPECT_FALSE(d.contains(0));
  EXPECT_FALSE(d.contains(4));
  EXPECT_FALSE(d.contains(2.0));  // a float is not an element, even when integral
  EXPECT_TRUE(d.contains(NdArray::scalar(std::int64_t{2})));
}

TEST(Discrete, MasksHaveOneEntryPerChoice) {
  const Discrete d(5);
  const Value m = d.get_no_action_mask();
  ASSERT_TRUE(m.is_array());
  EXPECT_EQ(m.as_array(), NdArray::ones(Shape{5}, DType::int8));
  const SpacePtr ms = d.get_action_mask_space();
  EXPECT_EQ(ms->type_name(), "MultiBinary");
  EXPECT_EQ(ms->flat_size(), 5);
  EXPECT_THROW(Discrete(0), InvalidArgumentError);
}

// ---- Box ------------------------------------------------------------------------------------

TEST(Box, KeepsFloat64BoundsOfItsShape) {
  const Box b(-1.0, 2.0, Shape{2, 3}, DType::float64);
  EXPECT_EQ(b.low().dtype(), DType::float64);
  EXPECT_EQ(b.low().shape(), (Shape{2, 3}));
  EXPECT_EQ(b.flat_size(), 6);
  EXPECT_EQ(doubles(b.high()), (std::vector<double>(6, 2.0)));
  // Bounds given in another element type are widened, not reinterpreted.
  const Box c(NdArray::from_vector<float>({0.5F, -1.0F}), NdArray::from_vector<float>({1.5F, 0.0F}));
  EXPECT_EQ(doubles(c.low()), (std::vector<double>{0.5, -1.0}));
  EXPECT_EQ(c.dtype(), DType::float32);
}

TEST(Box, RefusesInconsistentBounds) {
  EXPECT_THROW(Box(f64({0, 0}, Shape{2}), f64({1, 1, 1}, Shape{3})), InvalidArgumentError);
  EXPECT_THAT(error_of([] { Box(f64({0, 2}, Shape{2}), f64({1, 1}, Shape{2})); }), HasSubstr("element 1"));
  EXPECT_THROW(Box(std::nan(""), 1.0, Shape{1}), InvalidArgumentError);
}

TEST(Box, FlattensItsBoundsRowMajorAsFloat32) {
  const Box b(f64({0, 1, 2, 3}, Shape{2, 2}), f64({10, 11, 12, 13}, Shape{2, 2}), DType::int64);
  const Box& flat = as_box(b.flatten());
  EXPECT_EQ(flat.shape(), (Shape{4}));
  EXPECT_EQ(flat.dtype(), DType::float32);
  EXPECT_EQ(doubles(flat.low()), (std::vector<double>{0, 1, 2, 3}));
  EXPECT_EQ(doubles(flat.high()), (std::vector<double>{10, 11, 12, 13}));
  // A 0-d box flattens to one element.
  EXPECT_EQ(as_box(Box(0.0, 1.0, Shape{}).flatten()).shape(), (Shape{1}));
}

TEST(Box, AFlatFloat32BoxIsItsOwnFlatForm) {
  const auto b = std::make_shared<Box>(-1.0, 1.0, Shape{3});
  EXPECT_EQ(b->flatten().get(), b.get());
  // One not held by a shared pointer hands out an equal copy.
  const Box local(-1.0, 1.0, Shape{3});
  const SpacePtr flat = local.flatten();
  const Box& copy = as_box(flat);
  EXPECT_EQ(copy.shape(), local.shape());
  EXPECT_EQ(copy.low(), local.low());
}

TEST(Box, FlattenSampleAcceptsNumbersListsNestedListsAndArrays) {
  const Box one(0.0, 1.0, Shape{1});
  EXPECT_EQ(floats(one.flatten_sample(0.25)), (std::vector<float>{0.25F}));

  const Box b(-5.0, 5.0, Shape{2, 2});
  const std::vector<float> want{1, 2, 3, 4};
  EXPECT_EQ(floats(b.flatten_sample(Value::list({1, 2.0, 3, 4}))), want);
  EXPECT_EQ(floats(b.flatten_sample(Value::list({Value::list({1, 2}), Value::list({3, 4})}))), want);
  EXPECT_EQ(floats(b.flatten_sample(f64({1, 2, 3, 4}, Shape{2, 2}))), want);
  EXPECT_EQ(floats(b.flatten_sample(i64({1, 2, 3, 4}, Shape{4}))), want);
  const NdArray x = b.flatten_sample(f64({1, 2, 3, 4}, Shape{2, 2}));
  EXPECT_EQ(x.shape(), (Shape{4}));
  EXPECT_EQ(x.dtype(), DType::float32);
}

TEST(Box, FlattenSampleChecksTheElementCountAndKind) {
  const Box b(-1.0, 1.0, Shape{3});
  EXPECT_THAT(error_of([&] {
                b.flatten_sample(Value::list({1, 2}));
              }),
              StartsWith("InvalidArgumentError: flatten_sample: expected 3 values for Box(-1.0, 1.0, (3), float32), "
                         "got 2"));
  EXPECT_THAT(error_of([&] { b.flatten_sample(f64({1, 2, 3, 4}, Shape{4})); }), HasSubstr("got 4"));
  EXPECT_THAT(error_of([&] { b.flatten_sample(0.5); }), HasSubstr("got 1"));
  EXPECT_THAT(error_of([&] {
                b.flatten_sample(Value::list({1, "x", 3}));
              }),
              StartsWith("TypeError: flatten_sample: expected a number, a list or an array"));
  EXPECT_THROW(b.flatten_sample(Value()), TypeError);
}

TEST(Box, KeepsNonFiniteValuesInSamples) {
  const Box b(-1.0, 1.0, Shape{2});
  const NdArray x = b.flatten_sample(Value::list({std::nan(""), kInf}));
  EXPECT_TRUE(std::isnan(x.at_double(0)));
  EXPECT_TRUE(std::isinf(x.at_double(1)));
  const Value c = b.coerce(Value::list({std::nan(""), 3.0}), "s");  // out of bounds is kept too
  EXPECT_TRUE(std::isnan(c.as_array().at_double(0)));
  EXPECT_EQ(c.as_array().at_double(1), 3.0);
}

TEST(Box, CoercesToItsDtypeAndShape) {
  const Box b(0.0, 10.0, Shape{2, 2}, DType::int64);
  const Value v = b.coerce(Value::list({1.0, 2.9, 3, 4}), "sensor grid");
  ASSERT_TRUE(v.is_array());
  EXPECT_EQ(v.as_array(), i64({1, 2, 3, 4}, Shape{2, 2}));  // float -> int truncates
  const Value w = Box(0.0, 1.0, Shape{3}).coerce(f64({0.1, 0.2, 0.3}, Shape{1, 3}), "s");
  EXPECT_EQ(w.as_array().dtype(), DType::float32);
  EXPECT_EQ(w.as_array().shape(), (Shape{3}));
  const Value s = Box(0.0, 1.0, Shape{}).coerce(0.5, "s");
  EXPECT_EQ(s.as_array().shape(), Shape{});
  EXPECT_THAT(error_of([&] {
                b.coerce(Value::list({1, 2}), "sensor grid");
              }),
              StartsWith("InvalidArgumentError: sensor grid: expected 4 values for Box(0, 10, (2, 2), int64), got 2"));
}

TEST(Box, ContainsChecksShapeBoundsAndIntegrality) {
  const Box b(f64({0, -1}, Shape{2}), f64({1, 1}, Shape{2}));
  EXPECT_TRUE(b.contains(Value::list({0.5, -1.0})));
  EXPECT_FALSE(b.contains(Value::list({1.5, 0.0})));
  EXPECT_FALSE(b.contains(Value::list({0.5})));
  EXPECT_FALSE(b.contains(Value::list({std::nan(""), 0.0})));
  EXPECT_FALSE(b.contains("x"));
  const Box ints(0.0, 5.0, Shape{1}, DType::int64);
  EXPECT_TRUE(ints.contains(Value::list({3})));
  EXPECT_FALSE(ints.contains(Value::list({2.5})));
}

TEST(Box, TextFormShowsUniformBoundsAsNumbersElseArrays) {
  EXPECT_EQ(Box(-1.0, 1.0, Shape{2}).str(), "Box(-1.0, 1.0, (2), float32)");
  EXPECT_EQ(Box(-kInf, kInf, Shape{3}, DType::float64).str(), "Box(-inf, inf, (3), float64)");
  EXPECT_EQ(Box(f64({-1, 0}, Shape{2}), f64({1, 2}, Shape{2})).str(), "Box([-1.0, 0.0], [1.0, 2.0], (2), float32)");
}

TEST(Box, MasksHaveOneEntryPerElement) {
  const Box b(-1.0, 1.0, Shape{2, 3});
  EXPECT_EQ(b.get_no_action_mask().as_array(), NdArray::ones(Shape{6}, DType::int8));
  EXPECT_EQ(b.get_action_mask_space()->str(), "MultiBinary(6)");
}

// ---- MultiDiscrete and MultiBinary ----------------------------------------------------------

TEST(MultiDiscrete, FlattensOneHotPerComponentInRowMajorOrder) {
  const MultiDiscrete md(i64({3, 2, 2, 4}, Shape{2, 2}));
  EXPECT_EQ(md.flat_size(), 11);
  EXPECT_EQ(md.shape(), (Shape{2, 2}));
  const NdArray x = md.flatten_sample(Value::list({Value::list({2, 0}), Value::list({1, 3})}));
  EXPECT_EQ(floats(x), (std::vector<float>{0, 0, 1, /**/ 1, 0, /**/ 0, 1, /**/ 0, 0, 0, 1}));
  EXPECT_EQ(as_box(md.flatten()).shape(), (Shape{11}));
  EXPECT_EQ(md.get_no_action_mask().as_array(), NdArray::ones(Shape{11}, DType::int8));
  EXPECT_EQ(md.get_action_mask_space()->flat_size(), 11);
  EXPECT_EQ(md.str(), "MultiDiscrete([[3 2] [2 4]])");
  EXPECT_EQ(MultiDiscrete(i64({3, 2}, Shape{2})).str(), "MultiDiscrete([3 2])");
}

TEST(MultiDiscrete, RefusesComponentsOutOfRangeAndBadNvec) {
  const MultiDiscrete md(i64({3, 2}, Shape{2}));
  EXPECT_THAT(error_of([&] { md.flatten_sample(Value::list({0, 2})); }), HasSubstr("component 1"));
  EXPECT_THROW(md.flatten_sample(Value::list({0})), InvalidArgumentError);
  EXPECT_THROW(md.flatten_sample(Value::list({0.5, 1})), InvalidArgumentError);
  EXPECT_THROW(MultiDiscrete(i64({3, 0}, Shape{2})), InvalidArgumentError);
  const Value c = md.coerce(f64({2, 1}, Shape{2}), "s");
  EXPECT_EQ(c.as_array(), i64({2, 1}, Shape{2}));
  EXPECT_TRUE(md.contains(Value::list({2, 1})));
  EXPECT_FALSE(md.contains(Value::list({3, 1})));
}

TEST(MultiBinary, FlattensElementsAndCoercesToZeroOrOne) {
  const MultiBinary mb(Shape{2, 2});
  EXPECT_EQ(mb.flat_size(), 4);
  EXPECT_EQ(floats(mb.flatten_sample(Value::list({1, 0, 0, 1}))), (std::vector<float>{1, 0, 0, 1}));
  const Value c = mb.coerce(Value::list({true, false, 1, 0}), "s");
  EXPECT_EQ(c.as_array(), NdArray::from_vector<std::int8_t>({1, 0, 1, 0}, Shape{2, 2}));
  EXPECT_THROW(mb.coerce(Value::list({2, 0, 0, 0}), "s"), InvalidArgumentError);
  EXPECT_EQ(mb.get_no_action_mask().as_array(), NdArray::ones(Shape{4}, DType::int8));
  EXPECT_EQ(mb.str(), "MultiBinary((2, 2))");
  EXPECT_EQ(MultiBinary(Shape{4}).str(), "MultiBinary(4)");
  EXPECT_TRUE(mb.contains(Value::list({Value::list({1, 0}), Value::list({0, 1})})));
  EXPECT_FALSE(mb.contains(Value::list({1, 0, 0, 1})));  // wrong shape
}

// ---- Tuple and Dict -------------------------------------------------------------------------

TEST(Composite, TupleFlattensItsPartsInOrder) {
  const Tuple t({std::make_shared<Discrete>(3), std::make_shared<Box>(f64({-1, -2}, Shape{2}), f64({1, 2}, Shape{2}))});
  EXPECT_EQ(t.flat_size(), 5);
  const NdArray x = t.flatten_sample(Value::tuple({1, Value::list({0.5, -0.5})}));
  EXPECT_EQ(floats(x), (std::vector<float>{0, 1, 0, 0.5F, -0.5F}));
  const Box& flat = as_box(t.flatten());
  EXPECT_EQ(doubles(flat.low()), (std::vector<double>{0, 0, 0, -1, -2}));
  EXPECT_EQ(doubles(flat.high()), (std::vector<double>{1, 1, 1, 1, 2}));
  EXPECT_THROW(t.flatten_sample(Value::tuple({1})), InvalidArgumentError);
  EXPECT_EQ(t.str(), "Tuple(Discrete(3), Box([-1.0, -2.0], [1.0, 2.0], (2), float32))");
}

TEST(Composite, DictFlattensInItsOwnKeyOrderNotTheSamples) {
  const Dict d({{"b", std::make_shared<Box>(0.0, 9.0, Shape{2})}, {"a", std::make_shared<Discrete>(2)}});
  const Map sample{{"a", 1}, {"extra", 42}, {"b", Value::list({7, 8})}};
  EXPECT_EQ(floats(d.flatten_sample(Value(sample))), (std::vector<float>{7, 8, 0, 1}));
  EXPECT_EQ(doubles(as_box(d.flatten()).high()), (std::vector<double>{9, 9, 1, 1}));
  EXPECT_THAT(error_of([&] {
                d.flatten_sample(Value(Map{{"b", Value::list({7, 8})}}));
              }),
              StartsWith("KeyError: flatten_sample: missing key 'a'"));
  EXPECT_THROW(d.flatten_sample(Value::list({1, 2})), TypeError);
  EXPECT_EQ(d.str(), "Dict('b': Box(0.0, 9.0, (2), float32), 'a': Discrete(2))");
}

TEST(Composite, NestedSpacesFlattenDepthFirst) {
  const auto inner = std::make_shared<Dict>(
      SpaceEntries{{"x", std::make_shared<Discrete>(2)}, {"y", std::make_shared<Box>(0.0, 1.0, Shape{1})}});
  const Tuple t({inner, std::make_shared<MultiBinary>(Shape{2})});
  EXPECT_EQ(t.flat_size(), 5);
  const NdArray x = t.flatten_sample(Value::list({Value(Map{{"y", 0.25}, {"x", 0}}), Value::list({0, 1})}));
  EXPECT_EQ(floats(x), (std::vector<float>{1, 0, 0.25F, 0, 1}));
  // A tuple inside a dict, as a Tuple sensor among the orchestration's sensors.
  const Dict sensors({{"t", std::make_shared<Tuple>(std::vector<SpacePtr>{
                                std::make_shared<Discrete>(2), std::make_shared<Box>(0.0, 1.0, Shape{1})})}});
  EXPECT_EQ(floats(sensors.flatten_sample(Value(Map{{"t", Value::tuple({1, 0.5})}}))),
            (std::vector<float>{0, 1, 0.5F}));
}

TEST(Composite, MasksFollowTheStructure) {
  const Dict d({{"move", std::make_shared<Discrete>(3)},
                {"aim", std::make_shared<Tuple>(std::vector<SpacePtr>{std::make_shared<Discrete>(2),
                                                                      std::make_shared<Box>(-1.0, 1.0, Shape{2})})}});
  const Value m = d.get_no_action_mask();
  ASSERT_TRUE(m.is_map());
  EXPECT_EQ(m["move"].as_array(), NdArray::ones(Shape{3}, DType::int8));
  ASSERT_TRUE(m["aim"].is_tuple());
  EXPECT_EQ(m["aim"][1].as_array(), NdArray::ones(Shape{2}, DType::int8));
  const SpacePtr ms = d.get_action_mask_space();
  EXPECT_EQ(ms->type_name(), "Dict");
  EXPECT_EQ(ms->flat_size(), 7);
  EXPECT_EQ(ms->str(), "Dict('move': MultiBinary(3), 'aim': Tuple(MultiBinary(2), MultiBinary(2)))");
}

TEST(Composite, CoerceAndContainsWalkTheParts) {
  const Dict d({{"n", std::make_shared<Discrete>(3)}, {"v", std::make_shared<Box>(0.0, 1.0, Shape{2})}});
  const Value c = d.coerce(Value(Map{{"v", Value::list({0.5, 1})}, {"n", 2.0}, {"junk", 1}}), "obs");
  ASSERT_TRUE(c.is_map());
  EXPECT_EQ(c.as_map().size(), 2U);
  EXPECT_EQ(c.as_map().entries().front().first, "n");
  EXPECT_TRUE(c["n"].is_int());
  EXPECT_EQ(c["v"].as_array().dtype(), DType::float32);
  EXPECT_THAT(error_of([&] {
                d.coerce(Value(Map{{"n", 1}, {"v", 1}}), "obs");
              }),
              HasSubstr("obs.v: expected 2 values"));
  EXPECT_TRUE(d.contains(c));
  EXPECT_FALSE(d.contains(Value(Map{{"n", 1}})));
  const Tuple t({std::make_shared<Discrete>(2)});
  EXPECT_TRUE(t.coerce(Value::list({1}), "a").is_tuple());
  EXPECT_THAT(error_of([&] { t.coerce(Value::list({5}), "act"); }), HasSubstr("act[0]:"));
}

TEST(Composite, DictRefusesDuplicatesAndFindsKeys) {
  const auto s = std::make_shared<Discrete>(2);
  EXPECT_THROW(Dict({{"a", s}, {"a", s}}), InvalidArgumentError);
  EXPECT_THROW(Dict({{"a", nullptr}}), InvalidArgumentError);
  EXPECT_THROW(Tuple({nullptr}), InvalidArgumentError);
  const Dict d({{"a", s}});
  EXPECT_EQ(d.find("a"), s);
  EXPECT_EQ(d.find("b"), nullptr);
  EXPECT_THROW(d.at("b"), KeyError);
  const Dict empty({});
  EXPECT_EQ(empty.flat_size(), 0);
  EXPECT_EQ(empty.flatten_sample(Value(Map{})).size(), 0);
  EXPECT_EQ(empty.str(), "Dict()");
}

namespace {
// A space of its own kind derived from Box: composites must use its flatten_sample, not Box's.
class Scaled : public Box {
 public:
  Scaled() : Box(0.0, 1.0, Shape{2}) {}
  std::string type_name() const override { return "Scaled"; }
  NdArray flatten_sample(const Value& sample) const override {
    NdArray x = Box::flatten_sample(sample);
    for (float& v : x.span<float>()) v *= 10.0F;
    return x;
  }
};

// The same override under its base's name: still a Box by kind, and still asked to flatten.
class ScaledBox : public Scaled {
 public:
  std::string type_name() const override { return "Box"; }
};
}  // namespace

TEST(Composite, DerivedSpacesKeepTheirOwnFlattening) {
  const Tuple t({std::make_shared<Discrete>(2), std::make_shared<Scaled>(), std::make_shared<ScaledBox>()});
  const Value sample = Value::list({0, Value::list({0.1, 0.2}), Value::list({0.3, 0.4})});
  EXPECT_EQ(floats(t.flatten_sample(sample)), (std::vector<float>{1, 0, 1.0F, 2.0F, 3.0F, 4.0F}));
  NdArray reused;
  ScaledBox().flatten_sample_into(Value::list({0.5, 0.1}), reused);
  EXPECT_EQ(floats(reused), (std::vector<float>{5.0F, 1.0F}));
}

// The kind goes by the reported name, and only an object of that kind's class has it: a class
// that reports "Box" without being one must never be read as a Box.
TEST(SpaceKinds, NameAndClassDecideTogether) {
  struct KeepsName : Box {
    KeepsName() : Box(0.0, 1.0, Shape{2}) {}
  };
  struct Pretender : Discrete {
    Pretender() : Discrete(2) {}
    std::string type_name() const override { return "Box"; }
  };
  EXPECT_EQ(space_kind(Box(0.0, 1.0, Shape{2})), SpaceKind::box);
  EXPECT_EQ(space_kind(KeepsName()), SpaceKind::box);
  EXPECT_EQ(space_kind(Scaled()), SpaceKind::other);
  EXPECT_EQ(space_kind(Pretender()), SpaceKind::other);
  EXPECT_EQ(space_as<Box>(Pretender()), nullptr);
}

// ---- JSON -----------------------------------------------------------------------------------

TEST(SpaceJson, ReadsEveryKind) {
  EXPECT_EQ(space_from_json(json(R"({"type": "Discrete", "n": 3})"), "f")->str(), "Discrete(3)");
  EXPECT_EQ(space_from_json(json(R"({"type": "Discrete", "n": 3, "start": -1})"), "f")->str(), "Discrete(3, start=-1)");
  EXPECT_EQ(space_from_json(json(R"({"type": "Box", "low": -1, "high": 1, "shape": [2]})"), "f")->str(),
            "Box(-1.0, 1.0, (2), float32)");
  EXPECT_EQ(space_from_json(json(R"({"type": "MultiDiscrete", "nvec": [3, 2]})"), "f")->str(), "MultiDiscrete([3 2])");
  EXPECT_EQ(space_from_json(json(R"({"type": "MultiBinary", "n": 4})"), "f")->str(), "MultiBinary(4)");
  EXPECT_EQ(space_from_json(json(R"({"type": "MultiBinary", "shape": [2, 3]})"), "f")->str(), "MultiBinary((2, 3))");
  const SpacePtr t = space_from_json(json(R"({"type": "Tuple", "spaces": [{"type": "Discrete", "n": 2},
               {"type": "Dict", "spaces": {"z": {"type": "MultiBinary", "n": 1}, "a": {"type": "Discrete", "n": 4}}}]})"),
                                     "f");
  EXPECT_EQ(t->str(), "Tuple(Discrete(2), Dict('z': MultiBinary(1), 'a': Discrete(4)))");
}

TEST(SpaceJson, BoxBoundsMayBeListsAndUnbounded) {
  const SpacePtr b =
      space_from_json(json(R"({"type": "Box", "low": [[0, "-inf"], [1, 2]], "high": "inf", "dtype": "float64"})"), "f");
  const Box& box = as_box(b);
  EXPECT_EQ(box.shape(), (Shape{2, 2}));  // taken from the list
  EXPECT_EQ(box.dtype(), DType::float64);
  EXPECT_EQ(doubles(box.low()), (std::vector<double>{0, -kInf, 1, 2}));
  EXPECT_EQ(doubles(box.high()), (std::vector<double>(4, kInf)));
}

TEST(SpaceJson, WritesWhatItReads) {
  const Dict d({{"pos", std::make_shared<Box>(f64({-1, 0}, Shape{2}), f64({1, kInf}, Shape{2}), DType::float64)},
                {"mode", std::make_shared<Discrete>(3, 1)},
                {"md", std::make_shared<MultiDiscrete>(i64({2, 3, 4, 5}, Shape{2, 2}))},
                {"mb", std::make_shared<MultiBinary>(Shape{2, 1})},
                {"t", std::make_shared<Tuple>(std::vector<SpacePtr>{std::make_shared<Box>(0.0, 1.0, Shape{})})}});
  const Value j = space_to_json(d);
  // Through JSON text, as an orchestration file holds it.
  const Value again = Value::from_json(nlohmann::ordered_json::parse(j.to_json().dump()));
  const SpacePtr back = space_from_json(again, "f");
  EXPECT_EQ(back->str(), d.str());
  EXPECT_EQ(space_to_json(*back), j);
  EXPECT_EQ(j["spaces"]["pos"]["high"][1].as_text(), "inf");
  EXPECT_EQ(j["spaces"]["mode"]["start"].as_int(), 1);
}

TEST(SpaceJson, ErrorsNameTheField) {
  const std::string where = "orchestration.json: agents[1].action_space";
  const auto err = [&](const char* text) { return error_of([&] { space_from_json(json(text), where); }); };
  EXPECT_EQ(err(R"({"type": "Discrete", "n": 0})"),
            "InvalidArgumentError: orchestration.json: agents[1].action_space.n: expected a positive integer, got 0");
  EXPECT_EQ(err(R"({"type": "Discrete", "n": "3"})"),
            "TypeError: orchestration.json: agents[1].action_space.n: expected a positive integer, got str");
  EXPECT_THAT(err(R"({"type": "Discrete"})"), StartsWith("KeyError: " + where + ".n: missing"));
  EXPECT_EQ(err(R"({"type": "Discret", "n": 2})"),
            "InvalidArgumentError: " + where +
                ".type: unknown space type 'Discret' (known: Discrete, Box, MultiDiscrete, MultiBinary, Tuple, Dict)");
  EXPECT_THAT(err(R"({"n": 2})"), StartsWith("KeyError: " + where + ".type: missing"));
  EXPECT_THAT(err("[1]"), StartsWith("TypeError: " + where + ": expected a space object"));
  EXPECT_THAT(err(R"({"type": "Box", "low": 0, "hihg": 1, "shape": [1]})"),
              StartsWith("InvalidArgumentError: " + where + ".hihg: unknown field for a Box space"));
  EXPECT_THAT(err(R"({"type": "Box", "low": 0, "high": 1})"), StartsWith("KeyError: " + where + ".shape: missing"));
  EXPECT_THAT(err(R"({"type": "Box", "low": [0, 0], "high": [1, 1, 1]})"),
              StartsWith("InvalidArgumentError: " + where + ".high: shape (3) does not match shape (2)"));
  EXPECT_THAT(err(R"({"type": "Box", "low": [[0, 0], [0]], "high": 1})"),
              StartsWith("InvalidArgumentError: " + where + ".low: the nested lists are not rectangular"));
  EXPECT_THAT(err(R"({"type": "Box", "low": 2, "high": 1, "shape": [1]})"),
              StartsWith("InvalidArgumentError: " + where + ": Box: low must not exceed high"));
  EXPECT_THAT(err(R"({"type": "Box", "low": 0, "high": 1, "shape": [1], "dtype": "uint8"})"),
              StartsWith("InvalidArgumentError: " + where + ".dtype: unknown dtype 'uint8' (known: float32"));
  EXPECT_THAT(err(R"({"type": "Box", "low": "x", "high": 1, "shape": [1]})"),
              StartsWith("TypeError: " + where + ".low: expected a number or a list of numbers, got str"));
  EXPECT_THAT(err(R"({"type": "MultiDiscrete", "nvec": [3, 0]})"),
              StartsWith("InvalidArgumentError: " + where + ".nvec: expected positive integers, got 0 at index 1"));
  EXPECT_THAT(err(R"({"type": "MultiDiscrete", "nvec": []})"), StartsWith("InvalidArgumentError: " + where + ".nvec:"));
  EXPECT_THAT(err(R"({"type": "MultiBinary"})"), StartsWith("KeyError: " + where + ".n: missing"));
  EXPECT_THAT(err(R"({"type": "Tuple", "spaces": [{"type": "Discrete", "n": 2}, {"type": "Discrete", "n": -1}]})"),
              StartsWith("InvalidArgumentError: " + where + ".spaces[1].n: expected a positive integer"));
  EXPECT_THAT(err(R"({"type": "Dict", "spaces": {"pos": {"type": "Box", "low": 0, "high": 1}}})"),
              StartsWith("KeyError: " + where + ".spaces.pos.shape: missing"));
  EXPECT_THAT(err(R"({"type": "Dict", "spaces": []})"), StartsWith("TypeError: " + where + ".spaces: expected a map"));
}
