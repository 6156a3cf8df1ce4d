// One step of a three-level hierarchy through PolicyHost against the bare ONNX Runtime runs of the
// models on the chosen path, in the same binary, on the same inputs.
//
// Runtime side: a PolicyHost that loaded and packaged tests/fixtures/hierarchy/three_level*.json,
// stepped as an application steps it: a coroutine on the application's io_context awaits
// `execute` once per step with the simulator's raw sensors (a map of float64 arrays).
//
// Bare side: the three Ort::Session::Run calls of that step (root selector, mid selector, leaf
// skill), on sessions opened like the runtime's, with input tensors created once over the very
// float32 observation and float64 mask values each model receives in the runtime's step, name
// arrays and run options built once, outputs left in ONNX Runtime's own values. It does nothing a
// step needs besides the runs: no sensor filtering, no masks, no softmax, no decoding.
//
// BM_Overhead alternates batches of both sides inside one benchmark, so machine noise hits both
// alike; its counters give the median per-step time of either side and ratio = runtime / bare
// (its own time is that of a pair of batches). Goals: ratio at most 1.25 with the small models
// (three_level.json), at most 1.05 with the 256x256 ones (three_level_256x256.json).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include "bench/hierarchy_support.hpp"

namespace {

using hierarchy_bench::fixture;
using hierarchy_bench::Sensors;
using hierarchy_bench::SteppedHost;
using tavrin_inference::Value;

// One model of the path with its inputs fixed: observation (1, N) float32, action_mask (1, K)
// float64, in the model's input order.
struct BareModel {
  Ort::Session session{nullptr};
  std::vector<float> observation;
  std::vector<double> mask;
  std::vector<std::string> input_names, output_names;
  std::vector<const char*> input_ptrs, output_ptrs;
  std::vector<Ort::Value> inputs;

  BareModel(Ort::Env& env, const std::string& path, std::vector<float> obs, std::vector<double> action_mask)
      : observation(std::move(obs)), mask(std::move(action_mask)) {
    Ort::SessionOptions options;
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    session = Ort::Session(env, path.c_str(), options);
    Ort::AllocatorWithDefaultOptions allocator;
    for (std::size_t i = 0; i < session.GetInputCount(); ++i) {
      input_names.emplace_back(session.GetInputNameAllocated(i, allocator).get());
    }
    for (std::size_t i = 0; i < session.GetOutputCount(); ++i) {
      output_names.emplace_back(session.GetOutputNameAllocated(i, allocator).get());
    }
    for (const auto& n : input_names) input_ptrs.push_back(n.c_str());
    for (const auto& n : output_names) output_ptrs.push_back(n.c_str());
    if (input_names.size() != 2 || input_names[0] != "observations" || input_names[1] != "action_mask") {
      throw std::runtime_error(path + ": expected the inputs observations, action_mask");
    }
    const auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const std::int64_t obs_dims[] = {1, static_cast<std::int64_t>(observation.size())};
    const std::int64_t mask_dims[] = {1, static_cast<std::int64_t>(mask.size())};
    inputs.push_back(Ort::Value::CreateTensor<float>(memory, observation.data(), observation.size(), obs_dims, 2));
    inputs.push_back(Ort::Value::CreateTensor<double>(memory, mask.data(), mask.size(), mask_dims, 2));
  }

  std::vector<Ort::Value> run(const Ort::RunOptions& run_options) {
    return session.Run(run_options, input_ptrs.data(), inputs.data(), inputs.size(), output_ptrs.data(),
                       output_ptrs.size());
  }

  // Index of the largest "action_dist_inputs" entry (first output of these models).
  std::int64_t choice(const Ort::RunOptions& run_options) {
    auto outputs = run(run_options);
    const auto n = outputs[0].GetTensorTypeAndShapeInfo().GetElementCount();
    const float* logits = outputs[0].GetTensorData<float>();
    return std::max_element(logits, logits + n) - logits;
  }
};

std::vector<float> as_float(const std::vector<double>& values) { return {values.begin(), values.end()}; }

// Both sides of one hierarchy. `prefix` is "h3" or "h3w"; the path is root -> mid -> leaf1.
struct Pair {
  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "hierarchy_bench"};
  Ort::RunOptions run_options;
  SteppedHost runtime;
  Value obs;
  std::vector<std::unique_ptr<BareModel>> path;  // root, mid, leaf

