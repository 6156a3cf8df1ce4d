#include "processor/model_inputs.hpp"

#include <utility>
#include <vector>

#include "core_api/space_utils.hpp"
#include "processor/skillkit.hpp"

namespace tavrin_inference {
namespace {

const NdArray& observation_as_float32(const Value& observation, NdArray& storage) {
  if (observation.is_array()) {
    const NdArray& array = observation.as_array();
    if (array.dtype() == DType::float32) return array;
    storage = array.astype(DType::float32);
    return storage;
  }
  if (observation.is_map()) {
    std::vector<Value> values;
    values.reserve(observation.as_map().size());
    for (const auto& entry : observation.as_map()) values.push_back(entry.second);
    storage = tavrin_core::space_utils::make_np_array(Value::list(std::move(values))).astype(DType::float32);
    return storage;
  }
  storage = tavrin_core::space_utils::make_np_array(observation).astype(DType::float32);
  return storage;
}

const NdArray* model_mask(const Map& sensors_filtered, std::optional<NdArray>& storage) {
  const Value* mask = sensors_filtered.find("action_mask");
  if (mask == nullptr || mask->is_none()) return nullptr;
  if (mask->is_array() && mask->as_array().dtype() == DType::float64) return &mask->as_array();
  storage = BaseAgentProcessor::_format_action_mask_for_onnx(*mask);
  return storage ? &*storage : nullptr;
}

}  // namespace

void first_row_into(const NdArray& outputs, NdArray& row) {
  if (outputs.ndim() > 1 && outputs.shape()[0] != 1) {
    row = outputs.row(0);
    return;
  }
  const Shape row_shape = outputs.ndim() <= 1 ? outputs.shape() : outputs.shape().drop_front();
  if (!(row.dtype() == outputs.dtype() && row.shape() == row_shape && row.writable_in_place())) {
    row = NdArray::uninitialized(outputs.dtype(), row_shape);
  }
  row.assign(outputs);
}

ModelInputs::ModelInputs(const Map& sensors_filtered)
    : observation_(&observation_as_float32(sensors_filtered.at("observation"), observation_storage_)),
      mask_(model_mask(sensors_filtered, mask_storage_)) {}

}  // namespace tavrin_inference
