#pragma once
// How the skill and selector processors reach the model-preparation helper: by name, at model
// loading, never by linking. A missing library is then just a failing preparation step.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"

namespace tavrin_inference {

inline constexpr const char* kOnnxHelperLibrary = "onnx_helper";
inline constexpr const char* kEnsureActionMaskSymbol = "tavrin_ensure_onnx_model_has_action_mask";
inline constexpr const char* kReadModelInputsSymbol = "tavrin_read_onnx_model_inputs";

// A graph input as the model file declares it.
struct OnnxInputDecl {
  std::string name;
  bool has_shape = false;                         // false: rank unknown (no shape, or not a tensor)
  std::vector<std::optional<std::int64_t>> dims;  // nullopt: a symbolic or open dimension
};

// The exported entry point, as the processors bind it.
using EnsureOnnxModelHasActionMaskFn = void(const std::string& path, const tavrin_core::spaces::SpacePtr& action_space,
                                            const std::shared_ptr<tavrin_core::AgentNode>& agent);
// read_onnx_model_inputs (onnx_helper.hpp), as the processor core binds it to compare a loaded model's
// declared observation input with what it feeds.
using ReadOnnxModelInputsFn = void(const std::string& path, std::vector<OnnxInputDecl>& inputs);

}  // namespace tavrin_inference
