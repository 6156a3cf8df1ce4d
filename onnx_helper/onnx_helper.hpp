#pragma once
// Model preparation before an agent's model is opened. The skill and selector processors look this
// library up ("onnx_helper", see onnx_helper_binding.hpp) each time they load a model and call it best
// effort: a missing library or a failing check is reported as a warning and loading goes on.
//
// The check reads the model file's graph inputs without creating a session and never writes the
// file: a model without an action-mask input is reported at debug level (the runner then runs it on
// the observation alone), a mask input whose declared size differs from the agent's action mask is
// an error, since every step would fail with it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"
#include "onnx_helper/onnx_helper_binding.hpp"

namespace tavrin_inference {

// The graph inputs of the ONNX model file at `path`, in model order (initialisers that the file also
// lists as inputs included). Reads only the bytes it needs, skipping weights by seeking.
// FileNotFoundError when nothing readable is at the path, InvalidArgumentError naming the path
// when the file is not a well-formed model.
std::vector<OnnxInputDecl> read_onnx_model_inputs(const std::string& path);

// Checks that the model at `path` suits the agent's action mask; see the header comment. `action_space`
// and `agent` may be null (no size check, no agent name in messages).
void ensure_onnx_model_has_action_mask(const std::string& path, const tavrin_core::spaces::SpacePtr& action_space,
                                       const std::shared_ptr<tavrin_core::AgentNode>& agent);

}  // namespace tavrin_inference

extern "C" void tavrin_read_onnx_model_inputs(const std::string& path,
                                              std::vector<tavrin_inference::OnnxInputDecl>& inputs);
extern "C" void tavrin_ensure_onnx_model_has_action_mask(const std::string& path,
                                                         const tavrin_core::spaces::SpacePtr& action_space,
                                                         const std::shared_ptr<tavrin_core::AgentNode>& agent);
