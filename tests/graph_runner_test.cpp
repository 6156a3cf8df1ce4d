// GraphRunner against real ONNX Runtime sessions on the generated fixtures (see
// tests/fixtures/models/README.md for what each model computes).
#include "runner/graph_runner.hpp"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include "common/errors.hpp"
#include "core_api/logger.hpp"
#include "support/checks.hpp"
#include "support/test_paths.hpp"

namespace tavrin_inference {
namespace {

using tavrin_test::doubles;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kLogger = "tavrin_inference.graph_runner";

std::string model(const std::string& name) { return tavrin_test::test_data_dir() + "/models/" + name + ".onnx"; }

NdArray f32(std::vector<float> values, Shape shape) { return NdArray::from_vector(std::move(values), shape); }
NdArray f32(std::vector<float> values) { return NdArray::from_vector(std::move(values)); }
NdArray f64(std::vector<double> values, Shape shape) { return NdArray::from_vector(std::move(values), shape); }
NdArray f64(std::vector<double> values) { return NdArray::from_vector(std::move(values)); }

// Lines this module's logger wrote while the capture was alive, as "level|message".
class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(256)) {
    sink_->set_formatter(std::make_unique<spdlog::pattern_formatter>("%l|%n|%v", spdlog::pattern_time_type::local, ""));
    tavrin_core::add_log_sink(sink_);
  }
  ~LogCapture() { tavrin_core::remove_log_sink(sink_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::vector<std::string> ours;
    const std::string tag = std::string("|") + kLogger + "|";
    for (const auto& line : sink_->last_formatted()) {
      const auto pos = line.find(tag);
      if (pos != std::string::npos) ours.push_back(line.substr(0, pos) + "|" + line.substr(pos + tag.size()));
    }
    return ours;
  }

 private:
  std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
};

class GraphRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override { tavrin_core::set_log_level(tavrin_core::LogLevel::debug); }
  void TearDown() override { tavrin_core::set_log_level(tavrin_core::LogLevel::info); }
};

// Runs f on another thread and fails (rather than hangs) when it does not finish: a runner whose
// lock stayed held after a failed call would block the next call forever.
template <class F>
auto finishes_in_time(F f) {
  std::packaged_task<decltype(f())()> task(std::move(f));
  auto result = task.get_future();
  std::thread worker(std::move(task));
  if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "call did not return: the runner's lock is still held";
    std::_Exit(1);
  }
  worker.join();
  return result.get();
}

// --- loading -------------------------------------------------------------------------------------

