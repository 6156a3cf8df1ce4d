// SkillRuntime construction, init and model loading: the candidate paths, the cases without a
// model, the model-preparation helper (present, missing, failing) and models that cannot be opened.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <typeinfo>

#include "common/errors.hpp"
#include "common/late_binding.hpp"
#include "runner/graph_runner.hpp"
#include "support/log_capture.hpp"
#include "tests/support/skill_runtime_fixture.hpp"

namespace skill_test {
namespace {

using tavrin_inference::BaseAgentProcessor;
using tavrin_inference::GraphRunner;
using tavrin_test::LogCapture;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr const char* kSkillLogger = "tavrin_inference.skill_runtime";
constexpr const char* kHelperLogger = "tavrin_inference.onnx_helper";

class SkillRuntimeLoading : public ::testing::Test {
 protected:
  std::shared_ptr<SkillRuntime> runtime(const std::optional<std::string>& checkpoint,
                                        nlohmann::ordered_json action_space = {{"type", "Discrete"}, {"n", 4}},
                                        const std::string& impl_class = "", bool controller = false) {
    return std::make_shared<SkillRuntime>(
        context_of(one_agent("pump", checkpoint, std::move(action_space), impl_class, controller), "pump"));
  }
  std::vector<std::string> skill_lines(const std::string& level) const { return log.messages(level, kSkillLogger); }

  // The three places a model of agent pump is looked for, in order.
  std::array<fs::path, 3> candidates() const {
    return {dir.path() / "pump.onnx", dir.path() / "pump" / "pump.onnx", dir.path() / "checkpoint" / "pump.onnx"};
  }

