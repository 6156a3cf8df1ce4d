// The model runner and the processor tree, for callers that look under the host: the processors a
// packaged host built (what `tavrin inspect` walks) and the runner of each model, the very ONNX
// Runtime session the host steps with. A runner runs without the GIL.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "processor/skillkit.hpp"
#include "python/src/bindings.hpp"
#include "python/src/convert.hpp"
#include "python/src/space_view.hpp"
#include "runner/graph_runner.hpp"
#include "selector/selector_runtime.hpp"
#include "skill/skill_runtime.hpp"

namespace tavrin_python {

namespace {

using tavrin_inference::BaseAgentProcessor;
using tavrin_inference::GraphRunner;
using tavrin_inference::InferenceOutputs;
using tavrin_inference::ProcessorPtr;
using tavrin_inference::SelectorRuntimeBase;
using tavrin_inference::SkillRuntimeBase;

NdArray input_array(const py::object& object, const char* name) {
  return array_from_numpy(py::array::ensure(object), Where(name));
}

py::dict outputs_dict(const InferenceOutputs& outputs) {
  py::dict out;
  for (const auto& entry : outputs) out[py::str(entry.name)] = array_to_numpy(entry.value);
  return out;
}

InferenceOutputs infer(GraphRunner& runner, const py::object& observation, const py::object& action_mask) {
  const NdArray obs = input_array(observation, "observation");
  std::optional<NdArray> mask;
  if (!action_mask.is_none()) mask = input_array(action_mask, "action_mask");
  const py::gil_scoped_release release;
  return runner.infer(obs, mask ? &*mask : nullptr);
}

// The runner of a processor's model, sharing the processor's ownership: it stays valid after the
// host packages again.
std::shared_ptr<GraphRunner> runner_of(const ProcessorPtr& processor) {
  GraphRunner* runner = nullptr;
  if (auto* skill = dynamic_cast<SkillRuntimeBase*>(processor.get())) runner = skill->onnx_engine.get();
  if (auto* selector = dynamic_cast<SelectorRuntimeBase*>(processor.get())) runner = selector->onnx_engine.get();
  if (runner == nullptr) return nullptr;
  return {processor, runner};
}

std::vector<ProcessorPtr> children_of(const ProcessorPtr& processor) {
  if (auto* selector = dynamic_cast<SelectorRuntimeBase*>(processor.get()))
    return selector->get_child_agent_processors();
  return {};
}

}  // namespace

void bind_runner(py::module_& module) {
  py::class_<GraphRunner, std::shared_ptr<GraphRunner>>(
      module, "GraphRunner", "One ONNX Runtime session of an exported policy model, run one observation at a time.")
      .def(py::init([](const std::string& model_path, std::optional<std::vector<std::string>> providers) {
             const py::gil_scoped_release release;
             return std::make_shared<GraphRunner>(model_path, std::move(providers));
           }),
           py::arg("model_path"), py::arg("providers") = py::none())
      .def_property_readonly("model_path", &GraphRunner::model_path)
      .def_property_readonly("input_names", &GraphRunner::input_names)
      .def_property_readonly("output_names", &GraphRunner::output_names)
      .def(
          "infer",
          [](GraphRunner& runner, const py::object& observation, const py::object& action_mask) {
            return outputs_dict(infer(runner, observation, action_mask));
          },
          py::arg("observation"), py::arg("action_mask") = py::none(),
          "Every output by name, as numpy arrays. The observation is fed as float32, the mask as float64.")
      .def(
          "get_action_dist_inputs",
          [](GraphRunner& runner, const py::object& observation, const py::object& action_mask) {
            const InferenceOutputs outputs = infer(runner, observation, action_mask);
            const NdArray* found = outputs.find("action_dist_inputs");
            return array_to_numpy(found != nullptr ? *found : outputs.value(outputs.size() - 1));
          },
          py::arg("observation"), py::arg("action_mask") = py::none());

  py::class_<BaseAgentProcessor, ProcessorPtr>(module, "Processor",
                                               "One agent's processor in a packaged host (read-only).")
      .def_property_readonly("name", &BaseAgentProcessor::get_name)
      .def_property_readonly("class_name", &BaseAgentProcessor::class_name, "\"SkillRuntime\" or \"SelectorRuntime\"")
      .def_property_readonly("agent", &BaseAgentProcessor::get_agent)
      .def_property_readonly("children", &children_of, "a selector's child processors, in the order of its children")
      .def_property_readonly("runner", &runner_of, "the runner of the agent's model, or None")
      .def_property_readonly(
          "filter_keys", [](const BaseAgentProcessor& p) { return p.filter_keys; },
          "the sensors the agent's model sees, in the order they are flattened")
      .def_property_readonly("action_space",
                             [](const BaseAgentProcessor& p) { return optional_space(p.get_action_space()); })
      .def_property_readonly("observation_space",
                             [](const BaseAgentProcessor& p) { return optional_space(p.observation_space); })
      .def("__repr__", [](const BaseAgentProcessor& p) {
        return "<tavrin.Processor '" + p.get_name() + "': " + p.class_name() + ">";
      });
}

}  // namespace tavrin_python
