#include "runner/graph_runner.hpp"

#include <array>
#include <atomic>
#include <exception>
#include <filesystem>
#include <string_view>

#include <onnxruntime_cxx_api.h>

#include "common/errors.hpp"
#include "core_api/logger.hpp"
#include "runner/runner_session.hpp"
#include "runner/session_options.hpp"
#include "runner/shared_model.hpp"
#include "runner/tensors.hpp"

namespace tavrin_inference {
namespace {

using tavrin_core::LogLevel;

const tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.graph_runner");

constexpr const char* kCpuProvider = "CPUExecutionProvider";

// The runner's one handler of failures, called from a catch block: logs the error at error level
// after `prefix` and throws it on, ONNX Runtime's own errors as RuntimeError with their message.
// Other exceptions than std::exception pass unlogged.
[[noreturn]] void log_and_rethrow(std::string_view prefix) {
  try {
    throw;
  } catch (const Ort::Exception& e) {
    logger.error("{}{}", prefix, e.what());
    throw RuntimeError(e.what());
  } catch (const std::exception& e) {
    logger.error("{}{}", prefix, e.what());
    throw;
  }
}

}  // namespace

GraphRunner::GraphRunner(std::string model_path, std::optional<std::vector<std::string>> providers)
    : GraphRunner(std::move(model_path), std::move(providers), GraphRunnerOptions{}) {}

GraphRunner::GraphRunner(std::string model_path, std::optional<std::vector<std::string>> providers,
                         const GraphRunnerOptions& options) {
  if (!providers) providers.emplace(1, kCpuProvider);
  std::error_code ec;
  if (!std::filesystem::exists(model_path, ec)) {
    throw FileNotFoundError("ONNX model not found at: " + model_path);
  }
  model_path_ = std::move(model_path);
  load_model(*providers, options);
  warm_up();
}

GraphRunner::~GraphRunner() = default;

void GraphRunner::load_model(const std::vector<std::string>& providers, const GraphRunnerOptions& options) {
  try {
    auto loaded = std::make_unique<Session>(open_shared_model(model_path_, providers, options));
    const SharedModel& m = *loaded->model;
    logger.info("Successfully loaded ONNX model from: {}", model_path_);
    if (logger.enabled(LogLevel::debug)) {
      logger.debug("Input names: {}, Output names: {}", quoted_list(m.input_names), quoted_list(*m.output_names));
    }
    session_ = std::move(loaded);
  } catch (...) {
    log_and_rethrow("Error loading ONNX model from " + model_path_ + ": ");
  }
}

// A run on zeros makes ONNX Runtime prepare what its first run prepares (kernels, arena blocks) and
// this runner its tensors and binding, at packaging instead of on the first step.
void GraphRunner::warm_up() {
  Session& s = *session_;
  const SharedModel& m = *s.model;
  std::lock_guard lock(model_lock_);
  try {
    if (m.input_names.empty()) throw IndexError("Model has no inputs");
    // Open sizes become 1: the run then fails the way every call on such a model does.
    Shape shape;
    for (const std::int64_t d : m.observation_shape) shape.push_back(d < 0 ? 1 : d);
    // An everything-allowed mask given as a step gives one, so that the binding is made with the
    // staged mask a step feeds (a model without a fixed mask shape gets its default mask).
    std::optional<NdArray> allowed;
    if (s.ones_mask) allowed.emplace(NdArray::ones(m.mask_shape, DType::float64));
    run_unlogged(NdArray::full(shape, DType::float32, 0.0), allowed ? &*allowed : nullptr, s.single_values,
                 m.dist_output);
  } catch (const std::exception& e) {
    logger.warning("Error during inference: {} (warm-up run of {} at loading)", e.what(), model_path_);
  }
}

Shape GraphRunner::observation_shape() const { return session_ ? session_->model->observation_shape : Shape{}; }

std::optional<Shape> GraphRunner::action_mask_shape() const {
  if (!session_ || !session_->model->mask_input) return std::nullopt;
  return session_->model->mask_shape;
}

const std::vector<std::string>& GraphRunner::input_names() const {
  static const std::vector<std::string> none;
  return session_ ? session_->model->input_names : none;
}

const std::vector<std::string>& GraphRunner::output_names() const {
  static const std::vector<std::string> none;
  return session_ ? *session_->model->output_names : none;
}

int GraphRunner::max_concurrent_runs() const {
  return session_ ? session_->max_in_flight.load(std::memory_order_relaxed) : 0;
}

bool GraphRunner::shares_session_with(const GraphRunner& other) const {
  return session_ && other.session_ && session_->model == other.session_->model;
}

InferenceOutputs GraphRunner::infer(const NdArray& observation, const NdArray* action_mask) {
  std::lock_guard lock(model_lock_);
  std::vector<NdArray> values;
  run_locked(observation, action_mask, values, std::nullopt);
  return InferenceOutputs(session_->model->output_names, std::move(values));
}

void GraphRunner::run_locked(const NdArray& observation, const NdArray* action_mask, std::vector<NdArray>& values,
                             std::optional<std::size_t> only) {
  if (!session_) throw RuntimeError("Model not loaded");
  try {
    run_unlogged(observation, action_mask, values, only);
  } catch (...) {
    log_and_rethrow("Error during inference: ");
  }
}

void GraphRunner::run_unlogged(const NdArray& observation, const NdArray* action_mask, std::vector<NdArray>& values,
                               std::optional<std::size_t> only) {
  Session& s = *session_;
  const SharedModel& m = *s.model;
  if (m.input_names.empty()) throw IndexError("Model has no inputs");
  std::array<const char*, 2> input_names{};
  std::array<Ort::Value*, 2> inputs{};
  std::size_t input_count = 0;

  // Observation: one row when flat, float32, and exactly the declared shape.
  Shape obs_shape = observation.shape();
  if (obs_shape.ndim() == 1) obs_shape = Shape{1, obs_shape[0]};
  if (!(obs_shape == m.observation_shape)) {
    throw InvalidArgumentError("Observation has too many dimensions: " + obs_shape.str() + ", expected: " +
                               m.observation_shape.declared_str() + ". Batch inference is not supported.");
  }
  input_names[input_count] = m.input_names[m.observation_input].c_str();
  std::optional<NdArray> obs_converted;  // lives until the run
  if (s.observation_stage.ready()) {
    inputs[input_count++] = &s.observation_stage.load(s.memory, observation);
  } else {
    const NdArray* obs = &observation;
    if (observation.dtype() != DType::float32) obs = &obs_converted.emplace(observation.astype(DType::float32));
    inputs[input_count++] = &s.observation_view.input(s.memory, *obs, obs_shape);
  }

  // Action mask: float64 of the declared shape; all ones when none is given.
  std::optional<NdArray> mask_converted;
  if (m.mask_input) {
    const NdArray* mask = nullptr;
    Shape mask_shape;
    if (action_mask != nullptr) {
      mask = action_mask;
      mask_shape = mask->shape();
      if (mask_shape.ndim() == 1) {
        if (is_concrete(m.mask_shape) && mask->size() == m.mask_shape.numel()) {
          mask_shape = m.mask_shape;  // same elements, row-major: only the shape changes
        } else {
          mask = &mask_converted.emplace(mask->reshape(m.mask_shape));  // resolves or refuses the sizes
          mask_shape = mask->shape();
        }
      }
      if (mask->dtype() != DType::float64) {
        NdArray converted = mask->astype(DType::float64);
        mask = &mask_converted.emplace(std::move(converted));
      }
      if (!(mask_shape == m.mask_shape)) {
        throw InvalidArgumentError("Action mask has incorrect shape: " + mask_shape.str() +
                                   ", expected: " + m.mask_shape.declared_str());
      }
    } else if (s.ones_mask) {
      mask = &*s.ones_mask;
      mask_shape = m.mask_shape;
    } else {
      mask = &mask_converted.emplace(NdArray::ones(m.mask_shape, DType::float64));  // refuses open sizes
      mask_shape = mask->shape();
    }
    input_names[input_count] = m.input_names[*m.mask_input].c_str();
    if (s.mask_stage.ready() && mask != &*s.ones_mask) {
      inputs[input_count++] = &s.mask_stage.load(s.memory, *mask);
    } else {
      inputs[input_count++] = &s.mask_view.input(s.memory, *mask, mask_shape);
    }
  }

  const int now = s.in_flight.fetch_add(1, std::memory_order_relaxed) + 1;
  int seen = s.max_in_flight.load(std::memory_order_relaxed);
  while (now > seen && !s.max_in_flight.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
  struct Leave {
    std::atomic<int>& count;
    ~Leave() { count.fetch_sub(1, std::memory_order_relaxed); }
  } leave{s.in_flight};
  const bool stable_inputs = s.observation_stage.ready() && (!m.mask_input || s.mask_stage.ready());
  s.run(input_names.data(), inputs.data(), input_count, values, only, stable_inputs);
}

// The one-output accessors copy only the output they hand back.
NdArray GraphRunner::get_action_dist_inputs(const NdArray& observation, const NdArray* action_mask) {
  std::lock_guard lock(model_lock_);
  if (!session_) throw RuntimeError("Model not loaded");
  Session& s = *session_;
  run_locked(observation, action_mask, s.single_values, s.model->dist_output);
  if (s.single_values.empty()) throw IndexError("Model has no outputs");
  return std::move(s.single_values[s.model->dist_output]);
}

std::optional<NdArray> GraphRunner::get_vf_preds(const NdArray& observation, const NdArray* action_mask) {
  std::lock_guard lock(model_lock_);
  if (!session_) throw RuntimeError("Model not loaded");
  Session& s = *session_;
  // Without a "vf_preds" output the run still takes place (its errors are the caller's) and copies nothing.
  run_locked(observation, action_mask, s.single_values, s.model->vf_output.value_or(s.output_values.size()));
  if (!s.model->vf_output) return std::nullopt;
  return std::move(s.single_values[*s.model->vf_output]);
}

}  // namespace tavrin_inference