  LogCapture log;
  TempDir dir;
};

TEST_F(SkillRuntimeLoading, ConstructionLoadsNothingAndInitLoadsTheModel) {
  place_model("skill_discrete", candidates()[0]);
  auto rt = runtime(dir.str());
  EXPECT_EQ(rt->onnx_engine, nullptr);
  EXPECT_FALSE(rt->_is_initialized);
  EXPECT_EQ(rt->class_name(), "SkillRuntime");
  EXPECT_THAT(log.lines(), IsEmpty());

  run(rt->init());
  ASSERT_NE(rt->onnx_engine, nullptr);
  EXPECT_EQ(rt->onnx_engine->model_path(), candidates()[0].string());
  EXPECT_TRUE(rt->_is_initialized);
  EXPECT_TRUE(rt->context.orchestration->is_initialized());
}

// Which candidates exist -> which one is opened.
struct CandidateCase {
  std::array<bool, 3> present;
  int expected;
};

class SkillRuntimeCandidates : public SkillRuntimeLoading, public ::testing::WithParamInterface<CandidateCase> {};

TEST_P(SkillRuntimeCandidates, FirstExistingCandidateIsOpened) {
  const auto& param = GetParam();
  // Different models in different places, so the runner's inputs tell which file it opened too.
  const std::array<const char*, 3> models{"skill_discrete", "skill_discrete_no_mask", "skill_discrete_flat"};
  for (int i = 0; i < 3; ++i)
    if (param.present[i]) place_model(models[i], candidates()[i]);

  auto rt = runtime(dir.str());
  run(rt->init());

  const std::string expected = candidates()[param.expected].string();
  ASSERT_NE(rt->onnx_engine, nullptr);
  EXPECT_EQ(rt->onnx_engine->model_path(), expected);
  GraphRunner reference(model_fixture(models[param.expected]));
  EXPECT_EQ(rt->onnx_engine->input_names(), reference.input_names());
  EXPECT_EQ(rt->onnx_engine->output_names(), reference.output_names());
  EXPECT_EQ(log.count("info", "Loaded ONNX model for agent pump from " + expected), 1u);
  EXPECT_THAT(skill_lines("warning"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Order, SkillRuntimeCandidates,
                         ::testing::Values(CandidateCase{{true, false, false}, 0},
                                           CandidateCase{{false, true, false}, 1},
                                           CandidateCase{{false, false, true}, 2}, CandidateCase{{true, true, true}, 0},
                                           CandidateCase{{false, true, true}, 1},
                                           CandidateCase{{true, false, true}, 0}));

TEST_F(SkillRuntimeLoading, ADirectoryCountsAsAnExistingCandidate) {
  fs::create_directories(candidates()[0]);  // pump.onnx is a folder
  place_model("skill_discrete", candidates()[1]);
  auto rt = runtime(dir.str());
  EXPECT_ANY_THROW(run(rt->init()));
  const auto errors = skill_lines("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], HasSubstr("Failed to load ONNX model for agent pump: "));
  EXPECT_EQ(rt->onnx_engine, nullptr);
}

TEST_F(SkillRuntimeLoading, NoModelFileIsAWarningAndExecuteFailsAfterThePipeline) {
  auto rt = runtime(dir.str(), {{"type", "Discrete"}, {"n", 4}}, "SkillTestCountingTeacher");
  run(rt->init());
  EXPECT_EQ(rt->onnx_engine, nullptr);
  EXPECT_TRUE(rt->_is_initialized);
  EXPECT_EQ(skill_lines("warning"),
            std::vector<std::string>{"ONNX model not found at " + candidates()[2].string() + " for agent pump"});

  CountingTeacher::transforms = 0;
  try {
    run(rt->_execute(sensors_x({1, 2, 3, 4})));
    FAIL() << "_execute without a model succeeded";
  } catch (const tavrin_inference::RuntimeError& e) {
    EXPECT_STREQ(e.what(), "ONNX model not loaded for agent pump");
  }
  EXPECT_EQ(CountingTeacher::transforms, 1);  // the sensor pipeline ran first
}

TEST_F(SkillRuntimeLoading, AbsentCheckpointLooksForNothing) {
  auto rt = runtime(std::nullopt);
  run(rt->init());
  EXPECT_EQ(rt->onnx_engine, nullptr);
  EXPECT_EQ(skill_lines("warning"),
            std::vector<std::string>{"No checkpoint URI found for agent pump, cannot load ONNX model"});
  EXPECT_THAT(log.messages("debug", kHelperLogger), IsEmpty());
  EXPECT_THROW(run(rt->_execute(sensors_x({1, 2, 3, 4}))), tavrin_inference::RuntimeError);
}

// The working folder is changed for the test's duration and restored however it ends.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& path) : previous_(fs::current_path()) { fs::current_path(path); }
  ~WorkingDirectory() { fs::current_path(previous_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path previous_;
};

TEST_F(SkillRuntimeLoading, EmptyCheckpointMeansPathsRelativeToTheWorkingFolder) {
  WorkingDirectory cwd(dir.path());
  {
    auto rt = runtime(std::string());
    run(rt->init());
    EXPECT_EQ(rt->onnx_engine, nullptr);
    EXPECT_EQ(skill_lines("warning"),
              std::vector<std::string>{"ONNX model not found at checkpoint/pump.onnx for agent pump"});
  }
  log.clear();
  place_model("skill_discrete", dir.path() / "pump" / "pump.onnx");
  auto rt = runtime(std::string());
  run(rt->init());
  ASSERT_NE(rt->onnx_engine, nullptr);
  EXPECT_EQ(rt->onnx_engine->model_path(), "pump/pump.onnx");
  EXPECT_EQ(log.count("info", "Loaded ONNX model for agent pump from pump/pump.onnx"), 1u);
  EXPECT_THAT(skill_lines("warning"), IsEmpty());
}

TEST_F(SkillRuntimeLoading, ControllerAgentNeverLooksForAModel) {
  // A file that cannot be opened sits where the model would be: opening it would fail init.
  place_model("corrupt", candidates()[0]);
  auto rt =
      runtime(dir.str(), {{"type", "Box"}, {"low", 0}, {"high", 10}, {"shape", {1}}}, "SkillTestValveController", true);
  run(rt->init());
  EXPECT_EQ(rt->onnx_engine, nullptr);
  EXPECT_NE(rt->controller, nullptr);
  EXPECT_TRUE(rt->_is_initialized);
  EXPECT_EQ(skill_lines("info"),
            std::vector<std::string>{
                "Agent pump is a controller: its own programmed implementation is used instead of an ONNX model"});
  EXPECT_THAT(skill_lines("warning"), IsEmpty());
  EXPECT_THAT(log.messages("debug", kHelperLogger), IsEmpty());
}

TEST_F(SkillRuntimeLoading, ModelThatCannotBeOpenedIsLoggedThenItsOwnErrorRaised) {
  place_model("corrupt", candidates()[1]);
  const std::string path = candidates()[1].string();

  // What the runner itself raises for this file.
  std::string runner_message;
  const std::type_info* runner_type = nullptr;
  try {
    GraphRunner direct(path);
    FAIL() << "the corrupt fixture opened";
  } catch (const std::exception& e) {
    runner_message = e.what();
    runner_type = &typeid(e);
  }
  log.clear();

  auto rt = runtime(dir.str());
  try {
    run(rt->init());
    FAIL() << "init succeeded on a corrupt model";
  } catch (const std::exception& e) {
    EXPECT_EQ(e.what(), runner_message);
    EXPECT_EQ(typeid(e), *runner_type);
  }
  EXPECT_EQ(skill_lines("error"),
            std::vector<std::string>{"Failed to load ONNX model for agent pump: " + runner_message});
  EXPECT_EQ(rt->onnx_engine, nullptr);
  EXPECT_TRUE(rt->_is_initialized);  // the base init had completed
  // The helper could not read the file either; that is only a warning, logged before.
  const auto lines = log.lines();
  std::size_t warning_at = lines.size(), error_at = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].logger != kSkillLogger) continue;
    if (lines[i].level == "warning") warning_at = i;
    if (lines[i].level == "error") error_at = i;
  }
  ASSERT_LT(error_at, lines.size());
  EXPECT_LT(warning_at, error_at);
  EXPECT_THAT(lines[warning_at].message,
              HasSubstr("Failed to ensure action_mask in ONNX model for agent pump: " + path));
}

TEST_F(SkillRuntimeLoading, MissingHelperIsAWarningAndTheModelStillLoads) {
  place_model("skill_discrete", candidates()[0]);
  auto rt = runtime(dir.str());
  rt->onnx_helper_library = "skill_runtime_test_no_such_helper";
  std::string lookup_error;
  try {
    tavrin_inference::bind_symbol(rt->onnx_helper_library, tavrin_inference::kEnsureActionMaskSymbol);
  } catch (const std::exception& e) {
    lookup_error = e.what();
  }
  ASSERT_FALSE(lookup_error.empty());

  run(rt->init());
  EXPECT_EQ(skill_lines("warning"),
            std::vector<std::string>{"Failed to ensure action_mask in ONNX model for agent pump: " + lookup_error});
  ASSERT_NE(rt->onnx_engine, nullptr);
  EXPECT_EQ(log.count("info", "Loaded ONNX model for agent pump from " + candidates()[0].string()), 1u);
  EXPECT_EQ(run(rt->_execute(sensors_x({1, 5, 2, 3}))), Value(2));
}

TEST_F(SkillRuntimeLoading, FailingHelperIsAWarningAndTheModelStillLoads) {
  // The model's mask input holds 4 entries, the agent's action mask 5: every step would fail.
  place_model("skill_discrete", candidates()[0]);
  auto rt = runtime(dir.str(), {{"type", "Discrete"}, {"n", 5}});
  run(rt->init());
  EXPECT_EQ(skill_lines("warning"),
            std::vector<std::string>{"Failed to ensure action_mask in ONNX model for agent pump: action_mask input "
                                     "'action_mask' of " +
                                     candidates()[0].string() +
                                     " declares 4 entries, but the action mask of Discrete(5) has 5"});
  EXPECT_NE(rt->onnx_engine, nullptr);
}

TEST_F(SkillRuntimeLoading, HelperReportsAModelWithoutMaskInputAndLeavesTheFileAlone) {
  place_model("skill_discrete_no_mask", candidates()[0]);
  const std::string before = file_bytes(candidates()[0]);
  const auto written = fs::last_write_time(candidates()[0]);

  auto rt = runtime(dir.str());
  run(rt->init());
  EXPECT_EQ(log.messages("debug", kHelperLogger),
            std::vector<std::string>{"ONNX model " + candidates()[0].string() +
                                     " of agent pump declares no action_mask input; it runs on the observation alone"});
  EXPECT_THAT(skill_lines("warning"), IsEmpty());
  EXPECT_NE(rt->onnx_engine, nullptr);
  EXPECT_EQ(file_bytes(candidates()[0]), before);
  EXPECT_EQ(fs::last_write_time(candidates()[0]), written);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST_F(SkillRuntimeLoading, HelperAcceptsAMaskInputOfTheActionMasksSize) {
  place_model("skill_tuple", candidates()[0]);  // mask (1, 3): Discrete(2) + Box (1,)
  auto rt = runtime(
      dir.str(),
      {{"type", "Tuple"},
       {"spaces", {{{"type", "Discrete"}, {"n", 2}}, {{"type", "Box"}, {"low", -1}, {"high", 1}, {"shape", {1}}}}}});
  run(rt->init());
  EXPECT_EQ(log.messages("debug", kHelperLogger),
            std::vector<std::string>{"ONNX model " + candidates()[0].string() +
                                     " of agent pump takes the action mask through input 'action_mask'"});
  EXPECT_THAT(skill_lines("warning"), IsEmpty());
}

TEST_F(SkillRuntimeLoading, ExecuteBeforeInitIsRefused) {
  place_model("skill_discrete", candidates()[0]);
  auto rt = runtime(dir.str());
  try {
    run(rt->_execute(sensors_x({1, 2, 3, 4})));
    FAIL() << "_execute before init succeeded";
  } catch (const tavrin_inference::RuntimeError& e) {
    EXPECT_STREQ(e.what(), "SkillRuntime for agent pump is not initialised: await init() before _execute()");
  }
  run(rt->init());
  EXPECT_EQ(run(rt->_execute(sensors_x({1, 5, 2, 3}))), Value(2));
}

TEST_F(SkillRuntimeLoading, FactoryEntryPointMakesAnUninitialisedSkillRuntime) {
  place_model("skill_discrete", candidates()[0]);
  const auto orchestration = one_agent("pump", dir.str());
  tavrin_inference::MakeSkillRuntimeFn* make = tavrin_inference::bind_make_skill_runtime();
  std::shared_ptr<BaseAgentProcessor> processor = make(context_of(orchestration, "pump"));
  ASSERT_NE(processor, nullptr);
  auto* skill = dynamic_cast<SkillRuntime*>(processor.get());
  ASSERT_NE(skill, nullptr);
  EXPECT_EQ(processor->type_name(), "SkillRuntime");
  EXPECT_FALSE(processor->_is_initialized);
  EXPECT_EQ(skill->onnx_engine, nullptr);
  run(processor->init());
  EXPECT_NE(skill->onnx_engine, nullptr);
}

}  // namespace
}  // namespace skill_test
