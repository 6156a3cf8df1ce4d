#pragma once
// Operations on spaces and samples that the processors use each step.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "core_api/implementations.hpp"
#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"

namespace tavrin_core::space_utils {

using spaces::SpacePtr;
using tavrin_inference::NdArray;
using tavrin_inference::Object;
using tavrin_inference::Value;

// The agent's full sensor space: a Dict of the simulator's sensors (the sim space's entries), then
// every orchestration sensor not yet present, in order. What perceptors derive is declared among the
// orchestration's sensors, so perceptors and agent-group processors add no entry of their own.
asio::awaitable<SpacePtr> get_tavrin_space_info(const SpacePtr& sim_sensor_space, const std::vector<SensorPtr>& sensors,
                                                const std::vector<PerceptorPtr>& perceptors,
                                                const std::vector<std::shared_ptr<Object>>& agent_groups);

// The Dict space restricted to `keys`, in the order of `keys`; keys it does not have are skipped.
SpacePtr filter_space(const SpacePtr& space, const std::vector<std::string>& keys);

// Raw simulator sensors -> a map of sensor name to value in the sensor's own space. Raw sensors are
// a map by name, or a flat list/array taken in the order of the sim space (or orchestration sensors).
// Each perceptor's `perceive` receives the converted map and its result is merged into it.
asio::awaitable<Value> convert_sim_sensors_to_tavrin_sensors(const Value& sensors, const SpacePtr& sim_sensor_space,
                                                             const std::vector<SensorPtr>& orchestration_sensors,
                                                             const std::vector<PerceptorPtr>& perceptors,
                                                             const std::vector<std::shared_ptr<Object>>& agent_groups);

// The same conversion without perceptors, written into `out`: the map and the arrays `out` already
// holds are reused when it holds the same sensors, in the same order, and nothing else holds their
// elements, so that converting one step after another allocates nothing. A Box sensor given as an
// array of the box's element type and shape is shared, not copied. On failure `out` is left with
// some sensors of this step and some of the last: convert again before using it.
void convert_sim_sensors_into(Value& out, const Value& sensors, const SpacePtr& sim_sensor_space,
                              const std::vector<SensorPtr>& orchestration_sensors);

// The map restricted to `keys`, in the order of `keys`; keys the sample does not have are skipped.
// None when `sample` is none.
Value filter_sample(const Value& sample, const std::vector<std::string>& keys);

// Element-wise AND of two equal-length int8 masks, an entry allowing only when it is positive (so a
// negative entry forbids, as it does everywhere masks are applied); InvalidArgumentError on
// different lengths.
NdArray combine_masks(const NdArray& a, const NdArray& b);

// A decoded action in [-1, 1] scaled to the bounds of every Box of `space` (recursively through
// Tuple and Dict; other kinds unchanged): low + (a + 1) * (high - low) / 2, clipped to the bounds.
Value unsquash_action(const Value& action, const spaces::Space& space);

// An array holding `value`: arrays unchanged; numbers as 0-d (int64, float64, bool as int8); nested
// lists of numbers (or of equal-shaped arrays) as arrays, int64 when all are integers, else float64.
NdArray make_np_array(const Value& value);
NdArray make_np_array(Value&& value);  // an array is moved out, not copied

// Mask over the orchestrator's children: all allowed when the previous action is none or no follow
// rule names the previous child; otherwise only the children the rule allows (int8, one per child).
Value compute_orchestrator_action_mask(const Value& previous_action, const AgentNode& agent);
// The same mask, absent when it allows every child (the common case, which then costs nothing).
std::optional<NdArray> orchestrator_rule_mask(const Value& previous_action, const AgentNode& agent);
// The child position a previous action names (an index, as a number or a one-element array, or a
// child's name); -1 when it names none. The rule mask depends on the previous action only through it.
std::int64_t previous_child_index(const Value& previous_action, const AgentNode& agent);

}  // namespace tavrin_core::space_utils
