// Bad input at step time, through PolicyHost::execute on the two-level hierarchy fixture:
// observations of the wrong kind, length or shape, missing and extra sensors, NaN and infinite
// values, simulator masks of the wrong length or with values other than 0 and 1, and teachers and
// controllers that fail. Each case checks what the application sees (the error's kind and message,
// or the action), that the next good step gives the action a clean host gives, and that no file
// changed.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/bad_input_support.hpp"
#include "tests/support/recording_impls.hpp"

namespace {

using namespace bad_input;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr const char* kConvert = "convert_sim_sensors_to_tavrin_sensors: ";
constexpr const char* kLogitsBox = "Box(-100.0, 100.0, (3), float32)";

Value f64_mask(std::vector<double> values) { return Value(NdArray::from_vector<double>(std::move(values))); }

// A packaged two-level host; every bad step is followed by the probes, answered as a clean host does.
class BadInputSteps : public BadInputTest {
 protected:
  void SetUp() override {
    BadInputTest::SetUp();
    before = box.snapshot();
    host = packaged_host(two_level());
  }
  void TearDown() override {
    expect_sandbox_unchanged(before);
    BadInputTest::TearDown();
  }

  Failure bad_step(const Value& obs, const Value& sim_mask = Value()) {
    Failure f = failure_of(host->execute(obs, sim_mask));
    expect_answers_like_clean_host(*host, kHierarchy + "/two_level.json", "", two_level_probes());
    return f;
  }
  void expect_step_fails(const Value& obs, const std::string& kind, const std::string& message) {
    const Failure f = bad_step(obs);
    EXPECT_EQ(f.kind(), kind) << f.message();
    EXPECT_EQ(f.message(), message);
  }

