#pragma once
// How the skill and selector processors reach the model-preparation helper: by name, at model
// loading, never by linking. A missing library is then just a failing preparation step.
#include <memory>
#include <string>

#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"

namespace tavrin_inference {

inline constexpr const char* kOnnxHelperLibrary = "onnx_helper";
inline constexpr const char* kEnsureActionMaskSymbol = "tavrin_ensure_onnx_model_has_action_mask";

// The exported entry point, as the processors bind it.
using EnsureOnnxModelHasActionMaskFn = void(const std::string& path, const tavrin_core::spaces::SpacePtr& action_space,
                                            const std::shared_ptr<tavrin_core::AgentNode>& agent);

}  // namespace tavrin_inference
