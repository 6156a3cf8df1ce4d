// GraphRunner across runners: one loaded session for runners of the same model file and options,
// per-runner run state, thread-pool settings, and the warm-up run at loading. Real ONNX Runtime
// sessions on the generated fixtures (tests/fixtures/models/README.md).

#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include "common/errors.hpp"
#include "core_api/trainer_config.hpp"
#include "runner/graph_runner.hpp"
#include "runner/runner_options.hpp"
#include "support/checks.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/test_paths.hpp"

namespace tavrin_inference {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Pool = GraphRunnerOptions::ThreadPool;
using tavrin_test::doubles;

constexpr const char* kLogger = "tavrin_inference.graph_runner";

std::string model(const std::string& name) { return tavrin_test::test_data_dir() + "/models/" + name + ".onnx"; }

// Threads of this process now.
int thread_count() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

GraphRunnerOptions per_session(int threads) {
  GraphRunnerOptions options;
  options.thread_pool = Pool::per_session;
  options.intra_op_threads = threads;
  return options;
}

// --- shared sessions -------------------------------------------------------------------------------

TEST(GraphRunnerSharing, RunnersOfOneFileAndOptionsShareASessionButNotTheirRuns) {
  GraphRunner a(model("slow"));
  GraphRunner b(model("slow"), std::vector<std::string>{"CPUExecutionProvider"});
  GraphRunner own(model("slow"), std::nullopt, per_session(1));
  GraphRunner own_too(model("slow"), std::nullopt, per_session(1));
  GraphRunner other(model("policy"));
  EXPECT_TRUE(a.shares_session_with(b));
  EXPECT_TRUE(own.shares_session_with(own_too));
  EXPECT_FALSE(a.shares_session_with(own));
  EXPECT_FALSE(a.shares_session_with(other));

  // Runs of this model take milliseconds, so the two threads' runs overlap on the one session:
  // inputs, output buffers or bindings shared between the runners would mix up the results.
  const NdArray obs_a = NdArray::from_vector<float>({1, 2, 3, 4});
  const NdArray obs_b = NdArray::from_vector<float>({-4, -3, -2, -1});
  const NdArray expected_a = a.get_action_dist_inputs(obs_a);
  const NdArray expected_b = b.get_action_dist_inputs(obs_b);
  ASSERT_NE(expected_a, expected_b);
  constexpr int kCalls = 20;
  auto worker = [](GraphRunner& runner, const NdArray& obs, const NdArray& expected) {
    int correct = 0;
    for (int i = 0; i < kCalls; ++i) correct += runner.infer(obs).at("action_dist_inputs") == expected ? 1 : 0;
    return correct;
  };
  auto on_a = std::async(std::launch::async, worker, std::ref(a), std::cref(obs_a), std::cref(expected_a));
  auto on_b = std::async(std::launch::async, worker, std::ref(b), std::cref(obs_b), std::cref(expected_b));
  EXPECT_EQ(on_a.get(), kCalls);
  EXPECT_EQ(on_b.get(), kCalls);
  EXPECT_EQ(a.max_concurrent_runs(), 1);  // each runner's lock still serialises its own calls
  EXPECT_EQ(b.max_concurrent_runs(), 1);
}

TEST(GraphRunnerSharing, AModelFileReplacedOnDiskIsLoadedAfresh) {
  const tavrin_test::TempDir temp;
  const fs::path& dir = temp.path();
  const fs::path path = dir / "agent.onnx";
  fs::copy_file(model("policy"), path, fs::copy_options::overwrite_existing);
  const NdArray obs = NdArray::from_vector<float>({1, 2, 3, 4});

  GraphRunner before(path.string());
  EXPECT_THAT(doubles(before.get_action_dist_inputs(obs)), ElementsAre(11.0, 12.0, 13.0));
  // Through a relative path, the same file is the same model.
  GraphRunner same(fs::relative(path).string());
  EXPECT_TRUE(before.shares_session_with(same));

  // A new model renamed over the old one, as exporters write them.
  const fs::path next = dir / "agent.onnx.new";
  fs::copy_file(model("policy_no_mask"), next, fs::copy_options::overwrite_existing);
  fs::rename(next, path);
  GraphRunner after(path.string());
  EXPECT_FALSE(after.shares_session_with(before));
  EXPECT_THAT(doubles(after.get_action_dist_inputs(obs)), ElementsAre(2.0, 4.0, 6.0));
  EXPECT_THAT(doubles(before.get_action_dist_inputs(obs)), ElementsAre(11.0, 12.0, 13.0));  // keeps its own
}

// --- thread pools ----------------------------------------------------------------------------------

TEST(GraphRunnerThreads, TheGlobalPoolStartsNoThreadPerSessionAndPerSessionPoolsDo) {
  GraphRunner first(model("policy"));  // makes the environment, should no other test have made it
  const int before = thread_count();
  {
    GraphRunner a(model("mlp_small"));
    GraphRunner b(model("mlp_256x256"));
    GraphRunner c(model("skill_box"));
    EXPECT_EQ(thread_count(), before);
  }
  {
    GraphRunner own(model("mlp_small"), std::nullopt, per_session(3));  // the caller and two more
    EXPECT_EQ(thread_count(), before + 2);
  }
  EXPECT_EQ(thread_count(), before);  // the pool went with its session
}

TEST(GraphRunnerThreads, AskingTheRunningGlobalPoolForOtherSettingsWarnsOnceNamingBoth) {
  GraphRunner first(model("policy"));
  const int before = thread_count();
  tavrin_test::LogCapture logs;
  GraphRunnerOptions wanted;
  wanted.intra_op_threads = 4;
  wanted.allow_spinning = true;
  GraphRunner a(model("mlp_small"), std::nullopt, wanted);
  GraphRunner b(model("mlp_256x256"), std::nullopt, wanted);
  EXPECT_THAT(logs.messages("warning", kLogger),
              ElementsAre("ONNX Runtime's process-wide thread pool already runs with intra_op_threads 1, "
                          "allow_spinning false; the requested intra_op_threads 4, allow_spinning true is not applied "
                          "to it (\"thread_pool\": \"per_session\" gives a host's sessions pools of their own)"));
  EXPECT_EQ(thread_count(), before);
  EXPECT_TRUE(a.shares_session_with(GraphRunner(model("mlp_small"))));  // the same session options
}

TEST(GraphRunnerThreads, SettingsFromTheConfigurationMap) {
  const auto parse = [](Value field) {
    return GraphRunnerOptions::from_config(tavrin_core::TrainerConfig(Map{{"onnxruntime", std::move(field)}}));
  };
  EXPECT_EQ(GraphRunnerOptions::from_config(tavrin_core::TrainerConfig()), GraphRunnerOptions{});
  EXPECT_EQ(GraphRunnerOptions::from_config(nullptr), GraphRunnerOptions{});
  const auto given = parse(Value(Map{{"thread_pool", Value("per_session")},
                                     {"intra_op_threads", Value(std::int64_t{2})},
                                     {"allow_spinning", Value(true)}}));
  EXPECT_EQ(given.thread_pool, Pool::per_session);
  EXPECT_EQ(given.intra_op_threads, 2);
  EXPECT_TRUE(given.allow_spinning);

  const std::vector<std::pair<Value, std::string>> refused = {
      {Value(std::int64_t{4}), "configuration: onnxruntime: expected a map, got 4"},
      {Value(Map{{"threads", Value(std::int64_t{2})}}),
       "configuration: onnxruntime.threads: unknown field (known: thread_pool, intra_op_threads, allow_spinning)"},
      {Value(Map{{"thread_pool", Value("shared")}}),
       "configuration: onnxruntime.thread_pool: expected 'global' or 'per_session', got 'shared'"},
      {Value(Map{{"intra_op_threads", Value(std::int64_t{-1})}}),
       "configuration: onnxruntime.intra_op_threads: expected an integer from 0 to 1024, got -1"},
      {Value(Map{{"intra_op_threads", Value(1.5)}}),
       "configuration: onnxruntime.intra_op_threads: expected an integer from 0 to 1024, got 1.5"},
      {Value(Map{{"allow_spinning", Value(std::int64_t{1})}}),
       "configuration: onnxruntime.allow_spinning: expected true or false, got 1"},
  };
  for (const auto& [field, message] : refused) {
    SCOPED_TRACE(message);
    try {
      parse(field);
      FAIL() << "accepted " << field.str();
    } catch (const InvalidArgumentError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
}

// An application may make ONNX Runtime's environment itself, without global pools, before the
// first runner: runners then still open their models, on pools of their own, and say so once.
// Exits 0 when that holds.
[[noreturn]] void open_models_in_an_environment_made_elsewhere() {
  Ort::Env application(ORT_LOGGING_LEVEL_WARNING, "application");
  tavrin_test::LogCapture logs;
  GraphRunner a(model("policy"));
  GraphRunner b(model("mlp_small"));
  const bool ran = doubles(a.get_action_dist_inputs(NdArray::from_vector<float>({1, 2, 3, 4}))) ==
                   std::vector<double>{11.0, 12.0, 13.0};
  const auto warnings = logs.messages("warning", kLogger);
  const bool warned_once = warnings.size() == 1 && warnings[0].find("without global thread pools") != std::string::npos;
  std::_Exit(ran && warned_once && b.max_concurrent_runs() == 1 ? 0 : 1);
}

// The environment is the process's: the death-test child re-executes this test alone, afresh.
TEST(GraphRunnerThreadsDeathTest, AnEnvironmentMadeElsewhereWithoutGlobalPoolsStillRunsEveryModel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(open_models_in_an_environment_made_elsewhere(), ::testing::ExitedWithCode(0), "");
}

// --- warm-up ---------------------------------------------------------------------------------------

TEST(GraphRunnerWarmUp, EveryRunnerRunsItsModelOnceWhenOpenedAndAFailureThereIsAWarning) {
  tavrin_test::LogCapture logs;
  GraphRunner good(model("policy"));
  EXPECT_EQ(good.max_concurrent_runs(), 1);  // it has run
  EXPECT_TRUE(logs.messages("warning", kLogger).empty());

  // The model declares float64 observations; the runner feeds float32: every run fails.
  GraphRunner failing(model("double_obs"));
  const auto warnings = logs.messages("warning", kLogger);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], ::testing::StartsWith("Error during inference: "));
  EXPECT_THAT(warnings[0], HasSubstr("tensor(double)"));
  EXPECT_THAT(warnings[0], HasSubstr("(warm-up run of " + model("double_obs") + " at loading)"));
  EXPECT_TRUE(logs.messages("error", kLogger).empty());
  EXPECT_THROW(failing.infer(NdArray::from_vector<double>({1, 2, 3, 4})), RuntimeError);  // as before
}

}  // namespace
}  // namespace tavrin_inference
