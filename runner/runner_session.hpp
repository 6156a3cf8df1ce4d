#pragma once
// One runner's runs of its (possibly shared) session: the inputs it stages, the output buffers it
// pre-binds once and hands out, and the binding made once for runs whose inputs stay the same.
#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include <onnxruntime_cxx_api.h>

#include "common/nd_array.hpp"
#include "runner/graph_runner.hpp"
#include "runner/shared_model.hpp"
#include "runner/tensors.hpp"

namespace tavrin_inference {

// What one runner owns for its runs; the loaded model itself may be shared with other runners.
struct GraphRunner::Session {
  std::shared_ptr<const SharedModel> model;
  Ort::MemoryInfo memory{Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)};
  Ort::RunOptions run_options;

  std::optional<NdArray> ones_mask;  // the default mask, when its declared shape is concrete
  TensorView observation_view, mask_view;
  StagedInput observation_stage, mask_stage;  // prepared when the declared shapes are concrete

  // Outputs whose declared type and shape are fully known are written by the run in place into
  // buffers of ours (no copy, no shape query); the rest are allocated by the run and copied. A
  // model whose real output shapes differ from the declared ones turns this off for good.
  std::vector<NdArray> output_buffers;  // one per output, written by every run and shared with what
                                        // the run hands out; empty arrays for the undeclared ones
  bool prebind = false;
  // Handed to every run, one per output: the tensor over the output's buffer while it is pre-bound,
  // else an empty slot that the run fills and the runner empties again.
  std::vector<Ort::Value> output_values;

  // With staged inputs and every output pre-bound, runs go through a binding made once: the run
  // then neither copies the names nor looks the values up again.
  Ort::IoBinding binding{nullptr};
  std::array<const OrtValue*, 2> bound_values{};
  std::array<const char*, 2> bound_names{};

  std::vector<NdArray> single_values;  // reused by the one-output accessors

  std::atomic<int> in_flight{0};
  std::atomic<int> max_in_flight{0};

  explicit Session(std::shared_ptr<const SharedModel> loaded);

  // Runs the session; `values` gets every output, or only output `only` when given (the others are
  // left empty and never copied). `stable_inputs`: every input is a staged tensor (or the default
  // mask's), the same objects from run to run, so that they may stay bound.
  void run(const char* const* input_names, Ort::Value* const* inputs, std::size_t input_count,
           std::vector<NdArray>& values, std::optional<std::size_t> only, bool stable_inputs);
  void run_bound(const char* const* input_names, Ort::Value* const* inputs, std::size_t input_count);
  bool prebound(std::size_t output) const { return prebind && model->outputs[output].dtype.has_value(); }
};

}  // namespace tavrin_inference
