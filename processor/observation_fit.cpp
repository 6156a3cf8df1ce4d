#include "processor/observation_fit.hpp"

#include <algorithm>
#include <utility>

#include "common/close_names.hpp"
#include "common/errors.hpp"
#include "common/late_binding.hpp"
#include "core_api/logger.hpp"
#include "onnx_helper/onnx_helper_binding.hpp"

namespace tavrin_inference {
namespace {

const tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.skillkit");

std::vector<std::string> sensor_names(const tavrin_core::SpacePtr& space) {
  std::vector<std::string> names;
  if (const auto* dict = dynamic_cast<const tavrin_core::spaces::Dict*>(space.get())) {
    for (const auto& entry : dict->spaces()) names.push_back(entry.first);
  }
  return names;
}

std::string dims_text(const std::vector<std::int64_t>& dims) {
  if (dims.empty()) return "no shape";
  std::string text = "[";
  for (std::size_t i = 0; i < dims.size(); ++i) {
    if (i > 0) text += ", ";
    text += dims[i] >= 0 ? std::to_string(dims[i]) : std::string("?");
  }
  return text + "]";
}

// "temperature (1), setpoint (1)", or "none".
std::string kept_sensors(const tavrin_core::SpacePtr& filtered) {
  std::string text;
  if (const auto* dict = dynamic_cast<const tavrin_core::spaces::Dict*>(filtered.get())) {
    for (const auto& [name, space] : dict->spaces()) {
      if (!text.empty()) text += ", ";
      text += name + " (" + std::to_string(space->flat_size()) + ")";
    }
  }
  return text.empty() ? "none" : text;
}

// "; 'CO2' is not a sensor (closest: 'co2')" for every requested name the filter dropped.
std::string unknown_names(const BaseAgentProcessor& processor) {
  const std::vector<std::string> sensors = sensor_names(processor.korvath_sensor_space);
  std::string text;
  for (const auto& key : processor.filter_keys) {
    if (std::find(sensors.begin(), sensors.end(), key) != sensors.end()) continue;
    text += "; '" + key + "' is not a sensor (" + closest_or_all(key, sensors, "sensors") + ")";
  }
  return text;
}

}  // namespace

std::optional<std::string> observation_misfit(const BaseAgentProcessor& processor,
                                              const DeclaredObservationInput& input) {
  const std::int64_t fed =
      processor.filtered_korvath_sensor_space ? processor.filtered_korvath_sensor_space->flat_size() : 0;
  if (input.dims == std::vector<std::int64_t>{1, fed}) return std::nullopt;
  const std::string name = processor.get_agent_name();
  return "agent '" + name + "' feeds an observation of (1, " + std::to_string(fed) + ") from the sensors " +
         kept_sensors(processor.filtered_korvath_sensor_space) + ", but input '" + input.name + "' of model " +
         input.model_path + " declares " + dims_text(input.dims) + ": every step that reaches " + name + " fails" +
         unknown_names(processor);
}

void BaseAgentProcessor::check_model_observation(const std::string& model_path,
                                                 const std::vector<std::string>& input_names) const {
  if (input_names.empty()) return;
  // The declared shapes come from the model file's graph inputs, read without a second session; the
  // reader lives in the model-preparation library, which is bound by name and may be missing.
  std::vector<OnnxInputDecl> declared;
  try {
    auto* read = bind_function<ReadOnnxModelInputsFn>(kOnnxHelperLibrary, kReadModelInputsSymbol);
    read(model_path, declared);
  } catch (const Error& e) {
    logger.debug("Observation size of agent {} not checked against {}: {}", get_agent_name(), model_path, e.what());
    return;
  }
  // The runner's first input: the file may also list initialisers as inputs, the session does not.
  const auto first = std::find_if(declared.begin(), declared.end(),
                                  [&](const OnnxInputDecl& in) { return in.name == input_names.front(); });
  if (first == declared.end()) return;
  DeclaredObservationInput input{model_path, first->name, {}};
  for (const auto& dim : first->dims) input.dims.push_back(dim.value_or(-1));
  if (auto misfit = observation_misfit(*this, input)) logger.warning(*misfit);
}

}  // namespace tavrin_inference
