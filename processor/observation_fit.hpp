#pragma once
// Whether the observation a processor feeds fits the observation input its model declares.
//
// A teacher whose filtered_sensor_space() names a sensor that does not exist ("CO2" for "co2") loses
// that sensor from the filtered space without a word, and every step then fails inside the model
// runner with a message that names neither the agent nor the sensor. This check names both: the
// processors run it once their model is open (a warning at packaging), `tavrin inspect` prints it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "processor/skillkit.hpp"

namespace tavrin_inference {

// The input the runner checks every observation against (the model's first input), as declared.
struct DeclaredObservationInput {
  std::string model_path;
  std::string name;
  std::vector<std::int64_t> dims;  // below 0: a symbolic or open dimension
};

// Null when the observation the initialised `processor` feeds, (1, N), is the declared shape. Else
// one line naming the agent, the model and its input, the sensors kept (in observation order, with
// their flat sizes) and every requested name that is not a sensor, with the closest sensor names.
std::optional<std::string> observation_misfit(const BaseAgentProcessor& processor,
                                              const DeclaredObservationInput& input);

}  // namespace tavrin_inference
