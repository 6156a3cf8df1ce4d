#include "common/value.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/errors.hpp"

using namespace tavrin_inference;

TEST(Value, MapsKeepInsertionOrderAndReplaceInPlace) {
  Map m;
  m.set("b", 2);
  m.set("a", 1);
  m.set("c", 3);
  m.set("a", 10);  // replacing keeps the position
  std::vector<std::string> keys;
  for (const auto& [k, v] : m) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(m.at("a").as_int(), 10);
  EXPECT_THROW(m.at("missing"), KeyError);
  EXPECT_TRUE(m.erase("b"));
  EXPECT_FALSE(m.contains("b"));
}

TEST(Value, TupleAndListAreDistinctSequences) {
  Value t = Value::tuple({1, 2});
  Value l = Value::list({1, 2});
  EXPECT_TRUE(t.is_tuple());
  EXPECT_FALSE(l.is_tuple());
  EXPECT_FALSE(t == l);
  EXPECT_EQ(t.str(), "(1, 2)");
  EXPECT_EQ(l.str(), "[1, 2]");
  EXPECT_EQ(Value::tuple({7}).str(), "(7,)");
}

TEST(Value, TextFormsFollowTheMessageConventions) {
  EXPECT_EQ(Value().str(), "None");
  EXPECT_EQ(Value(true).str(), "True");
  EXPECT_EQ(Value(1.0).str(), "1.0");
  EXPECT_EQ(Value(0.1).str(), "0.1");
  EXPECT_EQ(Value("it's").str(), "'it\\'s'");
  EXPECT_EQ(Value("plain").text_form(), "plain");
  EXPECT_EQ(Value(Map{{"a", Value::list({1, 0})}, {"b", 1}}).str(), "{'a': [1, 0], 'b': 1}");
}

TEST(Value, TruthFollowsTheDynamicRules) {
  EXPECT_FALSE(Value().truthy());
  EXPECT_FALSE(Value(0).truthy());
  EXPECT_FALSE(Value(0.0).truthy());
  EXPECT_FALSE(Value("").truthy());
  EXPECT_FALSE(Value::list().truthy());
  EXPECT_FALSE(Value(Map{}).truthy());
  EXPECT_TRUE(Value(1).truthy());
  EXPECT_TRUE(Value(-0.5).truthy());
  EXPECT_TRUE(Value::list({0}).truthy());
  EXPECT_FALSE(Value(NdArray::from_vector<double>({0.0})).truthy());
  EXPECT_THROW(Value(NdArray::from_vector<double>({1.0, 1.0})).truthy(), TypeError);
}

TEST(Value, CheckedAccessorsNameTheKinds) {
  try {
    Value("x").as_map();
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "expected dict, got str");
  }
  EXPECT_EQ(Value(1.9).as_int(), 1);
  EXPECT_EQ(Value(-1.9).as_int(), -1);
  EXPECT_EQ(Value(true).as_int(), 1);
  EXPECT_THROW(Value(std::nan("")).as_int(), InvalidArgumentError);
  EXPECT_THROW(Value::list({1})[3], IndexError);
}

TEST(Value, JsonRoundTripKeepsOrderAndKinds) {
  const auto json = nlohmann::ordered_json::parse(R"({"z": 1, "a": [1.5, true, null, "s"], "m": {"k": -3}})");
  Value v = Value::from_json(json);
  ASSERT_TRUE(v.is_map());
  EXPECT_EQ(v.as_map().entries().front().first, "z");
  EXPECT_TRUE(v["z"].is_int());
  EXPECT_TRUE(v["a"][0].is_float());
  EXPECT_TRUE(v["a"][2].is_none());
  EXPECT_EQ(v.to_json().dump(), json.dump());
}

TEST(Value, ArraysBecomeNestedJsonLists) {
  auto a = NdArray::from_vector<std::int64_t>({1, 2, 3, 4}, Shape{2, 2});
  EXPECT_EQ(Value(a).to_json().dump(), "[[1,2],[3,4]]");
  auto f = NdArray::from_vector<float>({0.5f});
  EXPECT_EQ(Value(f).to_json().dump(), "[0.5]");
}

TEST(Value, CopiesAreIndependent) {
  Value a(Map{{"x", Value::list({1, 2})}});
  Value b = a;
  b.as_map().at("x").as_list().items.push_back(3);
  EXPECT_EQ(a["x"].size(), 2u);
  EXPECT_EQ(b["x"].size(), 3u);
}