  Snapshot before;
  std::unique_ptr<PolicyHost> host;
};

// ---- observations ---------------------------------------------------------------------------

TEST_F(BadInputSteps, AnObservationThatIsNeitherAMapNorAFlatListIsATypeError) {
  for (const Value& obs : {Value(), Value("root_logits"), Value(3.0)}) {
    SCOPED_TRACE(obs.str());
    expect_step_fails(obs, "TypeError",
                      std::string(kConvert) + "expected a map of sensor values or a flat list, got " + obs.kind_name());
  }
}

TEST_F(BadInputSteps, AMissingSensorIsAKeyErrorNamingIt) {
  expect_step_fails(Value(Map{{"root_logits", numbers({9, 0, 0})}}), "KeyError",
                    std::string(kConvert) + "sensor 'root_allowed' is missing");
  expect_step_fails(Value(Map{}), "KeyError", std::string(kConvert) + "sensor 'root_logits' is missing");
}

TEST_F(BadInputSteps, AnExtraSensorIsIgnored) {
  for (const auto& probe : two_level_probes()) {
    Value obs = probe.obs;
    obs.as_map().set("humidity", Value(0.7));
    obs.as_map().set("note", Value("not a number"));
    const auto expected = clean_actions(kHierarchy + "/two_level.json", "", {probe});
    EXPECT_EQ(step(*host, obs, probe.sim_mask), expected.front());
  }
}

TEST_F(BadInputSteps, ASensorOfTheWrongLengthNamesTheSensorItsSpaceAndBothCounts) {
  expect_step_fails(two_level_sensors({9, 0}), "InvalidArgumentError",
                    std::string(kConvert) + "sensor root_logits: expected 3 values for " + kLogitsBox + ", got 2");
  expect_step_fails(two_level_sensors({9, 0, 0, 0}), "InvalidArgumentError",
                    std::string(kConvert) + "sensor root_logits: expected 3 values for " + kLogitsBox + ", got 4");
  expect_step_fails(Value(Map{{"root_logits", numbers({})}, {"root_allowed", numbers({1, 1, 1})}}),
                    "InvalidArgumentError",
                    std::string(kConvert) + "sensor root_logits: expected 3 values for " + kLogitsBox + ", got 0");
}

TEST_F(BadInputSteps, TextWhereANumberBelongsIsATypeErrorNamingTheSensor) {
  const Value texts = Value::list({Value(9.0), Value("0"), Value(0.0)});
  expect_step_fails(Value(Map{{"root_logits", texts}, {"root_allowed", numbers({1, 1, 1})}}), "TypeError",
                    std::string(kConvert) + "sensor root_logits: expected a number, a list or an array for " +
                        kLogitsBox + ", got str");
  expect_step_fails(Value(Map{{"root_logits", Value(Map{{"a", Value(1.0)}})}, {"root_allowed", numbers({1, 1, 1})}}),
                    "TypeError",
                    std::string(kConvert) + "sensor root_logits: expected a number, a list or an array for " +
                        kLogitsBox + ", got dict");
}

TEST_F(BadInputSteps, NestedListsAreReadInRowMajorOrderAndOnlyTheirCountMatters) {
  // [[0], [9, 0]] holds three numbers: it is read as (0, 9, 0), as a flat list would be.
  const Value nested = Value::list({numbers({0}), numbers({9, 0})});
  const Value obs(Map{{"root_logits", nested}, {"root_allowed", numbers({1, 1, 1})}});
  EXPECT_EQ(step(*host, obs),
            clean_actions(kHierarchy + "/two_level.json", "", {{two_level_sensors({0, 9, 0}), Value()}}).front());
  const Value too_many = Value::list({numbers({0, 9, 0}), numbers({0, 0, 0})});
  expect_step_fails(Value(Map{{"root_logits", too_many}, {"root_allowed", numbers({1, 1, 1})}}), "InvalidArgumentError",
                    std::string(kConvert) + "sensor root_logits: expected 3 values for " + kLogitsBox + ", got 6");
}

TEST_F(BadInputSteps, AFlatListOfSensorValuesMustHoldExactlyOneValuePerElement) {
  // The flat form: root_logits then root_allowed, in the orchestration's order.
  EXPECT_EQ(step(*host, numbers({0, 0, 9, 1, 1, 1})), Value(2));
  expect_step_fails(numbers({0, 0, 9, 1, 1}), "InvalidArgumentError",
                    std::string(kConvert) + "expected 6 sensor values, got 5");
  expect_step_fails(Value::list({Value(0.0), Value("x")}), "TypeError",
                    std::string(kConvert) + "a flat sensor list holds numbers, got str");
}

// NaN and infinite sensor values are refused before any model runs, naming the sensor and the
// element: passed through, one NaN would make every logit NaN, and a NaN logit wins the choice
// whatever the mask forbids.
TEST_F(BadInputSteps, NonFiniteSensorValuesAreRefusedBeforeTheSelectorsModelRuns) {
  expect_step_fails(two_level_sensors({0, kNaN, 5}, {0, 1, 1}), "InvalidArgumentError",
                    std::string(kConvert) + "sensor 'root_logits': element 1 is nan; sensor values must be finite");
  expect_step_fails(two_level_sensors({0, kInf, 5}, {0, 1, 1}), "InvalidArgumentError",
                    std::string(kConvert) + "sensor 'root_logits': element 1 is inf; sensor values must be finite");
  expect_step_fails(two_level_sensors({-kInf, 0, 5}), "InvalidArgumentError",
                    std::string(kConvert) + "sensor 'root_logits': element 0 is -inf; sensor values must be finite");
  expect_step_fails(numbers({0, 0, 9, 1, kNaN, 1}), "InvalidArgumentError",
                    std::string(kConvert) + "sensor 'root_allowed': element 1 is nan; sensor values must be finite");
  EXPECT_EQ(step(*host, two_level_sensors({0, 0, 5}, {0, 1, 1})), Value(2));
}

// The discrete skill fixture (logits = the observation reversed), where the simulator's mask acts.
class BadInputNonFiniteSkill : public BadInputTest {
 protected:
  void SetUp() override {
    BadInputTest::SetUp();
    before = box.snapshot();
    host = packaged_host(box.path("skill/discrete.json"), "skill_discrete");
  }
  void TearDown() override {
    const std::vector<Probe> probes{{Value(Map{{"x", numbers({0, 0, 0, 9})}}), f64_mask({1, 1, 0, 1})},
                                    {Value(Map{{"x", numbers({1, 2, 3, 4})}}), Value()}};
    expect_answers_like_clean_host(*host, kFixtures + "/skill/discrete.json", "skill_discrete", probes);
    expect_sandbox_unchanged(before);
    BadInputTest::TearDown();
  }
  Value act(const std::vector<double>& x, const Value& mask) {
    return step(*host, Value(Map{{"x", numbers(x)}}), mask);
  }