TEST_F(GraphRunnerTest, MissingModelFailsWithFileNotFoundAndLogsNothing) {
  LogCapture logs;
  const std::string path = model("no_such_model");
  try {
    GraphRunner runner(path);
    FAIL() << "constructed a runner for a missing file";
  } catch (const FileNotFoundError& e) {
    EXPECT_EQ(std::string(e.what()), "ONNX model not found at: " + path);
  }
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(GraphRunnerTest, FileThatIsNotAModelFailsWithOnnxRuntimesMessageLoggedOnce) {
  for (const std::string& path : {model("corrupt"), tavrin_test::test_data_dir() + "/models"}) {
    SCOPED_TRACE(path);
    LogCapture logs;
    try {
      GraphRunner runner(path);
      FAIL() << "constructed a runner for something that is not a model";
    } catch (const FileNotFoundError&) {
      FAIL() << "an existing path must reach ONNX Runtime";
    } catch (const RuntimeError& e) {
      const std::string message = e.what();
      EXPECT_FALSE(message.empty());
      EXPECT_THAT(
          logs.lines(),
          ElementsAre(std::string("error|Error loading ONNX model from ").append(path).append(": ").append(message)));
    }
  }
}

TEST_F(GraphRunnerTest, LoadRecordsNamesInModelOrderAndLogsThem) {
  LogCapture logs;
  const std::string path = model("policy");
  GraphRunner runner(path);
  EXPECT_EQ(runner.model_path(), path);
  EXPECT_THAT(runner.input_names(), ElementsAre("observations", "action_mask"));
  EXPECT_THAT(runner.output_names(), ElementsAre("action_dist_inputs", "vf_preds", "mask_echo", "best_action"));
  EXPECT_THAT(logs.lines(), ElementsAre("info|Successfully loaded ONNX model from: " + path,
                                        "debug|Input names: ['observations', 'action_mask'], Output names: "
                                        "['action_dist_inputs', 'vf_preds', 'mask_echo', 'best_action']"));
}

TEST_F(GraphRunnerTest, DebugNamesAreNotLoggedAtInfoLevel) {
  tavrin_core::set_log_level(tavrin_core::LogLevel::info);
  LogCapture logs;
  GraphRunner runner(model("policy"));
  EXPECT_THAT(logs.lines(), ElementsAre(StartsWith("info|Successfully loaded ONNX model from: ")));
}

TEST_F(GraphRunnerTest, ExecutionProviders) {
  const NdArray obs = f32({1.0f, 2.0f, 3.0f, 4.0f});
  GraphRunner by_default(model("policy"));
  GraphRunner cpu(model("policy"), std::vector<std::string>{"CPUExecutionProvider"});
  EXPECT_EQ(cpu.get_action_dist_inputs(obs), by_default.get_action_dist_inputs(obs));

  LogCapture logs;
  try {
    GraphRunner runner(model("policy"), std::vector<std::string>{"NoSuchExecutionProvider"});
    FAIL() << "an unknown provider was accepted";
  } catch (const InvalidArgumentError& e) {
    EXPECT_THAT(e.what(), HasSubstr("'NoSuchExecutionProvider'"));
    EXPECT_THAT(logs.lines(), ElementsAre("error|Error loading ONNX model from " + model("policy") + ": " + e.what()));
  }
}

// --- observations ----------------------------------------------------------------------------------

TEST_F(GraphRunnerTest, ObservationIsFedAsOneFloat32Row) {
  GraphRunner runner(model("policy"));
  const std::vector<float> v = {0.5f, -1.25f, 2.0f, 3.5f};
  const float sum = v[0] + v[1] + v[2] + v[3];

  for (const NdArray& obs : {f32(v), f32(v, Shape{1, 4})}) {
    SCOPED_TRACE(obs.shape().str());
    const auto out = runner.infer(obs);
    const NdArray& logits = out.at("action_dist_inputs");
    EXPECT_EQ(logits.shape(), (Shape{1, 3}));
    EXPECT_THAT(doubles(logits), ElementsAre(v[0] + 10.0f, v[1] + 10.0f, v[2] + 10.0f));
    EXPECT_FLOAT_EQ(static_cast<float>(out.at("vf_preds").at_double(0)), sum);
  }

  // float64 and int64 observations are converted: the model sees float32 values.
  const std::vector<double> precise = {0.1, 0.2, 0.3, 1e-9};
  const NdArray as_double = runner.get_action_dist_inputs(f64(precise));
  EXPECT_EQ(as_double.dtype(), DType::float32);
  EXPECT_THAT(doubles(as_double),
              ElementsAre(static_cast<float>(precise[0]) + 10.0f, static_cast<float>(precise[1]) + 10.0f,
                          static_cast<float>(precise[2]) + 10.0f));
  const NdArray as_int = runner.get_action_dist_inputs(NdArray::from_vector<std::int64_t>({1, 2, 3, 4}));
  EXPECT_THAT(doubles(as_int), ElementsAre(11.0, 12.0, 13.0));
}

TEST_F(GraphRunnerTest, ObservationOfTheWrongShapeIsRejectedAndLoggedOnce) {
  GraphRunner runner(model("policy"));
  struct Case {
    NdArray obs;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {f32(std::vector<float>(8, 1.0f), Shape{2, 4}), "(2, 4)"},
      {f32(std::vector<float>(5, 1.0f)), "(1, 5)"},
      {f32(std::vector<float>(4, 1.0f), Shape{1, 1, 4}), "(1, 1, 4)"},
      {NdArray::scalar(1.0f), "()"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    LogCapture logs;
    const std::string expected =
        "Observation has too many dimensions: " + c.shown + ", expected: [1, 4]. Batch inference is not supported.";
    try {
      runner.infer(c.obs);
      FAIL() << "accepted an observation of shape " << c.obs.shape();
    } catch (const InvalidArgumentError& e) {
      EXPECT_EQ(std::string(e.what()), expected);
    }
    EXPECT_THAT(logs.lines(), ElementsAre("error|Error during inference: " + expected));
  }
}

TEST_F(GraphRunnerTest, SymbolicBatchDimensionRejectsEveryObservation) {
  GraphRunner runner(model("symbolic_batch"));
  for (const NdArray& obs :
       {f32({1, 2, 3, 4}), f32({1, 2, 3, 4}, Shape{1, 4}), f32(std::vector<float>(8, 1.0f), Shape{2, 4})}) {
    SCOPED_TRACE(obs.shape().str());
    const std::string shown = obs.ndim() == 1 ? "(1, 4)" : obs.shape().str();
    try {
      runner.infer(obs, f64({1, 1, 1}));
      FAIL() << "a symbolic batch dimension matched";
    } catch (const InvalidArgumentError& e) {
      EXPECT_EQ(std::string(e.what()), "Observation has too many dimensions: " + shown +
                                           ", expected: [-1, 4]. Batch inference is not supported.");
    }
  }
}

TEST_F(GraphRunnerTest, InputsAreFoundByName) {
  const NdArray obs = f32({1.0f, 2.0f, 3.0f, 4.0f});
  const NdArray mask = f64({1.0, 0.0, 1.0});

  // "observation" matches in any case and inside a longer name, the first such input wins over a
  // later one and over the model's first input; "action_mask" likewise.
  {
    GraphRunner runner(model("name_rules"));
    const auto out = runner.infer(obs, mask);
    EXPECT_EQ(out.at("action_dist_inputs"), obs.reshape(Shape{1, 4}));
    EXPECT_EQ(out.at("mask_echo"), mask.reshape(Shape{1, 3}));
    EXPECT_EQ(runner.infer(obs).at("mask_echo"), NdArray::ones(Shape{1, 3}, DType::float64));
  }
  // No input name contains the word: the model's first input takes the observation.
  {
    GraphRunner runner(model("policy_abbrev_obs"));
    const auto out = runner.infer(obs, mask);
    EXPECT_FLOAT_EQ(static_cast<float>(out.at("vf_preds").at_double(0)), 10.0f);
    EXPECT_THAT(doubles(out.at("action_dist_inputs")), ElementsAre(11.0, 2.0, 13.0));
  }
  // The observation input is not the first one: its own declared shape is the one checked.
  {
    GraphRunner runner(model("mask_first"));
    const auto out = runner.infer(obs, mask);
    EXPECT_THAT(doubles(out.at("action_dist_inputs")), ElementsAre(11.0, 2.0, 13.0));
    EXPECT_EQ(out.at("mask_echo"), mask.reshape(Shape{1, 3}));
    EXPECT_THROW(runner.infer(f32({1, 2, 3})), InvalidArgumentError);
  }
}

// --- action masks ----------------------------------------------------------------------------------

TEST_F(GraphRunnerTest, WithoutAMaskAllActionsAreAllowed) {
  GraphRunner runner(model("policy"));
  const auto out = runner.infer(f32({1, 2, 3, 4}));
  const NdArray& fed = out.at("mask_echo");
  EXPECT_EQ(fed.dtype(), DType::float64);
  EXPECT_EQ(fed, NdArray::ones(Shape{1, 3}, DType::float64));
  EXPECT_THAT(doubles(out.at("action_dist_inputs")), ElementsAre(11.0, 12.0, 13.0));
}

TEST_F(GraphRunnerTest, GivenMaskReachesTheModelAsFloat64OfTheDeclaredShape) {
  GraphRunner runner(model("policy"));
  const NdArray obs = f32({1, 2, 3, 4});
  const std::vector<NdArray> masks = {
      f64({0.0, 1.0, 0.5}),
      f64({0.0, 1.0, 0.5}, Shape{1, 3}),
      NdArray::from_vector<float>({0.0f, 1.0f, 0.5f}),
      NdArray::from_vector<std::int8_t>({0, 1, 1}),
  };
  for (const auto& mask : masks) {
    SCOPED_TRACE(mask.str());
    const auto out = runner.infer(obs, mask);
    const NdArray& fed = out.at("mask_echo");
    EXPECT_EQ(fed.dtype(), DType::float64);
    EXPECT_EQ(fed, mask.astype(DType::float64).reshape(Shape{1, 3}));
    const auto m = doubles(mask);
    EXPECT_THAT(doubles(out.at("action_dist_inputs")),
                ElementsAre(1.0f + 10.0f * static_cast<float>(m[0]), 2.0f + 10.0f * static_cast<float>(m[1]),
                            3.0f + 10.0f * static_cast<float>(m[2])));
  }
}

TEST_F(GraphRunnerTest, MaskOfTheWrongShapeIsRejectedAndLoggedOnce) {
  GraphRunner runner(model("policy"));
  const NdArray obs = f32({1, 2, 3, 4});
  {
    LogCapture logs;
    const std::string expected = "Action mask has incorrect shape: (3, 1), expected: [1, 3]";
    try {
      runner.infer(obs, f64({1, 1, 1}, Shape{3, 1}));
      FAIL() << "accepted a (3, 1) mask";
    } catch (const InvalidArgumentError& e) {
      EXPECT_EQ(std::string(e.what()), expected);
    }
    EXPECT_THAT(logs.lines(), ElementsAre("error|Error during inference: " + expected));
  }
  {
    // A flat mask of the wrong length cannot take the declared shape: the reshape's own error.
    LogCapture logs;
    try {
      runner.infer(obs, f64({1, 1, 1, 1}));
      FAIL() << "accepted a mask of 4 values for 3 actions";
    } catch (const Error& e) {
      EXPECT_THAT(logs.lines(), ElementsAre(std::string("error|Error during inference: ") + e.what()));
    }
  }
}

TEST_F(GraphRunnerTest, MaskInputWithAnOpenDimension) {
  GraphRunner runner(model("symbolic_mask"));
  const NdArray obs = f32({1, 2, 3, 4});
  {
    // The default mask cannot be built for an open size: that failure is the call's error.
    LogCapture logs;
    try {
      runner.infer(obs);
      FAIL() << "built a default mask for an open dimension";
    } catch (const Error& e) {
      EXPECT_THAT(logs.lines(), ElementsAre(std::string("error|Error during inference: ") + e.what()));
    }
  }
  try {
    runner.infer(obs, f64({1, 0, 1}));
    FAIL() << "a mask matched an open dimension";
  } catch (const InvalidArgumentError& e) {
    EXPECT_EQ(std::string(e.what()), "Action mask has incorrect shape: (1, 3), expected: [-1, 3]");
  }
}

TEST_F(GraphRunnerTest, MaskIsIgnoredByAModelWithoutAMaskInput) {
  GraphRunner runner(model("policy_no_mask"));
  const NdArray obs = f32({1, 2, 3, 4});
  const auto plain = runner.infer(obs);
  for (const NdArray& mask : {f64({0, 0, 0}), f64({1, 1}, Shape{2, 1})}) {
    const auto masked = runner.infer(obs, mask);
    ASSERT_EQ(masked.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(masked.value(i), plain.value(i)) << plain.name(i);
  }
  EXPECT_THAT(doubles(plain.at("action_dist_inputs")), ElementsAre(2.0, 4.0, 6.0));
}

// --- outputs ---------------------------------------------------------------------------------------

TEST_F(GraphRunnerTest, EveryOutputByNameWithItsElementTypeAndBatchDimension) {
  GraphRunner runner(model("policy"));
  const auto out = runner.infer(f32({4, 9, 1, 0}), f64({1, 0, 1}));
  ASSERT_EQ(out.names(), runner.output_names());
  std::vector<std::string> iterated;
  for (const auto& entry : out) iterated.push_back(entry.name);
  EXPECT_EQ(iterated, runner.output_names());

  EXPECT_EQ(out.at("action_dist_inputs").dtype(), DType::float32);
  EXPECT_EQ(out.at("vf_preds").dtype(), DType::float32);
  EXPECT_EQ(out.at("mask_echo").dtype(), DType::float64);
  EXPECT_EQ(out.at("best_action").dtype(), DType::int64);
  EXPECT_EQ(out.at("vf_preds").shape(), (Shape{1}));
  EXPECT_EQ(out.at("best_action").shape(), (Shape{1, 1}));
  // logits 14, 9, 11: the model's own argmax agrees with ours on the returned logits.
  EXPECT_EQ(out.at("best_action").at_double(0), static_cast<double>(out.at("action_dist_inputs").argmax()));
  EXPECT_EQ(out.find("no_such_output"), nullptr);
  EXPECT_THROW(out.at("no_such_output"), KeyError);
}

TEST_F(GraphRunnerTest, ActionDistInputsAndValuePredictions) {
  const NdArray obs = f32({1, 2, 3, 4});
  {
    GraphRunner runner(model("policy"));
    const auto out = runner.infer(obs);
    EXPECT_EQ(runner.get_action_dist_inputs(obs), out.at("action_dist_inputs"));
    const auto vf = runner.get_vf_preds(obs);
    ASSERT_TRUE(vf.has_value());
    EXPECT_EQ(*vf, out.at("vf_preds"));
  }
  {
    // Neither name present: the last output stands in for the logits, and there is no value.
    GraphRunner runner(model("unnamed_outputs"));
    EXPECT_EQ(runner.get_action_dist_inputs(obs), f32({3, 6, 9, 12}, Shape{1, 4}));
    EXPECT_FALSE(runner.get_vf_preds(obs).has_value());
  }
}

TEST_F(GraphRunnerTest, EachCallReadsTheInputsAfreshAndLeavesEarlierResultsAlone) {
  GraphRunner runner(model("policy"));
  NdArray obs = f32({1, 2, 3, 4}, Shape{1, 4});
  NdArray mask = f64({1, 1, 1}, Shape{1, 3});
  const auto first = runner.infer(obs, mask);
  // NOLINTNEXTLINE(performance-unnecessary-copy-initialization): a snapshot, compared after the next call
  const NdArray first_logits = first.at("action_dist_inputs");

  // The same buffers with new contents, while the first result is still held.
  obs.data<float>()[0] = 100.0f;
  mask.data<double>()[2] = 0.0;
  const auto second = runner.infer(obs, mask);
  EXPECT_THAT(doubles(second.at("action_dist_inputs")), ElementsAre(110.0, 12.0, 3.0));
  EXPECT_EQ(second.at("mask_echo"), mask);
  EXPECT_EQ(first.at("action_dist_inputs"), first_logits);
  EXPECT_THAT(doubles(first.at("action_dist_inputs")), ElementsAre(11.0, 12.0, 13.0));
  EXPECT_EQ(first.at("mask_echo"), NdArray::ones(Shape{1, 3}, DType::float64));
}

TEST_F(GraphRunnerTest, OutputsComeBackWithTheirRealShapeWhenTheModelDeclaresAnotherOne) {
  GraphRunner runner(model("misdeclared_output"));  // action_dist_inputs declared (1, 3), really (1, 4)
  LogCapture logs;
  for (const NdArray& obs : {f32({1, 2, 3, 4}), f32({-1, 0, 5, 0.5f})}) {
    const auto out = runner.infer(obs);
    EXPECT_EQ(out.at("action_dist_inputs"), (obs + obs).reshape(Shape{1, 4}));
    EXPECT_EQ(out.at("vf_preds").shape(), (Shape{1}));
    EXPECT_FLOAT_EQ(static_cast<float>(out.at("vf_preds").at_double(0)), static_cast<float>(obs.sum()));
  }
  EXPECT_TRUE(logs.lines().empty());
}

// --- failures and threads --------------------------------------------------------------------------

TEST_F(GraphRunnerTest, OnnxRuntimeRunFailureKeepsItsMessageAndIsLoggedOnce) {
  // The model declares float64 observations; they are always fed as float32.
  GraphRunner runner(model("double_obs"));
  LogCapture logs;
  try {
    runner.infer(f64({1, 2, 3, 4}));
    FAIL() << "ran a model with the wrong input type";
  } catch (const RuntimeError& e) {
    EXPECT_THAT(e.what(), HasSubstr("tensor(double)"));  // ONNX Runtime's own words
    EXPECT_THAT(logs.lines(), ElementsAre(std::string("error|Error during inference: ") + e.what()));
  }
}

TEST_F(GraphRunnerTest, RunnerStaysUsableAfterFailedCalls) {
  GraphRunner runner(model("policy"));
  const NdArray obs = f32({1, 2, 3, 4});
  const NdArray before = runner.get_action_dist_inputs(obs);
  EXPECT_THROW(runner.infer(f32(std::vector<float>(8, 0.0f), Shape{2, 4})), InvalidArgumentError);
  EXPECT_THROW(runner.infer(obs, f64({1, 1, 1}, Shape{3, 1})), InvalidArgumentError);
  EXPECT_THROW(runner.infer(obs, f64({1, 1, 1, 1})), Error);
  const NdArray after = finishes_in_time([&] { return runner.get_action_dist_inputs(obs); });
  EXPECT_EQ(after, before);

  GraphRunner failing(model("double_obs"));
  EXPECT_THROW(failing.infer(obs), RuntimeError);
  EXPECT_THROW(finishes_in_time([&] { return failing.infer(obs); }), RuntimeError);
}

TEST_F(GraphRunnerTest, TwoThreadsNeverRunTheSessionAtOnce) {
  // Each run of this model takes milliseconds, so unserialised calls would overlap inside it.
  GraphRunner runner(model("slow"));
  const NdArray obs_a = f32({1, 2, 3, 4});
  const NdArray obs_b = f32({-4, -3, -2, -1});
  const NdArray expected_a = runner.get_action_dist_inputs(obs_a);
  const NdArray expected_b = runner.get_action_dist_inputs(obs_b);
  ASSERT_NE(expected_a, expected_b);

  constexpr int kCalls = 20;
  auto worker = [&runner](const NdArray& obs, const NdArray& expected) {
    int correct = 0;
    for (int i = 0; i < kCalls; ++i) correct += runner.get_action_dist_inputs(obs) == expected ? 1 : 0;
    return correct;
  };
  auto a = std::async(std::launch::async, worker, std::cref(obs_a), std::cref(expected_a));
  auto b = std::async(std::launch::async, worker, std::cref(obs_b), std::cref(expected_b));
  EXPECT_EQ(a.get(), kCalls);
  EXPECT_EQ(b.get(), kCalls);
  EXPECT_EQ(runner.max_concurrent_runs(), 1);
}

}  // namespace
}  // namespace tavrin_inference
