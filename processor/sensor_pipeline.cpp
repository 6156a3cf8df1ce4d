// The per-step sensor pipeline of BaseAgentProcessor: conversion, teacher transform, filtering,
// normalisation, action mask and flattening.
#include <string>
#include <utility>

#include "common/errors.hpp"
#include "core_api/space_utils.hpp"
#include "processor/skillkit.hpp"

namespace tavrin_inference {

// The synchronous parts of the pipeline live in plain member functions: locals of a coroutine stay
// in its heap frame, and a frame kept small is recycled instead of going back to the allocator.

bool BaseAgentProcessor::observation_from_sample(const Value& transformed) const {
  return filtered_korvath_sensor_space && transformed.is_map() && !normalizes_any_;
}

Value BaseAgentProcessor::filter_and_normalize(const Value& transformed) {
  // Only the agent's own sensors; the full sample stays untouched for the teacher and the mask.
  // When none of them is normalised the observation is flattened straight from the full sample
  // (the filtered space picks the same entries by name), which saves copying them.
  if (!normalized_sensors_resolved_) resolve_normalized_sensors();
  if (observation_from_sample(transformed)) {
    const Map& entries = transformed.as_map();
    for (const auto& sensor : normalized_sensors_) entries.at(sensor->name());  // as normalising would fail
    return Value();
  }
  Value filtered = tavrin_core::space_utils::filter_sample(transformed, filter_keys);

  // Normalisation, replacing each entry in place. An absent sample is reported below instead of
  // failing here on the missing map.
  if (filtered_korvath_sensor_space && !filtered.is_none()) {
    Map& entries = filtered.as_map();
    for (const auto& sensor : normalized_sensors_) {
      Value& slot = entries.at(sensor->name());
      slot = sensor->normalize_sample(std::move(slot));
    }
  }

  // A filter that yields nothing is the agent's error.
  if (filtered.is_none()) {
    throw Error("Sensor values is 'None' (original: " + filtered.str() + ", filter space: " +
                (filtered_korvath_sensor_space ? filtered_korvath_sensor_space->str() : std::string("None")) +
                ") for agent '" + context.agent->get_name());
  }
  return filtered;
}

std::pair<Map, Value> BaseAgentProcessor::assemble_sensors(Value filtered, NdArray action_mask, Value transformed) {
  const bool from_sample = observation_from_sample(transformed);
  Map sensors_filtered;
  sensors_filtered.reserve(2);
  sensors_filtered.set("observation", std::move(filtered));
  sensors_filtered.set("action_mask", Value(std::move(action_mask)));

  // The observation as the model sees it.
  if (!filtered_korvath_sensor_space) {
    throw RuntimeError("process_sim_sensors() needs init(): agent '" + context.agent->get_name() +
                       "' has no filtered sensor space to flatten the observation with");
  }
  Value& obs_slot = *sensors_filtered.find("observation");
  obs_slot = Value(filtered_korvath_sensor_space->flatten_sample(from_sample ? transformed : obs_slot));
  return {std::move(sensors_filtered), std::move(transformed)};
}

const Value& BaseAgentProcessor::filtered_for_step(const Value& transformed) {
  if (!normalized_sensors_resolved_) resolve_normalized_sensors();
  // Anything but a map takes the pipeline's own path, with its messages.
  if (!transformed.is_map() || observation_from_sample(transformed)) {
    step_.filtered = filter_and_normalize(transformed);
    return step_.filtered;
  }
  const Map& sample = transformed.as_map();
  const auto normalized = [this](const std::string& key) {
    for (const auto& sensor : normalized_sensors_)
      if (sensor->name() == key) return true;
    return false;
  };

  // The last step's map holds the same sensors when it has the kept keys the sample has, in order.
  bool reuse = step_.filtered.is_map();
  if (reuse) {
    auto slot = step_.filtered.as_map().begin();
    const auto end = step_.filtered.as_map().end();
    for (const auto& key : filter_keys) {
      if (!sample.contains(key)) continue;
      if (slot == end || slot->first != key) {
        reuse = false;
        break;
      }
      ++slot;
    }
    reuse = reuse && slot == end;
  }
  if (!reuse) {
    step_.filtered = tavrin_core::space_utils::filter_sample(transformed, filter_keys);
  } else {
    // Sensors that are normalised keep arrays of their own, written below.
    for (auto& [key, slot] : step_.filtered.as_map()) {
      if (!normalized(key)) slot = *sample.find(key);
    }
  }
  if (filtered_korvath_sensor_space) {
    Map& entries = step_.filtered.as_map();
    for (const auto& sensor : normalized_sensors_) {
      Value& slot = entries.at(sensor->name());
      sensor->normalize_into(*sample.find(sensor->name()), slot);
    }
  }
  return step_.filtered;
}

void BaseAgentProcessor::observation_into(const Value& filtered, const Value& transformed, NdArray& observation) {
  if (!filtered_korvath_sensor_space) {
    throw RuntimeError("process_sim_sensors() needs init(): agent '" + context.agent->get_name() +
                       "' has no filtered sensor space to flatten the observation with");
  }
  filtered_korvath_sensor_space->flatten_sample_into(observation_from_sample(transformed) ? transformed : filtered,
                                                     observation);
}

NdArray& BaseAgentProcessor::scratch_slot(std::size_t index) {
  Map& slots = step_.sensors_filtered;
  if (slots.size() != 2) {
    // Made afresh when the map went out with a teacher map: "observation" first, as the pipeline has it.
    slots = Map{{"observation", Value(NdArray())}, {"action_mask", Value(NdArray())}};
  }
  Value& slot = (slots.begin() + static_cast<std::ptrdiff_t>(index))->second;
  if (!slot.is_array()) slot = Value(NdArray());
  return slot.as_array();
}

asio::awaitable<std::pair<Map, Value>> BaseAgentProcessor::process_sim_sensors(const Value& sensors,
                                                                               const Value& sim_action_mask,
                                                                               const Value& previous_action) {
  if (!context.orchestration) throw InvalidArgumentError("AgentProcessorContext has no orchestration");

  // Raw sensors -> sensor map (the perceptors run inside the conversion).
  Value transformed = co_await tavrin_core::space_utils::convert_sim_sensors_to_tavrin_sensors(
      sensors, sim_sensor_space, context.orchestration->sensors(), perceptors, agent_group_agent_processors);

  // A controller never transforms sensors, even when a teacher is set too.
  if (teacher && !controller) transformed = co_await teacher->transform_sensors(std::move(transformed), absent_value());

  // The agent's own sensors, normalised.
  Value filtered = filter_and_normalize(transformed);

  // The mask comes from the transformed, unfiltered sample (through the instance, so that a
  // subclass's mask is the one used).
  NdArray action_mask = co_await compute_action_mask(transformed, sim_action_mask, previous_action);

  co_return assemble_sensors(std::move(filtered), std::move(action_mask), std::move(transformed));
}

}  // namespace tavrin_inference