  Snapshot before;
  std::unique_ptr<PolicyHost> host;
};

TEST_F(BadInputNonFiniteSkill, NonFiniteSensorValuesNeverReachTheSkillsModel) {
  // Passed through, one non-finite input of this dense model (NaN, or an infinity times zero) would
  // make every logit NaN, and the first NaN would win: action 0, which the simulator forbids.
  const Value forbid_0 = f64_mask({0, 1, 1, 1});
  EXPECT_EQ(act({0, 0, 0, 9}, forbid_0), Value(1));
  for (const double bad : {kNaN, kInf, -kInf}) {
    const Failure f = failure_of(host->execute(Value(Map{{"x", numbers({0, bad, 0, 9})}}), forbid_0));
    EXPECT_EQ(f.kind(), "InvalidArgumentError");
    EXPECT_EQ(f.message(), std::string(kConvert) + "sensor 'x': element 1 is " + Value(bad).str() +
                               "; sensor values must be finite");
  }
  EXPECT_EQ(act({0, 0, 0, 9}, forbid_0), Value(1));
}

// ---- masks ----------------------------------------------------------------------------------

// A skill root (h2_leaf1: always action 1 while it is allowed), where the simulator's mask acts.
class BadInputMasks : public BadInputTest {
 protected:
  void SetUp() override {
    BadInputTest::SetUp();
    before = box.snapshot();
    host = packaged_host(two_level(), "h2_leaf1");
  }
  void TearDown() override {
    expect_answers_like_clean_host(*host, kHierarchy + "/two_level.json", "h2_leaf1", two_level_probes());
    expect_sandbox_unchanged(before);
    BadInputTest::TearDown();
  }
  Value act(const Value& mask) { return step(*host, two_level_sensors({0, 0, 0}), mask); }

