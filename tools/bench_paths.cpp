#include "tools/bench_paths.hpp"

#include <algorithm>
#include <utility>

#include "common/errors.hpp"
#include "core_api/space_utils.hpp"
#include "runner/session_options.hpp"
#include "selector/selector_runtime.hpp"
#include "skill/skill_runtime.hpp"
#include "tools/tool_support.hpp"

namespace tavrin_tool {
namespace {

using tavrin_inference::DType;
using tavrin_inference::NdArray;
using tavrin_inference::RuntimeError;
using tavrin_inference::Shape;
using tavrin_inference::Value;

Shape declared_input_shape(const Ort::Session& session, std::size_t index) {
  const auto dims = session.GetInputTypeInfo(index).GetTensorTypeAndShapeInfo().GetShape();
  return Shape(dims.begin(), dims.end());
}

bool concrete(const Shape& shape) {
  return std::all_of(shape.begin(), shape.end(), [](std::int64_t d) { return d >= 0; });
}

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
    mask = tavrin_inference::BaseAgentProcessor::_format_action_mask_for_onnx(*m);
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

}  // namespace

RawModel::RawModel(std::string model_path)
    : path(std::move(model_path)), session(tavrin_inference::open_session(path, {"CPUExecutionProvider"}, {})) {
  const std::size_t obs_index = observation_input_index(names.inputs);
  fed_names.push_back(names.input_ptrs[obs_index]);
  obs_shape = declared_input_shape(session, 0);
  const auto mask_index = mask_input_index(names.inputs);
  if (mask_index >= 0) {
    fed_names.push_back(names.input_ptrs[static_cast<std::size_t>(mask_index)]);
    mask_shape = declared_input_shape(session, static_cast<std::size_t>(mask_index));
  }
}

RawModel& RawModels::get(const std::string& path) {
  auto& slot = models_[path];
  if (!slot) slot = std::make_unique<RawModel>(path);
  return *slot;
}

asio::awaitable<void> trace(tavrin_inference::BaseAgentProcessor& processor, const Value& obs, const Value& mask,
                            const Value& previous_action, RawModels& models, RawPath& path) {
  const bool controller = processor.context.agent->is_controller();
  if (auto* selector = dynamic_cast<tavrin_inference::SelectorRuntimeBase*>(&processor)) {
    auto [filtered, tavrin_obs] = co_await selector->process_sim_sensors(obs, mask, previous_action);
    Value chosen;
    if (controller) {
      chosen = co_await selector->controller->compute_action(tavrin_obs, previous_action);
    } else {
      if (!selector->onnx_engine)
        throw RuntimeError("ONNX model not loaded for orchestrator agent " + selector->get_agent_name());
      path.push_back(make_run(models.get(selector->onnx_engine->model_path()), filtered));
      chosen = Value(co_await selector->_get_orchestrator_action(filtered, mask));
    }
    if (selector->teacher) {
      Value transformed = co_await selector->teacher->transform_action(tavrin_obs, std::move(chosen));
      chosen = transformed.is_tuple() ? transformed[1] : transformed;
    }
    auto child = selector->get_child_processor_by_index(chosen.as_int());
    if (!child) throw RuntimeError("selector " + selector->get_agent_name() + " chose no child: " + chosen.str());
    co_await trace(*child, obs, mask, Value(), models, path);
    co_return;
  }
  auto* skill = dynamic_cast<tavrin_inference::SkillRuntimeBase*>(&processor);
  if (!skill || (controller && skill->controller)) co_return;  // no model on this step
  if (!skill->onnx_engine) throw RuntimeError("ONNX model not loaded for agent " + skill->get_agent_name());
  auto [filtered, tavrin_obs] = co_await skill->process_sim_sensors(obs, mask, previous_action);
  path.push_back(make_run(models.get(skill->onnx_engine->model_path()), filtered));
}

void make_tensors(std::vector<RawPath>& paths) {
  const auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  for (auto& path : paths) {
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
}

void run_bare(const RawPath& path) {
  static const Ort::RunOptions run_options{nullptr};
  for (const auto& run : path) {
    auto outputs =
        run.model->session.Run(run_options, run.model->fed_names.data(), run.tensors.data(), run.tensors.size(),
                               run.model->names.output_ptrs.data(), run.model->names.output_ptrs.size());
    (void)outputs;
  }
}

}  // namespace tavrin_tool
