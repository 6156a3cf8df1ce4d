// Bad models behind a PolicyHost: missing model files, corrupt ones (random bytes, empty, cut short,
// a folder in place of the file), and models whose shapes do not fit the orchestration (observation
// size, number of outputs against the action space, element type). Each case checks the error the
// application sees, what the host still does afterwards (compared with a clean host on the same
// observations), and that no model or orchestration file was touched.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/bad_input_support.hpp"
#include "tests/support/log_capture.hpp"

namespace {

using namespace bad_input;

Value x_sensor(const std::vector<double>& values) { return Value(Map{{"x", numbers(values)}}); }

using BadInputModels = BadInputTest;

// ---- missing models -----------------------------------------------------------------------------

TEST_F(BadInputModels, AMissingLeafModelIsWarnedAtPackagingAndFailsOnlyTheStepsThatReachTheLeaf) {
  std::filesystem::remove(box.path("models/h2_leaf1.onnx"));
  const auto before = box.snapshot();
  tavrin_test::LogCapture logs;
  auto host = packaged_host(two_level());
  EXPECT_EQ(
      logs.count("warning", "ONNX model not found at " + box.models() + "/checkpoint/h2_leaf1.onnx for agent h2_leaf1"),
      1u);

  // Probes that do not reach leaf 1 answer as with every model present.
  const std::vector<Probe> elsewhere{{two_level_sensors({9, 0, 0}), Value()}, {two_level_sensors({0, 0, 9}), Value()}};
  expect_answers_like_clean_host(*host, kHierarchy + "/two_level.json", "", elsewhere);

  const Failure f = failure_of(host->execute(two_level_sensors({0, 9, 0})));
  EXPECT_EQ(f.kind(), "RuntimeError");
  EXPECT_EQ(f.message(), "ONNX model not loaded for agent h2_leaf1");
  expect_answers_like_clean_host(*host, kHierarchy + "/two_level.json", "", elsewhere);
  expect_sandbox_unchanged(before);
}

TEST_F(BadInputModels, AMissingRootModelFailsEveryStepBeforeTheSensorsAreRead) {
  std::filesystem::remove(box.path("models/h2_root.onnx"));
  const auto before = box.snapshot();
  auto host = packaged_host(two_level());
  for (const Value& obs : {two_level_sensors({9, 0, 0}), Value("not even sensors")}) {
    const Failure f = failure_of(host->execute(obs));
    EXPECT_EQ(f.kind(), "RuntimeError");
    EXPECT_EQ(f.message(), "ONNX model not loaded for orchestrator agent h2_root");
  }
  // Packaging a subtree that has its models works on the same host.
  run_sync(host->package(nullptr, std::string("h2_leaf2")));
  expect_answers_like_clean_host(*host, kHierarchy + "/two_level.json", "h2_leaf2", two_level_probes());
  expect_sandbox_unchanged(before);
}

// ---- corrupt models -----------------------------------------------------------------------------

struct Corruption {
  std::string name;
  std::string bytes;  // the file's new content
};

std::vector<Corruption> corruptions_of(const std::string& model) {
  std::vector<Corruption> out{{"random bytes", random_bytes(4096, 3)},
                              {"empty", ""},
                              {"corrupt fixture", read_text(kModels + "/corrupt.onnx")}};
  for (double fraction : {0.1, 0.5, 0.9}) {
    const auto n = static_cast<std::size_t>(static_cast<double>(model.size()) * fraction);
    out.push_back({"cut at " + std::to_string(n) + " of " + std::to_string(model.size()), model.substr(0, n)});
  }
  out.push_back({"last byte cut", model.substr(0, model.size() - 1)});
  // A valid model with its first bytes garbled.
  std::string garbled = model;
  for (std::size_t i = 0; i < 16 && i < garbled.size(); ++i) garbled[i] = static_cast<char>(0xff);
  out.push_back({"garbled header", garbled});
  return out;
}

TEST_F(BadInputModels, ACorruptLeafModelFailsPackagingWithItsCausesAndKeepsThePreviousRoot) {
  auto host = packaged_host(two_level());
  const auto previous = host->agent_processor;
  const std::string model = box.read("models/h2_leaf1.onnx");
  const std::string path = box.path("models/h2_leaf1.onnx");

  for (const auto& c : corruptions_of(model)) {
    SCOPED_TRACE(c.name);
    write_text(path, c.bytes);
    const auto before = box.snapshot();
    const Failure f = failure_of(host->package());
    ASSERT_EQ(f.chain.size(), 3u) << f.message();
    EXPECT_EQ(f.kind(), "RuntimeError");
    EXPECT_TRUE(starts_with(f.message(),
                            "Failed to create ONNX agent processor for h2_root: "
                            "Failed to create ONNX agent processor for h2_leaf1: "))
        << f.message();
    EXPECT_TRUE(starts_with(f.chain[1].message, "Failed to create ONNX agent processor for h2_leaf1: "));
    EXPECT_EQ(f.root().kind, "RuntimeError");
    EXPECT_NE(f.root().message.find(path), std::string::npos) << f.root().message;
    EXPECT_EQ(host->agent_processor, previous);
    expect_answers_like_clean_host(*host, kHierarchy + "/two_level.json", "", two_level_probes());
    expect_sandbox_unchanged(before);
  }
}

TEST_F(BadInputModels, AFolderInPlaceOfAModelFileFailsPackaging) {
  std::filesystem::remove(box.path("models/h2_leaf1.onnx"));
  std::filesystem::create_directories(box.path("models/h2_leaf1.onnx"));
  const auto before = box.snapshot();
  PolicyHost host;
  run_sync(host.load_orchestration(two_level()));
  const Failure f = failure_of(host.package());
  ASSERT_EQ(f.chain.size(), 3u) << f.message();
  EXPECT_TRUE(starts_with(f.message(),
                          "Failed to create ONNX agent processor for h2_root: "
                          "Failed to create ONNX agent processor for h2_leaf1: "))
      << f.message();
  EXPECT_NE(f.root().message.find(box.path("models/h2_leaf1.onnx")), std::string::npos) << f.root().message;
  EXPECT_EQ(host.agent_processor, nullptr);
  const Failure none = failure_of(host.execute(two_level_sensors({9, 0, 0})));
  EXPECT_EQ(none.message(), "No agent processor available. Call package() first.");
  // Another agent of the same orchestration packages and acts.
  run_sync(host.package(nullptr, std::string("h2_leaf0")));
  expect_answers_like_clean_host(host, kHierarchy + "/two_level.json", "h2_leaf0", two_level_probes());
  expect_sandbox_unchanged(before);
}

// ---- models that do not fit the orchestration --------------------------------------------------

// The discrete skill fixture (model: observation (1, 4), mask (1, 4), logits = observation reversed)
// with its sensor or action space changed.
class BadInputModelShapes : public BadInputTest {
 protected:
  std::string skill_with(const std::string& from, const std::string& to) {
    return box.write("skill/mismatch.json", replace_once(box.read("skill/discrete.json"), from, to));
  }
  static constexpr const char* kSensor = "{\"type\": \"Box\", \"low\": -100, \"high\": 100, \"shape\": [4]}";
  static constexpr const char* kSpace =
      "{\"name\": \"skill_discrete\", \"kind\": \"Agent\", \"checkpoint\": \"../models\",\n     \"action_space\": "
      "{\"type\": \"Discrete\", \"n\": 4}}";
  static std::string space(const std::string& agent, const std::string& action_space) {
    return "{\"name\": \"" + agent +
           "\", \"kind\": \"Agent\", \"checkpoint\": \"../models\",\n     \"action_space\": " + action_space + "}";
  }
  // skill_discrete_no_mask (four logits, no mask input) declared with a Discrete(`actions`) space
  // answers `descending` to the sensors 4, 3, 2, 1 and `ascending` to 1, 2, 3, 4, and steps leave
  // the sandbox as it was.
  void expect_no_mask_skill_steps(int actions, const Value& descending, const Value& ascending) {
    const std::string path = skill_with(
        "{\"name\": \"skill_discrete_no_mask\", \"kind\": \"Agent\", \"checkpoint\": \"../models\",\n     "
        "\"action_space\": {\"type\": \"Discrete\", \"n\": 4}}",
        space("skill_discrete_no_mask", "{\"type\": \"Discrete\", \"n\": " + std::to_string(actions) + "}"));
    const auto before = box.snapshot();
    auto host = packaged_host(path, "skill_discrete_no_mask");
    EXPECT_EQ(step(*host, x_sensor({4, 3, 2, 1})), descending);
    EXPECT_EQ(step(*host, x_sensor({1, 2, 3, 4})), ascending);
    expect_sandbox_unchanged(before);
  }
  // The clean skill answers these; after a failed step the host must still answer them.
  std::vector<Probe> probes() const {
    return {{x_sensor({1, 2, 3, 4}), Value()}, {x_sensor({4, 3, 2, 1}), Value()}, {x_sensor({0, 9, 0, 0}), Value()}};
  }
};

TEST_F(BadInputModelShapes, AnObservationOfAnotherSizeThanTheModelTakesFailsEveryStepWithBothShapes) {
  const std::string path = skill_with(kSensor, "{\"type\": \"Box\", \"low\": -100, \"high\": 100, \"shape\": [3]}");
  const auto before = box.snapshot();
  auto host = packaged_host(path, "skill_discrete");
  const Failure f = failure_of(host->execute(x_sensor({1, 2, 3})));
  EXPECT_EQ(f.kind(), "InvalidArgumentError");
  EXPECT_EQ(f.message(),
            "Observation has too many dimensions: (1, 3), expected: [1, 4]. Batch inference is not supported.");
  // The observation the model takes is refused by the orchestration's sensor space.
  const Failure g = failure_of(host->execute(x_sensor({1, 2, 3, 4})));
  EXPECT_EQ(g.kind(), "InvalidArgumentError");
  EXPECT_EQ(g.message(),
            "convert_sim_sensors_to_tavrin_sensors: sensor x: expected 3 values for Box(-100.0, 100.0, (3), "
            "float32), got 4");
  // The same host packages the matching orchestration and acts.
  run_sync(host->load_orchestration(box.path("skill/discrete.json")));
  run_sync(host->package(nullptr, std::string("skill_discrete")));
  expect_answers_like_clean_host(*host, kFixtures + "/skill/discrete.json", "skill_discrete", probes());
  expect_sandbox_unchanged(before);
}

// A teacher that asks for "CO2" where the sensor is "co2".
class MisspeltSensorTeacher : public tavrin_core::AgentTeacher {
 public:
  std::string class_name() const override { return "MisspeltSensorTeacher"; }
  asio::awaitable<Value> filtered_sensor_space() override { co_return Value::list({Value("x"), Value("CO2")}); }
};
const tavrin_core::RegisterAgentImpl<MisspeltSensorTeacher> misspelt_sensor_teacher("MisspeltSensorTeacher");

TEST_F(BadInputModelShapes, ASensorNameThatIsNotASensorIsNamedAtPackagingWithTheClosestSensor) {
  // x (3 values) and co2 (1) make the four values the model takes; the teacher's "CO2" is dropped.
  std::string text =
      replace_once(box.read("skill/discrete.json"), kSensor,
                   "{\"type\": \"Box\", \"low\": -100, \"high\": 100, \"shape\": [3]}},\n    "
                   "{\"name\": \"co2\", \"space\": {\"type\": \"Box\", \"low\": 0, \"high\": 5000, \"shape\": [1]}");
  text = replace_once(text, "\"name\": \"skill_discrete\", ",
                      "\"name\": \"skill_discrete\", \"class\": \"MisspeltSensorTeacher\", ");
  const std::string path = box.write("skill/misspelt.json", text);
  tavrin_test::LogCapture logs;
  auto host = packaged_host(path, "skill_discrete");
  EXPECT_EQ(logs.messages("warning", "tavrin_inference.skillkit"),
            std::vector<std::string>{"agent 'skill_discrete' feeds an observation of (1, 3) from the sensors x (3), "
                                     "but input 'observations' of model " +
                                     box.models() +
                                     "/skill_discrete.onnx declares [1, 4]: every step that reaches skill_discrete "
                                     "fails; 'CO2' is not a sensor (closest: 'co2')"});
  // The step's own error is left as it is.
  const Failure f = failure_of(host->execute(Value(Map{{"x", numbers({1, 2, 3})}, {"co2", numbers({400})}})));
  EXPECT_EQ(f.message(),
            "Observation has too many dimensions: (1, 3), expected: [1, 4]. Batch inference is not supported.");
  // An observation that fits is not warned about.
  logs.clear();
  packaged_host(box.path("skill/discrete.json"), "skill_discrete");
  EXPECT_TRUE(logs.messages("warning", "tavrin_inference.skillkit").empty());
}

TEST_F(BadInputModelShapes, AnActionSpaceOfAnotherSizeThanTheModelsMaskInputIsWarnedAndFailsEveryStep) {
  for (int n : {3, 6}) {
    SCOPED_TRACE("Discrete(" + std::to_string(n) + ")");
    const std::string path =
        skill_with(kSpace, space("skill_discrete", "{\"type\": \"Discrete\", \"n\": " + std::to_string(n) + "}"));
    const auto before = box.snapshot();
    tavrin_test::LogCapture logs;
    auto host = packaged_host(path, "skill_discrete");
    EXPECT_EQ(logs.count("warning",
                         "Failed to ensure action_mask in ONNX model for agent skill_discrete: "
                         "action_mask input 'action_mask' of " +
                             box.models() +
                             "/skill_discrete.onnx declares 4 entries, but the action mask of "
                             "Discrete(" +
                             std::to_string(n) + ") has " + std::to_string(n)),
              1u);
    // The warning said it all; every step fails where the mask meets the model's mask input.
    const Failure f = failure_of(host->execute(x_sensor({1, 2, 3, 4})));
    EXPECT_EQ(f.kind(), "InvalidArgumentError");
    EXPECT_EQ(f.message(), "cannot reshape array of size " + std::to_string(n) + " into shape (1, 4)");
    run_sync(host->load_orchestration(box.path("skill/discrete.json")));
    run_sync(host->package(nullptr, std::string("skill_discrete")));
    expect_answers_like_clean_host(*host, kFixtures + "/skill/discrete.json", "skill_discrete", probes());
    expect_sandbox_unchanged(before);
  }
}

// Without a mask input nothing tells the model's output size at packaging, and decoding takes what
// the row holds: a Discrete(n) action is the largest of the first n logits, however many there are.
TEST_F(BadInputModelShapes, AModelWithoutMaskInputAndTooFewOutputsForTheActionSpaceNeverChoosesTheMissingActions) {
  // skill_discrete_no_mask: four logits, no mask input, so nothing is checked at packaging.
  // Four logits for six actions: actions 4 and 5 can never come out.
  expect_no_mask_skill_steps(6, Value(3), Value(0));
}

TEST_F(BadInputModelShapes, AModelWithoutMaskInputAndMoreOutputsThanTheActionSpaceHasItsLastLogitsIgnored) {
  // The model prefers its action 3; of the two actions the space has, 1 has the larger logit.
  expect_no_mask_skill_steps(2, Value(1), Value(0));
}

TEST_F(BadInputModelShapes, AModelThatDeclaresAnotherObservationTypeFailsInTheRuntimeAndTheHostGoesOn) {
  // double_obs: observations declared float64, fed float32.
  write_text(box.path("models/skill_discrete.onnx"), read_text(kModels + "/double_obs.onnx"));
  const auto before = box.snapshot();
  auto host = packaged_host(box.path("skill/discrete.json"), "skill_discrete");
  const Failure f = failure_of(host->execute(x_sensor({1, 2, 3, 4})));
  EXPECT_EQ(f.kind(), "RuntimeError");
  EXPECT_EQ(f.message(), "Unexpected input data type. Actual: (tensor(float)) , expected: (tensor(double))");
  // Other agents of the same orchestration are unaffected.
  run_sync(host->package(nullptr, std::string("skill_discrete_flat")));
  expect_answers_like_clean_host(*host, kFixtures + "/skill/discrete.json", "skill_discrete_flat", probes());
  expect_sandbox_unchanged(before);
}

}  // namespace