  Snapshot before;
  std::unique_ptr<PolicyHost> host;
};

TEST_F(BadInputMasks, EveryEntryThatIsNotAtLeastOneForbidsItsAction) {
  EXPECT_EQ(act(f64_mask({1, 1, 1})), Value(1));
  EXPECT_EQ(act(f64_mask({1, 0, 1})), Value(0));
  EXPECT_EQ(act(f64_mask({1, 2, 1})), Value(1));     // any positive whole number allows
  EXPECT_EQ(act(f64_mask({1, 0.5, 1})), Value(0));   // fractions are cut toward zero
  EXPECT_EQ(act(f64_mask({1, -1, 1})), Value(0));    // negative entries forbid
  EXPECT_EQ(act(f64_mask({1, kNaN, 1})), Value(0));  // NaN forbids
  EXPECT_EQ(act(f64_mask({-1, -1, 1})), Value(2));
  // Plain lists and int8 arrays behave like float64 arrays.
  EXPECT_EQ(act(Value::list({Value(1), Value(-1), Value(1)})), Value(0));
  EXPECT_EQ(act(Value(NdArray::from_vector<std::int8_t>({1, -1, 1}))), Value(0));
  // Everything forbidden: the first action.
  EXPECT_EQ(act(f64_mask({0, -1, kNaN})), Value(0));
}

TEST_F(BadInputMasks, AShortMaskAllowsTheActionsItDoesNotCover) {
  EXPECT_EQ(act(f64_mask({1, 0})), Value(0));
  EXPECT_EQ(act(f64_mask({0})), Value(1));
  EXPECT_EQ(act(f64_mask({})), Value(1));
}

TEST_F(BadInputMasks, ALongMaskFailsAtTheModelsMaskInput) {
  const Failure f = failure_of(host->execute(two_level_sensors({0, 0, 0}), f64_mask({1, 0, 1, 1})));
  EXPECT_EQ(f.kind(), "InvalidArgumentError");
  EXPECT_EQ(f.message(), "cannot reshape array of size 4 into shape (1, 3)");
}

TEST_F(BadInputMasks, AMaskThatIsNotNumbersIsRejected) {
  const Failure text = failure_of(host->execute(two_level_sensors({0, 0, 0}), Value("1,0,1")));
  EXPECT_EQ(text.kind(), "TypeError");
  EXPECT_EQ(text.message(), "an action mask must be numbers, arrays, sequences or maps of them, got str");
  const Failure hole =
      failure_of(host->execute(two_level_sensors({0, 0, 0}), Value::list({Value(1), Value(), Value(1)})));
  EXPECT_EQ(hole.kind(), "InvalidArgumentError");
  EXPECT_EQ(hole.message(), "cannot join the parts of an action mask that holds None");
}

TEST_F(BadInputSteps, ASelectorsMaskFromItsTeacherFollowsTheSameRule) {
  // The root's teacher masks the children with root_allowed.
  EXPECT_EQ(step(*host, two_level_sensors({1, 9, 3}, {1, -1, 1})), Value(2));
  EXPECT_EQ(step(*host, two_level_sensors({1, 9, 3}, {1, 0.5, 1})), Value(2));
  EXPECT_EQ(step(*host, two_level_sensors({1, 9, 3}, {1, 2, 1})), Value(1));
}

// ---- teachers and controllers that fail -----------------------------------------------------

void fail_with_runtime_error() { throw tavrin_inference::RuntimeError("the teacher's service is down"); }
void fail_with_foreign_error() { throw std::out_of_range("vector::at"); }

class BadInputImpls : public BadInputTest {
 protected:
  // The two-level fixture with `agent_json` in place of h2_leaf<leaf>'s entry.
  std::string with_leaf(int leaf, const std::string& agent_json) {
    const std::string name = "h2_leaf" + std::to_string(leaf);
    const std::string entry =
        "{\"name\": \"" + name +
        "\", \"kind\": \"Agent\", \"checkpoint\": \"../models\", \"class\": \"HierLeafTeacher\",\n"
        "     \"action_space\": {\"type\": \"Discrete\", \"n\": 3}}";
    return box.write("hierarchy/failing.json", replace_once(box.read("hierarchy/two_level.json"), entry, agent_json));
  }
  std::string teacher_leaf(int leaf, const std::string& cls) {
    return with_leaf(leaf, "{\"name\": \"h2_leaf" + std::to_string(leaf) +
                               "\", \"kind\": \"Agent\", \"checkpoint\": \"../models\", \"class\": \"" + cls +
                               "\", \"action_space\": {\"type\": \"Discrete\", \"n\": 3}}");
  }
  std::string controller_leaf(int leaf, const std::string& cls) {
    return with_leaf(leaf, "{\"name\": \"h2_leaf" + std::to_string(leaf) +
                               "\", \"kind\": \"Agent\", \"controller\": true, \"class\": \"" + cls +
                               "\", \"action_space\": {\"type\": \"Discrete\", \"n\": 3}}");
  }
};

TEST_F(BadInputImpls, ATeacherHookThatFailsFailsTheStepUnchangedAndTheNextStepIsRight) {
  for (Hook hook : {Hook::transform_sensors, Hook::compute_action_mask, Hook::transform_action}) {
    for (bool foreign : {false, true}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(hook)) + (foreign ? " foreign" : " runtime"));
      auto armed = std::make_shared<bool>(false);
      auto fail = foreign ? fail_with_foreign_error : fail_with_runtime_error;
      const std::string cls =
          register_impl("Teacher", [=] { return std::make_shared<SwitchTeacher>(hook, armed, fail); });
      const std::string path = teacher_leaf(1, cls);
      const auto before = box.snapshot();
      auto host = packaged_host(path);

      *armed = true;
      // Steps that reach leaf 1 fail with the teacher's own error; the others are untouched.
      const Failure f = failure_of(host->execute(two_level_sensors({0, 9, 0})));
      EXPECT_EQ(f.kind(), foreign ? "std::exception" : "RuntimeError");
      EXPECT_EQ(f.message(), foreign ? "vector::at" : "the teacher's service is down");
      EXPECT_EQ(f.chain.size(), 1u);
      EXPECT_EQ(step(*host, two_level_sensors({9, 0, 0})), Value(0));
      *armed = false;
      expect_answers_like_clean_host(*host, kHierarchy + "/two_level.json", "", two_level_probes());
      expect_sandbox_unchanged(before);
    }
  }
}

