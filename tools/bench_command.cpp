// tavrin bench ORCHESTRATION: per-step latency of PolicyHost::execute next to the bare ONNX Runtime
// runs of the same models, on the same path through the tree, with the same inputs.
//
// Before timing, every observation is traced once through the packaged tree the way the
// processors walk it (each selector's sensors, choice and teacher transform, down to the skill),
// recording which models run and the observation and mask each is fed. The raw side then times
// Ort::Session::Run on sessions of its own (opened like the runner's: full graph optimisation, CPU),
// with those inputs as ready-made tensors, so it measures the models alone; the host side times
// whole execute calls. Both sides run the same steps in the same order after the same warm-up.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <onnxruntime_cxx_api.h>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "core_api/space_utils.hpp"
#include "core_api/spaces.hpp"
#include "host/policy_host.hpp"
#include "processor/skillkit.hpp"
#include "selector/selector_runtime.hpp"
#include "skill/skill_runtime.hpp"
#include "tools/command_registry.hpp"
#include "tools/observation_lines.hpp"
#include "tools/space_sampling.hpp"
#include "tools/tool_support.hpp"

namespace {

using tavrin_inference::BaseAgentProcessor;
using tavrin_inference::DType;
using tavrin_inference::NdArray;
using tavrin_inference::PolicyHost;
using tavrin_inference::RuntimeError;
using tavrin_inference::Shape;
using tavrin_inference::Value;
using Clock = std::chrono::steady_clock;

struct BenchOptions {
  std::string orchestration;
  std::string input;
  std::string agent;
  std::string log_level;
  std::size_t steps = 1000;
  std::size_t warmup = 50;
  std::uint64_t seed = 1;
};

// Synthetic runs draw this many distinct observations and cycle through them.
constexpr std::size_t kMaxSynthetic = 256;

// One model opened for the raw runs, fed like the runner feeds it.
struct RawModel {
  std::string path;
  Ort::Session session{nullptr};
  std::vector<std::string> input_names;
  std::vector<std::string> output_names;
  std::vector<const char*> fed_names;  // observation input, then the mask input if any
  std::vector<const char*> output_ptrs;
  Shape obs_shape;
  std::optional<Shape> mask_shape;
};

// One model run of one step.
struct RawRun {
  RawModel* model = nullptr;
  NdArray obs;
  std::optional<NdArray> mask;
  std::vector<Ort::Value> tensors;
};

Shape declared_input_shape(const Ort::Session& session, std::size_t index) {
  const auto dims = session.GetInputTypeInfo(index).GetTensorTypeAndShapeInfo().GetShape();
  return Shape(dims.begin(), dims.end());
}

bool concrete(const Shape& shape) {
  return std::all_of(shape.begin(), shape.end(), [](std::int64_t d) { return d >= 0; });
}

class RawModels {
 public:
  RawModel& get(const std::string& path) {
    auto& slot = models_[path];
    if (slot) return *slot;
    slot = std::make_unique<RawModel>();
    RawModel& m = *slot;
    m.path = path;
    Ort::SessionOptions options;
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    m.session = Ort::Session(tavrin_tool::ort_env(), path.c_str(), options);
    Ort::AllocatorWithDefaultOptions allocator;
    for (std::size_t i = 0; i < m.session.GetInputCount(); ++i)
      m.input_names.emplace_back(m.session.GetInputNameAllocated(i, allocator).get());
    for (std::size_t i = 0; i < m.session.GetOutputCount(); ++i)
      m.output_names.emplace_back(m.session.GetOutputNameAllocated(i, allocator).get());
    for (const auto& name : m.output_names) m.output_ptrs.push_back(name.c_str());
    const std::size_t obs_index = tavrin_tool::observation_input_index(m.input_names);
    m.fed_names.push_back(m.input_names[obs_index].c_str());
    m.obs_shape = declared_input_shape(m.session, 0);
    const auto mask_index = tavrin_tool::mask_input_index(m.input_names);
    if (mask_index >= 0) {
      m.fed_names.push_back(m.input_names[static_cast<std::size_t>(mask_index)].c_str());
      m.mask_shape = declared_input_shape(m.session, static_cast<std::size_t>(mask_index));
    }
    return m;
  }
  std::size_t size() const { return models_.size(); }

