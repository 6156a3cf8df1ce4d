#pragma once
// The inputs of an agent's model for one step, taken from the step's processed sensors (the
// "observation" and "action_mask" entries of process_sim_sensors' map).
#include <optional>

#include "common/nd_array.hpp"
#include "common/value.hpp"

namespace tavrin_inference {

class ModelInputs {
 public:
  // The observation as float32, shape kept (a map observation gives its values in the map's
  // order); the mask as float64, or none when the step has none. Arrays already in these forms are
  // used in place, anything else is converted into storage of this object.
  explicit ModelInputs(const Map& sensors_filtered);
  // Points into itself or into the map it was made from.
  ModelInputs(const ModelInputs&) = delete;
  ModelInputs& operator=(const ModelInputs&) = delete;

  const NdArray& observation() const { return *observation_; }
  const NdArray* mask() const { return mask_; }

 private:
  NdArray observation_storage_;
  std::optional<NdArray> mask_storage_;
  const NdArray* observation_ = nullptr;
  const NdArray* mask_ = nullptr;
};

}  // namespace tavrin_inference
