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
// Bound side: the same three runs through an Ort::IoBinding per model made once, inputs bound to
// those tensors and every output to a tensor allocated once: the least a hand-written loop can
// ask of ONNX Runtime per run. Sessions of both bare sides are opened like the runtime's (same
// environment, options and threads, runner/session_options.hpp).
//
// BM_Overhead alternates batches of the three sides inside one benchmark (rotating which goes
// first), so machine noise hits them alike; its counters give the median per-step time of each side,
// ratio = runtime / bare and ratio_bound = runtime / bound (its own time is that of one batch of
// each). Goals: ratio at most 1.25 with the small models (three_level.json), at most 1.05 with the
// 256x256 ones (three_level_256x256.json); ratio_bound has none yet: it is the floor to aim at.
#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include "bench/batch_timing.hpp"
#include "bench/hierarchy_support.hpp"
#include "runner/session_options.hpp"
#include "tools/session_names.hpp"

namespace {

using hierarchy_bench::fixture;
using hierarchy_bench::Sensors;
using hierarchy_bench::SteppedHost;
using tavrin_inference::Value;

// One model of the path with its inputs fixed: observation (1, N) float32, action_mask (1, K)
// float64, in the model's input order.
struct BareModel {
  Ort::Session session;
  std::vector<float> observation;
  std::vector<double> mask;
  tavrin_tool::SessionNames names{session};
  std::vector<Ort::Value> inputs;
  std::vector<Ort::Value> bound_outputs;  // written by every bound run
  Ort::IoBinding binding{nullptr};

  BareModel(const std::string& path, std::vector<float> obs, std::vector<double> action_mask)
      : session(tavrin_inference::open_session(path, {"CPUExecutionProvider"}, {})),
        observation(std::move(obs)),
        mask(std::move(action_mask)) {
    const auto& input_names = names.inputs;
    if (input_names.size() != 2 || input_names[0] != "observations" || input_names[1] != "action_mask") {
      throw std::runtime_error(path + ": expected the inputs observations, action_mask");
    }
    const auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const std::int64_t obs_dims[] = {1, static_cast<std::int64_t>(observation.size())};
    const std::int64_t mask_dims[] = {1, static_cast<std::int64_t>(mask.size())};
    inputs.push_back(Ort::Value::CreateTensor<float>(memory, observation.data(), observation.size(), obs_dims, 2));
    inputs.push_back(Ort::Value::CreateTensor<double>(memory, mask.data(), mask.size(), mask_dims, 2));

    binding = Ort::IoBinding(session);
    for (std::size_t i = 0; i < inputs.size(); ++i) binding.BindInput(names.input_ptrs[i], inputs[i]);
    Ort::AllocatorWithDefaultOptions allocator;
    for (std::size_t i = 0; i < names.output_ptrs.size(); ++i) {
      const auto type_info = session.GetOutputTypeInfo(i);  // owns what `info` refers to
      const auto info = type_info.GetTensorTypeAndShapeInfo();
      const auto dims = info.GetShape();
      bound_outputs.push_back(Ort::Value::CreateTensor(allocator, dims.data(), dims.size(), info.GetElementType()));
      binding.BindOutput(names.output_ptrs[i], bound_outputs.back());
    }
  }

  std::vector<Ort::Value> run(const Ort::RunOptions& run_options) {
    return session.Run(run_options, names.input_ptrs.data(), inputs.data(), inputs.size(), names.output_ptrs.data(),
                       names.output_ptrs.size());
  }

  void run_bound(const Ort::RunOptions& run_options) { session.Run(run_options, binding); }

  // Index of the largest "action_dist_inputs" entry (first output of these models), by either way
  // of running.
  std::int64_t choice(const Ort::RunOptions& run_options, bool bound) {
    std::vector<Ort::Value> outputs;
    if (bound) {
      run_bound(run_options);
    } else {
      outputs = run(run_options);
    }
    const Ort::Value& first = bound ? bound_outputs[0] : outputs[0];
    const auto n = first.GetTensorTypeAndShapeInfo().GetElementCount();
    const float* logits = first.GetTensorData<float>();
    return std::max_element(logits, logits + n) - logits;
  }
};

std::vector<float> as_float(const std::vector<double>& values) { return {values.begin(), values.end()}; }

// Both sides of one hierarchy. `prefix` is "h3" or "h3w"; the path is root -> mid -> leaf1.
struct Pair {
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
    path.push_back(std::make_unique<BareModel>(model("root"), as_float(sensors.root_logits), sensors.root_allowed));
    path.push_back(std::make_unique<BareModel>(model("mid"), as_float(sensors.mid_logits), sensors.mid_allowed));
    path.push_back(
        std::make_unique<BareModel>(model("leaf1"), as_float(sensors.root_logits), std::vector<double>(5, 1.0)));

    // Every side must take the same path and come to the same action.
    const Value action = runtime.step(obs, 1);
    for (const bool bound : {false, true}) {
      if (path[0]->choice(run_options, bound) != 0 || path[1]->choice(run_options, bound) != 1) {
        throw std::runtime_error(orchestration + ": the bare models do not choose root -> mid -> leaf1");
      }
      const Value expected(path[2]->choice(run_options, bound));
      if (action != expected) {
        throw std::runtime_error(orchestration + ": runtime action " + action.str() + ", bare path action " +
                                 expected.str());
      }
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
  void run_bound(std::int64_t steps) {
    for (std::int64_t i = 0; i < steps; ++i) {
      for (auto& model : path) model->run_bound(run_options);
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

void BM_Overhead(benchmark::State& state, const char* orchestration, const char* prefix) {
  auto& p = pair_for(orchestration, prefix);
  constexpr std::int64_t kBatch = 16;
  enum Side { kRuntime, kBare, kBound, kSides };
  const auto batches = batch_timing::rotating_batches<kSides>(
      state, {[&] { p.run_runtime(kBatch); }, [&] { p.run_bare(kBatch); }, [&] { p.run_bound(kBatch); }});
  const double runtime = batch_timing::median(batches[kRuntime]) / kBatch;
  const double bare = batch_timing::median(batches[kBare]) / kBatch;
  const double bound = batch_timing::median(batches[kBound]) / kBatch;
  state.counters["runtime_us"] = runtime * 1e6;
  state.counters["bare_us"] = bare * 1e6;
  state.counters["bound_us"] = bound * 1e6;
  state.counters["ratio"] = runtime / bare;
  state.counters["ratio_bound"] = runtime / bound;
}

BENCHMARK_CAPTURE(BM_HostStep, small, "three_level.json", "h3");
BENCHMARK_CAPTURE(BM_BarePath, small, "three_level.json", "h3");
BENCHMARK_CAPTURE(BM_HostStep, mlp_256x256, "three_level_256x256.json", "h3w");
BENCHMARK_CAPTURE(BM_BarePath, mlp_256x256, "three_level_256x256.json", "h3w");
BENCHMARK_CAPTURE(BM_Overhead, small, "three_level.json", "h3")->UseManualTime()->MinTime(3.0);
BENCHMARK_CAPTURE(BM_Overhead, mlp_256x256, "three_level_256x256.json", "h3w")->UseManualTime()->MinTime(3.0);

}  // namespace