  Pair(const std::string& orchestration, const std::string& prefix) : runtime(fixture("hierarchy/" + orchestration)) {
    const Sensors sensors = hierarchy_bench::path_to_mid_leaf1();
    obs = sensors.value();
    const auto model = [&](const std::string& agent) { return fixture("models/" + prefix + "_" + agent + ".onnx"); };
    // The inputs each model gets in the runtime's step: a selector sees its logits sensor with its
    // allowed-children mask, the skill the root's logits with an everything-allowed mask of its
    // five actions.
    path.push_back(
        std::make_unique<BareModel>(env, model("root"), as_float(sensors.root_logits), sensors.root_allowed));
    path.push_back(std::make_unique<BareModel>(env, model("mid"), as_float(sensors.mid_logits), sensors.mid_allowed));
    path.push_back(
        std::make_unique<BareModel>(env, model("leaf1"), as_float(sensors.root_logits), std::vector<double>(5, 1.0)));

    // Both sides must take the same path and come to the same action.
    if (path[0]->choice(run_options) != 0 || path[1]->choice(run_options) != 1) {
      throw std::runtime_error(orchestration + ": the bare models do not choose root -> mid -> leaf1");
    }
    const Value expected(path[2]->choice(run_options));
    const Value action = runtime.step(obs, 1);
    if (action != expected) {
      throw std::runtime_error(orchestration + ": runtime action " + action.str() + ", bare path action " +
                               expected.str());
    }
  }

  void run_runtime(std::int64_t steps) { benchmark::DoNotOptimize(runtime.step(obs, steps)); }
  void run_bare(std::int64_t steps) {
    for (std::int64_t i = 0; i < steps; ++i) {
      for (auto& model : path) {
        auto outputs = model->run(run_options);
        benchmark::DoNotOptimize(outputs);
      }
    }
  }
};

Pair& pair_for(const std::string& orchestration, const std::string& prefix) {
  static std::map<std::string, std::unique_ptr<Pair>> pairs;
  auto& slot = pairs[orchestration];
  if (!slot) slot = std::make_unique<Pair>(orchestration, prefix);
  return *slot;
}

// Absolute per-step times of either side.
void BM_HostStep(benchmark::State& state, const char* orchestration, const char* prefix) {
  auto& p = pair_for(orchestration, prefix);
  for ([[maybe_unused]] auto _ : state) p.run_runtime(1);
}

void BM_BarePath(benchmark::State& state, const char* orchestration, const char* prefix) {
  auto& p = pair_for(orchestration, prefix);
  for ([[maybe_unused]] auto _ : state) p.run_bare(1);
}

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

void BM_Overhead(benchmark::State& state, const char* orchestration, const char* prefix) {
  auto& p = pair_for(orchestration, prefix);
  using clock = std::chrono::steady_clock;
  constexpr std::int64_t kBatch = 16;
  std::vector<double> runtime_batches, bare_batches;  // seconds per batch
  bool runtime_first = true;
  for ([[maybe_unused]] auto _ : state) {
    const auto iteration_start = clock::now();
    for (int side = 0; side < 2; ++side) {
      const bool runtime_turn = (side == 0) == runtime_first;
      const auto start = clock::now();
      if (runtime_turn) {
        p.run_runtime(kBatch);
      } else {
        p.run_bare(kBatch);
      }
      (runtime_turn ? runtime_batches : bare_batches)
          .push_back(std::chrono::duration<double>(clock::now() - start).count());
    }
    runtime_first = !runtime_first;
    state.SetIterationTime(std::chrono::duration<double>(clock::now() - iteration_start).count());
  }
  // Medians: a batch that another process interrupted says nothing about either side.
  const double runtime = median(runtime_batches) / kBatch;
  const double bare = median(bare_batches) / kBatch;
  state.counters["runtime_us"] = runtime * 1e6;
  state.counters["bare_us"] = bare * 1e6;
  state.counters["ratio"] = runtime / bare;
}

BENCHMARK_CAPTURE(BM_HostStep, small, "three_level.json", "h3");
BENCHMARK_CAPTURE(BM_BarePath, small, "three_level.json", "h3");
BENCHMARK_CAPTURE(BM_HostStep, mlp_256x256, "three_level_256x256.json", "h3w");
BENCHMARK_CAPTURE(BM_BarePath, mlp_256x256, "three_level_256x256.json", "h3w");
BENCHMARK_CAPTURE(BM_Overhead, small, "three_level.json", "h3")->UseManualTime()->MinTime(3.0);
BENCHMARK_CAPTURE(BM_Overhead, mlp_256x256, "three_level_256x256.json", "h3w")->UseManualTime()->MinTime(3.0);

}  // namespace
