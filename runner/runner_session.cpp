#include "runner/runner_session.hpp"

#include <utility>

namespace tavrin_inference {

GraphRunner::Session::Session(std::shared_ptr<const SharedModel> loaded) : model(std::move(loaded)) {
  const SharedModel& m = *model;
  output_buffers.resize(m.outputs.size());
  output_values.reserve(m.outputs.size());
  for (std::size_t i = 0; i < m.outputs.size(); ++i) {
    if (m.outputs[i].dtype) output_buffers[i] = NdArray(*m.outputs[i].dtype, m.outputs[i].shape);
    output_values.emplace_back(nullptr);
  }
  prebind = m.any_output_declared;
  if (!m.input_names.empty() && is_concrete(m.observation_shape))
    observation_stage.prepare(DType::float32, m.observation_shape);
  if (m.mask_input && is_concrete(m.mask_shape)) {
    ones_mask = NdArray::ones(m.mask_shape, DType::float64);
    mask_stage.prepare(DType::float64, m.mask_shape);
  }
}

void GraphRunner::Session::run(const char* const* input_names, Ort::Value* const* inputs, std::size_t input_count,
                               std::vector<NdArray>& values, std::optional<std::size_t> only, bool stable_inputs) {
  const SharedModel& m = *model;
  const std::size_t count = output_values.size();
  values.resize(count);  // filled after the run
  for (std::size_t i = 0; i < count; ++i) {
    // Pre-bound outputs are written into the runner's buffer; the rest are allocated by the run. The
    // arrays a run hands out share the buffer; one still held when the next run comes keeps its
    // elements, and the run writes into a new buffer, bound anew.
    NdArray& buffer = output_buffers[i];
    if (!prebound(i)) {
      output_values[i] = Ort::Value{nullptr};  // left filled only by a run that failed after it
    } else if (!buffer.writable_in_place() || !output_values[i]) {
      if (!buffer.writable_in_place()) buffer = NdArray(*m.outputs[i].dtype, m.outputs[i].shape);
      output_values[i] = tensor_over(memory, buffer);
      binding = Ort::IoBinding{nullptr};
    }
  }
  try {
    if (stable_inputs && prebind && m.all_outputs_declared && input_count <= bound_values.size()) {
      run_bound(input_names, inputs, input_count);
    } else {
      // The inputs' tensors stay with the views and stages that keep them from run to run; they are
      // lent to the run side by side, as it takes them.
      LentValues lent(inputs, input_count);
      m.session.Run(run_options, input_names, lent.data(), input_count, m.output_name_ptrs.data(), output_values.data(),
                    count);
    }
  } catch (const Ort::Exception&) {
    if (!prebind) throw;
    // Possibly only a declared output shape the run does not keep to. Run once more with every
    // output allocated by the run: that run's outcome is the call's; when it succeeds,
    // pre-binding stays off for this runner.
    prebind = false;
    binding = Ort::IoBinding{nullptr};
    try {
      run(input_names, inputs, input_count, values, only, stable_inputs);
    } catch (...) {
      prebind = true;  // the run fails either way: not the pre-bound outputs' doing
      throw;
    }
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const bool wanted = !only || *only == i;
    if (prebound(i)) {
      if (wanted) values[i] = output_buffers[i];
      continue;
    }
    if (wanted) values[i] = to_nd_array(output_values[i], (*m.output_names)[i]);
    output_values[i] = Ort::Value{nullptr};  // released whether wanted or not
  }
}

void GraphRunner::Session::run_bound(const char* const* input_names, Ort::Value* const* inputs,
                                     std::size_t input_count) {
  const SharedModel& m = *model;
  if (!binding) {
    binding = Ort::IoBinding(m.session);
    for (std::size_t i = 0; i < output_values.size(); ++i) binding.BindOutput(m.output_name_ptrs[i], output_values[i]);
    bound_values.fill(nullptr);
    bound_names.fill(nullptr);
  }
  for (std::size_t k = 0; k < input_count; ++k) {
    const OrtValue* value = *inputs[k];  // the tensor itself: a view recreates it in its place
    if (bound_values[k] == value && bound_names[k] == input_names[k]) continue;
    binding.BindInput(input_names[k], *inputs[k]);
    bound_values[k] = value;
    bound_names[k] = input_names[k];
  }
  m.session.Run(run_options, binding);
}

}  // namespace tavrin_inference