 private:
  std::map<std::string, std::unique_ptr<RawModel>> models_;
};

NdArray observation_float32(const Value& observation) {
  if (observation.is_map()) {
    std::vector<Value> values;
    for (const auto& entry : observation.as_map()) values.push_back(entry.second);
    return tavrin_core::space_utils::make_np_array(Value::list(std::move(values))).astype(DType::float32);
  }
  return tavrin_core::space_utils::make_np_array(observation).astype(DType::float32);
}

// The inputs the processor's runner gets for `sensors_filtered`.
RawRun make_run(RawModel& model, const tavrin_inference::Map& sensors_filtered) {
  RawRun run;
  run.model = &model;
  run.obs = observation_float32(sensors_filtered.at("observation"));
  if (run.obs.ndim() == 1) run.obs = std::move(run.obs).reshape(Shape{1, run.obs.size()});
  if (!(run.obs.shape() == model.obs_shape)) {
    throw tavrin_inference::InvalidArgumentError("model " + model.path + " declares " + model.obs_shape.declared_str() +
                                                 " but is fed " + run.obs.shape().str());
  }
  if (!model.mask_shape) return run;
  std::optional<NdArray> mask;
  if (const Value* m = sensors_filtered.find("action_mask"); m && !m->is_none())
    mask = BaseAgentProcessor::_format_action_mask_for_onnx(*m);
  if (!concrete(*model.mask_shape))
    throw tavrin_inference::InvalidArgumentError("model " + model.path + " declares an open mask shape");
  if (!mask) {
    run.mask = NdArray::ones(*model.mask_shape, DType::float64);
  } else {
    NdArray formatted = mask->astype(DType::float64);
    if (formatted.ndim() == 1) formatted = std::move(formatted).reshape(*model.mask_shape);
    run.mask = std::move(formatted);
  }
  return run;
}

// Walks the tree for one observation like the processors do, recording each model run.
// Only the root gets the line's previous action; a selector hands its children none.
asio::awaitable<void> trace(BaseAgentProcessor& processor, const Value& obs, const Value& mask,
                            const Value& previous_action, RawModels& models, std::vector<RawRun>& runs) {
  const bool controller = processor.context.agent->is_controller();
  if (auto* selector = dynamic_cast<tavrin_inference::SelectorRuntimeBase*>(&processor)) {
    auto [filtered, tavrin_obs] = co_await selector->process_sim_sensors(obs, mask, previous_action);
    Value chosen;
    if (controller) {
      chosen = co_await selector->controller->compute_action(tavrin_obs, previous_action);
    } else {
      if (!selector->onnx_engine)
        throw RuntimeError("ONNX model not loaded for orchestrator agent " + selector->get_agent_name());
      runs.push_back(make_run(models.get(selector->onnx_engine->model_path()), filtered));
      chosen = Value(co_await selector->_get_orchestrator_action(filtered, mask));
    }
    if (selector->teacher) {
      Value transformed = co_await selector->teacher->transform_action(tavrin_obs, std::move(chosen));
      chosen = transformed.is_tuple() ? transformed[1] : transformed;
    }
    auto child = selector->get_child_processor_by_index(chosen.as_int());
    if (!child) throw RuntimeError("selector " + selector->get_agent_name() + " chose no child: " + chosen.str());
    co_await trace(*child, obs, mask, Value(), models, runs);
    co_return;
  }
  auto* skill = dynamic_cast<tavrin_inference::SkillRuntimeBase*>(&processor);
  if (!skill || (controller && skill->controller)) co_return;  // no model on this step
  if (!skill->onnx_engine) throw RuntimeError("ONNX model not loaded for agent " + skill->get_agent_name());
  auto [filtered, tavrin_obs] = co_await skill->process_sim_sensors(obs, mask, previous_action);
  runs.push_back(make_run(models.get(skill->onnx_engine->model_path()), filtered));
}

struct Stats {
  double p50 = 0, p99 = 0, mean = 0;
};

Stats stats_of(std::vector<double> us) {
  Stats s;
  if (us.empty()) return s;
  std::sort(us.begin(), us.end());
  const auto rank = [&](double q) {
    const auto i = static_cast<std::size_t>(std::ceil(q * static_cast<double>(us.size())));
    return us[std::min(us.size() - 1, i == 0 ? 0 : i - 1)];
  };
  s.p50 = rank(0.50);
  s.p99 = rank(0.99);
  double sum = 0;
  for (double v : us) sum += v;
  s.mean = sum / static_cast<double>(us.size());
  return s;
}

std::string ratio_text(double host, double raw) {
  if (raw <= 0) return "n/a";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", host / raw);
  return buffer;
}

int bench_command(const BenchOptions& options) {
  tavrin_tool::apply_log_level(options.log_level);
  if (options.steps == 0) throw tavrin_inference::InvalidArgumentError("--steps must be at least 1");

  std::vector<tavrin_tool::ObservationLine> observations;
  std::string source;
  if (!options.input.empty()) {
    tavrin_tool::InputLines input(options.input);
    std::string line;
    std::size_t n = 0;
    while (std::getline(input.stream(), line))
      observations.push_back(tavrin_tool::parse_observation_line(line, ++n));  // a bad line ends the run
    if (observations.empty()) throw tavrin_inference::InvalidArgumentError(input.name() + ": no observation lines");
    source = "recorded observations from " + input.name() + " (" + std::to_string(observations.size()) + ")";
  }

  PolicyHost host;
  RawModels models;
  std::vector<std::vector<RawRun>> paths;
  std::vector<double> host_us;
  std::string root_name;
  tavrin_inference::run_sync(
      [&]() -> asio::awaitable<void> {
        co_await host.load_orchestration(options.orchestration);
        co_await host.package(nullptr, tavrin_tool::agent_ref(options.agent));
        BaseAgentProcessor& root = *host.agent_processor;
        root_name = root.get_agent_name();

        if (observations.empty()) {
          tavrin_core::SpacePtr space = root.sim_sensor_space;
          if (!space) throw RuntimeError("agent " + root_name + " has no simulator sensor space to sample");
          std::mt19937_64 rng(options.seed);
          const std::size_t count = std::min(options.steps, kMaxSynthetic);
          for (std::size_t i = 0; i < count; ++i) {
            tavrin_tool::ObservationLine line;
            line.line_number = i + 1;
            line.obs = tavrin_tool::sample_space(*space, rng);
            observations.push_back(std::move(line));
          }
          source = "synthetic observations (seed " + std::to_string(options.seed) + ", " + std::to_string(count) +
                   " distinct, sampled from " + space->str() + ")";
        }

        // Every observation once through the host, so that a bad one is reported before timing.
        for (const auto& o : observations) {
          try {
            (void)co_await host.execute(o.obs, o.mask, Value(false), o.previous_action);
          } catch (const std::exception&) {
            throw RuntimeError("observation " + std::to_string(o.line_number) +
                               " fails: " + tavrin_tool::describe_error(std::current_exception()));
          }
        }
        paths.resize(observations.size());
        for (std::size_t i = 0; i < observations.size(); ++i)
          co_await trace(root, observations[i].obs, observations[i].mask, observations[i].previous_action, models,
                         paths[i]);

        for (std::size_t i = 0; i < options.warmup; ++i) {
          const auto& o = observations[i % observations.size()];
          (void)co_await host.execute(o.obs, o.mask, Value(false), o.previous_action);
        }
        host_us.reserve(options.steps);
        for (std::size_t i = 0; i < options.steps; ++i) {
          const auto& o = observations[i % observations.size()];
          const auto t0 = Clock::now();
          Value action = co_await host.execute(o.obs, o.mask, Value(false), o.previous_action);
          const auto t1 = Clock::now();
          host_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
        co_await host.close();
      }(),
      "bench");

  // Tensors over the recorded inputs; the arrays stay where they are from here on.
  const auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::size_t total_runs = 0;
  for (auto& path : paths) {
    total_runs += path.size();
    for (auto& run : path) {
      const auto& os = run.obs.shape();
      run.tensors.push_back(Ort::Value::CreateTensor<float>(
          memory, run.obs.data<float>(), static_cast<std::size_t>(run.obs.size()), os.begin(), os.ndim()));
      if (run.mask) {
        const auto& ms = run.mask->shape();
        run.tensors.push_back(Ort::Value::CreateTensor<double>(
            memory, run.mask->data<double>(), static_cast<std::size_t>(run.mask->size()), ms.begin(), ms.ndim()));
      }
    }
  }
  const Ort::RunOptions run_options{nullptr};
  const auto raw_step = [&](std::vector<RawRun>& path) {
    for (auto& run : path) {
      auto outputs =
          run.model->session.Run(run_options, run.model->fed_names.data(), run.tensors.data(), run.tensors.size(),
                                 run.model->output_ptrs.data(), run.model->output_ptrs.size());
      (void)outputs;
    }
  };
  for (std::size_t i = 0; i < options.warmup; ++i) raw_step(paths[i % paths.size()]);
  std::vector<double> raw_us;
  raw_us.reserve(options.steps);
  std::size_t timed_runs = 0;
  for (std::size_t i = 0; i < options.steps; ++i) {
    auto& path = paths[i % paths.size()];
    timed_runs += path.size();
    const auto t0 = Clock::now();
    raw_step(path);
    const auto t1 = Clock::now();
    raw_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }

  const Stats h = stats_of(host_us);
  const Stats r = stats_of(raw_us);
  std::printf("bench %s (agent %s): %zu steps after %zu warm-up, %s\n", options.orchestration.c_str(),
              root_name.c_str(), options.steps, options.warmup, source.c_str());
  std::printf("model runs per step: %.2f on average, %zu distinct models\n",
              static_cast<double>(timed_runs) / static_cast<double>(options.steps), models.size());
  std::printf("%-28s %12s %12s %12s\n", "per step", "p50 (us)", "p99 (us)", "mean (us)");
  std::printf("%-28s %12.2f %12.2f %12.2f\n", "PolicyHost::execute", h.p50, h.p99, h.mean);
  std::printf("%-28s %12.2f %12.2f %12.2f\n", "ONNX Runtime Session::Run", r.p50, r.p99, r.mean);
  std::printf("%-28s %12s %12s %12s\n", "ratio (host / raw)", ratio_text(h.p50, r.p50).c_str(),
              ratio_text(h.p99, r.p99).c_str(), ratio_text(h.mean, r.mean).c_str());
  (void)total_runs;
  return 0;
}

const tavrin_tool::CommandRegistration registration{
    "bench", "Per-step latency of PolicyHost::execute next to raw ONNX Runtime runs of the same models", 30,
    [](CLI::App& command) {
      auto options = std::make_shared<BenchOptions>();
      command.add_option("ORCHESTRATION", options->orchestration, "orchestration file")->required();
      command.add_option("-i,--input", options->input,
                         "file of observation lines, cycled through (default: synthetic observations)");
      command.add_option("-a,--agent", options->agent, "agent to package (default: the top agent)");
      command.add_option("-n,--steps", options->steps, "timed steps")->capture_default_str();
      command.add_option("--warmup", options->warmup, "untimed steps before timing")->capture_default_str();
      command.add_option("--seed", options->seed, "seed of the synthetic observations")->capture_default_str();
      command
          .add_option("--log-level", options->log_level,
                      "debug, info, warning, error or off (overrides the global one)")
          ->check(CLI::IsMember({"debug", "info", "warning", "error", "off"}));
      return [options] { return bench_command(*options); };
    }};

}  // namespace
