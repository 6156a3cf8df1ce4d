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

// The entries of one observation in a batch-of-one model output, as the processors read their
// logits: the first entry along the first axis (a (1, N) output gives (N)); an output of one
// dimension or none as it is. Copied into `row`, whose elements are reused when it already has that
// element type and shape and nothing else holds them, so that the row can be written in place.
void first_row_into(const NdArray& outputs, NdArray& row);

}  // namespace tavrin_inference