TEST_F(BadInputImpls, ATeacherThatCannotBeCreatedFailsPackagingNamingTheAgents) {
  const std::string cls = register_impl("Unmakeable", []() -> tavrin_core::ImplementationPtr {
    throw tavrin_inference::RuntimeError("licence server unreachable");
  });
  const std::string path = teacher_leaf(1, cls);
  const auto before = box.snapshot();
  auto host = packaged_host(two_level());
  const auto previous = host->agent_processor;
  run_sync(host->load_orchestration(path));
  const Failure f = failure_of(host->package());
  ASSERT_EQ(f.chain.size(), 3u) << f.message();
  EXPECT_EQ(f.message(),
            "Failed to create ONNX agent processor for h2_root: Failed to create ONNX agent processor for h2_leaf1: "
            "licence server unreachable");
  EXPECT_EQ(f.root().message, "licence server unreachable");
  EXPECT_EQ(host->agent_processor, previous);
  expect_answers_like_clean_host(*host, kHierarchy + "/two_level.json", "", two_level_probes());
  expect_sandbox_unchanged(before);
}

TEST_F(BadInputImpls, AControllerThatFailsFailsTheStepUnchangedAndTheNextStepIsRight) {
  // h2_leaf2 as a controller that answers 2, as the leaf's model would.
  auto armed = std::make_shared<bool>(false);
  const std::string cls = register_impl(
      "Controller", [=] { return std::make_shared<SwitchController>(Value(2), armed, fail_with_runtime_error); });
  const std::string path = controller_leaf(2, cls);
  const auto before = box.snapshot();
  auto host = packaged_host(path);
  expect_answers_like_clean_host(*host, kHierarchy + "/two_level.json", "", two_level_probes());

  *armed = true;
  const Failure f = failure_of(host->execute(two_level_sensors({0, 0, 9})));
  EXPECT_EQ(f.kind(), "RuntimeError");
  EXPECT_EQ(f.message(), "the teacher's service is down");
  EXPECT_EQ(step(*host, two_level_sensors({0, 9, 0})), Value(1));
  *armed = false;
  expect_answers_like_clean_host(*host, kHierarchy + "/two_level.json", "", two_level_probes());
  expect_sandbox_unchanged(before);
}

TEST_F(BadInputImpls, AControllersActionIsPassedOnUncheckedAsTheSpaceIsNotConsulted) {
  const std::string cls = register_impl(
      "Wild", [] { return std::make_shared<SwitchController>(Value("left"), std::make_shared<bool>(false), [] {}); });
  auto host = packaged_host(controller_leaf(2, cls));
  EXPECT_EQ(step(*host, two_level_sensors({0, 0, 9})), Value("left"));
  EXPECT_EQ(step(*host, two_level_sensors({9, 0, 0})), Value(0));
}

TEST_F(BadInputImpls, ASelectorTeacherThatChoosesAChildOutOfRangeIsAnIndexError) {
  // The root's teacher turns every choice into a child that does not exist.
  auto log = std::make_shared<tavrin_test::CallLog>();
  auto script = std::make_shared<tavrin_test::TeacherScript>();
  script->filtered_keys = Value::list({Value("root_logits")});
  auto out_of_range = std::make_shared<int>(3);
  script->transform_action = [=](const Value&, Value action) {
    return *out_of_range == -100 ? std::move(action) : Value(*out_of_range);
  };
  const std::string cls = tavrin_test::register_teacher("root", log, script);
  const std::string path =
      box.write("hierarchy/failing.json", replace_once(box.read("hierarchy/two_level.json"),
                                                       "\"class\": \"HierRootTeacher\"", "\"class\": \"" + cls + "\""));
  const auto before = box.snapshot();
  auto host = packaged_host(path);
  for (int index : {3, -1}) {
    *out_of_range = index;
    const Failure f = failure_of(host->execute(two_level_sensors({9, 0, 0})));
    EXPECT_EQ(f.kind(), "IndexError");
    EXPECT_EQ(f.message(), "child index " + std::to_string(index) +
                               " is out of range for orchestrator agent h2_root with 3 child processors");
  }
  *out_of_range = -100;  // from now on the choice is kept
  // This teacher forms no mask of its own, so the probes that rely on root_allowed are left out.
  const std::vector<Probe> probes{{two_level_sensors({9, 0, 0}), Value()},
                                  {two_level_sensors({0, 9, 0}), Value()},
                                  {two_level_sensors({0, 0, 9}), Value(f64_mask({1, 1, 0}))}};
  expect_answers_like_clean_host(*host, kHierarchy + "/two_level.json", "", probes);
  expect_sandbox_unchanged(before);
}

}  // namespace
