#pragma once
// One loaded model: its ONNX Runtime session and what the runners need to know of its inputs and
// outputs, read once. Runners that open the same model file with the same options share one
// (ONNX Runtime's Run may be called from several threads at once on one session); everything a run
// writes stays in each runner.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

#include "runner/graph_runner.hpp"
#include "runner/runner_options.hpp"

namespace tavrin_inference {

struct SharedModel {
  // Run is the only call made on it after loading; the declaration below never changes.
  mutable Ort::Session session{nullptr};

  std::vector<std::string> input_names;
  InferenceOutputs::Names output_names;
  std::vector<const char*> output_name_ptrs;  // into *output_names, handed to every run

  // The input rules, resolved once.
  std::size_t observation_input = 0;
  Shape observation_shape;
  std::optional<std::size_t> mask_input;
  Shape mask_shape;

  // Declared element type and shape of every output; the type is set when both are fully known and
  // the type is one NdArray holds, so that runners may pre-bind buffers for it.
  struct OutputDecl {
    std::optional<DType> dtype;
    Shape shape;
  };
  std::vector<OutputDecl> outputs;
  bool any_output_declared = false;
  bool all_outputs_declared = false;

  std::size_t dist_output = 0;  // "action_dist_inputs", else the last output
  std::optional<std::size_t> vf_output;
};

// The input rules of every runner: the observation goes to the first input whose lower-case name
// contains "observation", else to the first; the action mask to the first whose lower-case name
// contains "action_mask", when one does.
std::size_t observation_input_of(const std::vector<std::string>& input_names);
std::optional<std::size_t> mask_input_of(const std::vector<std::string>& input_names);

// The loaded model for `path` opened with `providers` and `options`: the one already loaded when a
// runner holds it and the file is still the same one on disk, else a newly loaded one (failures of
// ONNX Runtime as Ort::Exception, nothing kept). Loads of one model wait for each other; loads of
// different models do not.
std::shared_ptr<const SharedModel> open_shared_model(const std::string& path, const std::vector<std::string>& providers,
                                                     const GraphRunnerOptions& options);

}  // namespace tavrin_inference
