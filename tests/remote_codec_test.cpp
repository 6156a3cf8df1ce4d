// How values cross to workers: every kind of value survives the trip through JSON text, arrays keep
// their element type and shape, and malformed encodings are refused with the path of the fault.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/errors.hpp"
#include "core_api/remote.hpp"

namespace {

using namespace tavrin_core::remote;
using namespace tavrin_inference;
using ::testing::HasSubstr;

// Through text, as on the wire.
Value round_trip(const Value& v) { return decode_value(Json::parse(encode_value(v).dump())); }

TEST(RemoteCodec, EveryKindOfValueComesBackAsItWent) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Value> values{
      Value(),
      Value(true),
      Value(0),
      Value(-7),
      Value(std::numeric_limits<std::int64_t>::max()),
      Value(1.0),
      Value(-0.1),
      Value(1e-300),
      Value(inf),
      Value(-inf),
      Value(""),
      Value("tëxt \"quoted\""),
      Value::list({}),
      Value::list({Value(1), Value::list({Value(2.5)})}),
      Value::tuple({Value(1), Value(2)}),
      Value::tuple({}),
      Value(Map{}),
      Value(Map{{"b", 1}, {"a", Value::tuple({Value("x")})}}),   // keeps its order
      Value(Map{{"$ndarray", 1}, {"$tuple", Value::list({})}}),  // keys that look like tags
      Value(Map{{"$tuple", Value::list({Value(1)})}}),
  };
  for (const auto& v : values) {
    Value back = round_trip(v);
    EXPECT_EQ(back, v) << v.str() << " came back as " << back.str();
    EXPECT_EQ(back.kind(), v.kind()) << v.str();
    EXPECT_EQ(back.is_tuple(), v.is_tuple()) << v.str();
  }
  EXPECT_TRUE(std::isnan(round_trip(Value(std::nan(""))).as_double()));
  EXPECT_TRUE(round_trip(Value(1.0)).is_float());  // a float stays a float even when integral
}

TEST(RemoteCodec, ArraysKeepElementTypeShapeAndValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<NdArray> arrays{
      NdArray::from_vector<float>({1.5f, -2.0f, 3.1f, 1e-7f, 3.4e38f, -0.0f}, {2, 3}),
      NdArray::from_vector<double>({0.1, nan, std::numeric_limits<double>::infinity(), -1e308}, {2, 1, 2}),
      NdArray::from_vector<std::int64_t>({std::numeric_limits<std::int64_t>::min(), 0, 42}, {3}),
      NdArray::from_vector<std::int8_t>({-128, 0, 127, 1}, {4, 1}),
      NdArray::scalar(2.5f),
      NdArray(DType::float64, Shape{0}),
      NdArray(DType::int8, Shape{3, 0}),
  };
  for (const auto& a : arrays) {
    Value back = round_trip(Value(a));
    ASSERT_TRUE(back.is_array());
    const NdArray& b = back.as_array();
    EXPECT_EQ(b.dtype(), a.dtype()) << Value(a).str();
    EXPECT_EQ(b.shape(), a.shape()) << Value(a).str();
    for (std::int64_t i = 0; i < a.size(); ++i) {
      const double x = a.at_double(i), y = b.at_double(i);
      if (std::isnan(x)) {
        EXPECT_TRUE(std::isnan(y));
      } else {
        EXPECT_EQ(x, y) << "element " << i << " of " << Value(a).str();
      }
    }
  }
  // The documented form.
  EXPECT_EQ(encode_value(Value(NdArray::from_vector<std::int8_t>({1, 0}, {1, 2}))).dump(),
            R"({"$ndarray":{"dtype":"int8","shape":[1,2],"data":[1,0]}})");
}

TEST(RemoteCodec, MalformedEncodingsAreRefusedWithThePathOfTheFault) {
  auto message = [](const char* text) -> std::string {
    try {
      decode_value(Json::parse(text), "args[0]");
    } catch (const InvalidArgumentError& e) {
      return e.what();
    }
    return "accepted";
  };
  EXPECT_THAT(message(R"({"$ndarray": {"dtype": "float16", "shape": [1], "data": [1]}})"),
              HasSubstr("args[0].$ndarray.dtype"));
  EXPECT_THAT(message(R"({"$ndarray": {"dtype": "int64", "shape": [2, 2], "data": [1, 2, 3]}})"),
              HasSubstr("3 elements for shape (2, 2)"));
  EXPECT_THAT(message(R"({"$ndarray": {"dtype": "int64", "shape": [-1], "data": []}})"), HasSubstr(".shape"));
  EXPECT_THAT(message(R"({"$ndarray": {"dtype": "int64", "shape": [2], "data": [1, 2.5]}})"),
              HasSubstr("args[0].$ndarray.data[1]"));
  EXPECT_THAT(message(R"({"$ndarray": {"dtype": "int8", "shape": [1], "data": [200]}})"), HasSubstr("out of range"));
  EXPECT_THAT(message(R"({"$ndarray": {"dtype": "float32", "shape": [1], "data": ["many"]}})"), HasSubstr("data[0]"));
  EXPECT_THAT(message(R"({"$ndarray": {"dtype": "float32", "shape": [1]}})"), HasSubstr(".data: missing"));
  EXPECT_THAT(message(R"({"$ndarray": {"dtype": "float32", "shape": [1], "data": [1], "order": "C"}})"),
              HasSubstr("order: unknown field"));
  EXPECT_THAT(message(R"({"list": [1, {"$nope": 1}]})"), HasSubstr("args[0].list[1].$nope: unknown tag"));
  EXPECT_THAT(message(R"({"$map": [["a"]]})"), HasSubstr("args[0].$map[0]"));
  EXPECT_THAT(message(R"({"$float": "lots"})"), HasSubstr("args[0].$float"));
  EXPECT_THAT(message(R"({"$tuple": 3})"), HasSubstr("args[0].$tuple"));
  EXPECT_THAT(message("18446744073709551615"), HasSubstr("out of range"));
  EXPECT_EQ(message(R"({"$float": "-inf"})"), "accepted");
}

TEST(RemoteCodec, ObjectsCannotTravel) {
  struct Thing : tavrin_inference::Object {
    std::string type_name() const override { return "Thing"; }
  };
  Value inside = Value::list({Value(1), Value(std::make_shared<Thing>())});
  try {
    encode_value(inside);
    FAIL();
  } catch (const tavrin_inference::TypeError& e) {
    EXPECT_THAT(e.what(), HasSubstr("'Thing' cannot be sent to a worker"));
  }
}

}  // namespace
