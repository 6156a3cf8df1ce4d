// GraphRunner::infer against a bare Ort::Session::Run on the same model and the same inputs.
//
// The bare side is as lean as a caller can be: a session of its own opened like the runner's (same
// environment, options and threads, runner/session_options.hpp), input tensors
// created once over fixed buffers, name arrays and run options built once, outputs left in ONNX
// Runtime's own values. The runner side is one ordinary step: a float32 observation row and a
// float64 mask in, every output back as an NdArray.
//
// BM_Overhead alternates batches of both calls inside one benchmark, so machine noise hits both
// alike; its counters give the median per-call time of either side and
// overhead_pct = (runner / bare - 1) * 100 (its own time is that of a pair of batches).
// Goals: at most 10% on mlp_small, at most 2% on mlp_256x256.
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include "bench/batch_timing.hpp"
#include "core_api/logger.hpp"
#include "runner/graph_runner.hpp"
#include "runner/session_options.hpp"
#include "tests/support/test_paths.hpp"
#include "tools/session_names.hpp"

namespace {

using tavrin_inference::DType;
using tavrin_inference::GraphRunner;
using tavrin_inference::NdArray;
using tavrin_inference::Shape;

std::string model_path(const std::string& name) { return tavrin_test::test_data_dir() + "/models/" + name + ".onnx"; }

struct Pair {
  GraphRunner runner;
  Ort::Session session;
  tavrin_tool::SessionNames names{session};
  Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::RunOptions run_options;

  NdArray observation;
  NdArray mask;
  std::vector<Ort::Value> inputs;

  explicit Pair(const std::string& name)
      : runner(model_path(name)),
        session(tavrin_inference::open_session(model_path(name), {"CPUExecutionProvider"}, {})) {
    // Inputs in model order: observations (1, N) float32, action_mask (1, K) float64.
    const auto obs_dims = session.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    const auto mask_dims = session.GetInputTypeInfo(1).GetTensorTypeAndShapeInfo().GetShape();
    std::vector<float> obs_values(static_cast<std::size_t>(obs_dims[1]));
    for (std::size_t i = 0; i < obs_values.size(); ++i) obs_values[i] = 0.1f * static_cast<float>(i) - 1.0f;
    observation = NdArray::from_vector(std::move(obs_values), Shape(obs_dims.begin(), obs_dims.end()));
    mask = NdArray::ones(Shape(mask_dims.begin(), mask_dims.end()), DType::float64);
    mask.set_double(0, 0.0);

    inputs.push_back(Ort::Value::CreateTensor<float>(memory, observation.data<float>(),
                                                     static_cast<std::size_t>(observation.size()), obs_dims.data(),
                                                     obs_dims.size()));
    inputs.push_back(Ort::Value::CreateTensor<double>(
        memory, mask.data<double>(), static_cast<std::size_t>(mask.size()), mask_dims.data(), mask_dims.size()));
  }

  void run_runner() {
    auto outputs = runner.infer(observation, mask);
    benchmark::DoNotOptimize(outputs);
  }
  void run_bare() {
    auto outputs = session.Run(run_options, names.input_ptrs.data(), inputs.data(), inputs.size(),
                               names.output_ptrs.data(), names.output_ptrs.size());
    benchmark::DoNotOptimize(outputs);
  }
};

Pair& pair_for(const std::string& name) {
  static std::vector<std::unique_ptr<Pair>> pairs;
  for (auto& p : pairs) {
    if (p->runner.model_path() == model_path(name)) return *p;
  }
  tavrin_core::set_log_level(tavrin_core::LogLevel::warning);
  pairs.push_back(std::make_unique<Pair>(name));
  return *pairs.back();
}

void BM_GraphRunnerInfer(benchmark::State& state, const char* model) {
  auto& p = pair_for(model);
  for ([[maybe_unused]] auto _ : state) p.run_runner();
}

void BM_BareSessionRun(benchmark::State& state, const char* model) {
  auto& p = pair_for(model);
  for ([[maybe_unused]] auto _ : state) p.run_bare();
}

void BM_Overhead(benchmark::State& state, const char* model) {
  auto& p = pair_for(model);
  constexpr int kBatch = 16;
  const auto batch = [&p](void (Pair::*run)()) {
    return [&p, run] {
      for (int i = 0; i < kBatch; ++i) (p.*run)();
    };
  };
  const auto [runner_batches, bare_batches] =
      batch_timing::rotating_batches<2>(state, {batch(&Pair::run_runner), batch(&Pair::run_bare)});
  const double runner = batch_timing::median(runner_batches) / kBatch;
  const double bare = batch_timing::median(bare_batches) / kBatch;
  state.counters["runner_us"] = runner * 1e6;
  state.counters["bare_us"] = bare * 1e6;
  state.counters["overhead_pct"] = (runner / bare - 1.0) * 100.0;
}

BENCHMARK_CAPTURE(BM_GraphRunnerInfer, mlp_small, "mlp_small");
BENCHMARK_CAPTURE(BM_BareSessionRun, mlp_small, "mlp_small");
BENCHMARK_CAPTURE(BM_GraphRunnerInfer, mlp_256x256, "mlp_256x256");
BENCHMARK_CAPTURE(BM_BareSessionRun, mlp_256x256, "mlp_256x256");
BENCHMARK_CAPTURE(BM_Overhead, mlp_small, "mlp_small")->UseManualTime()->MinTime(3.0);
BENCHMARK_CAPTURE(BM_Overhead, mlp_256x256, "mlp_256x256")->UseManualTime()->MinTime(3.0);

}  // namespace
