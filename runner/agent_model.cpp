#include "runner/agent_model.hpp"

#include <exception>
#include <filesystem>
#include <optional>
#include <system_error>

#include "common/late_binding.hpp"
#include "core_api/logger.hpp"
#include "onnx_helper/onnx_helper_binding.hpp"
#include "runner/runner_options.hpp"

namespace tavrin_inference {
namespace {

// Each owner logs under its own module, as it did when it opened its model itself.
const tavrin_core::Logger& skill_logger = tavrin_core::get_logger("tavrin_inference.skill_runtime");
const tavrin_core::Logger& selector_logger = tavrin_core::get_logger("tavrin_inference.selector_runtime");

std::string error_text(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

// Runs the helper that adds an action-mask input where the model lacks one.
void ensure_action_mask(const std::string& path, const tavrin_core::AgentProcessorContext& context,
                        const std::string& helper_library) {
  auto* ensure = bind_function<EnsureOnnxModelHasActionMaskFn>(helper_library, kEnsureActionMaskSymbol);
  tavrin_core::spaces::SpacePtr space;
  try {
    space = context.agent->get_action_space();
  } catch (...) {
    space = nullptr;
  }
  ensure(path, space, context.agent);
}

}  // namespace

std::vector<std::string> model_candidates(const tavrin_core::AgentNode& agent, ModelOwner owner) {
  namespace fs = std::filesystem;
  const std::optional<std::string>& checkpoint = agent.get_checkpoint_uri();
  if (!checkpoint) return {};
  const fs::path base(*checkpoint);
  const std::string& name = agent.get_name();
  const std::string file = name + ".onnx";
  std::vector<std::string> candidates{(base / file).string(), (base / name / file).string()};
  if (owner == ModelOwner::skill) candidates.push_back((base / "checkpoint" / file).string());
  return candidates;
}

AgentModel open_agent_model(const tavrin_core::AgentProcessorContext& context, ModelOwner owner,
                            const std::string& helper_library) {
  const bool skill = owner == ModelOwner::skill;
  const tavrin_core::Logger& logger = skill ? skill_logger : selector_logger;
  const char* kind = skill ? "agent" : "orchestrator agent";
  const std::string& name = context.agent->get_name();

  const std::vector<std::string> candidates = model_candidates(*context.agent, owner);
  if (candidates.empty()) {
    logger.warning("No checkpoint URI found for agent {}, cannot load ONNX model", name);
    return {};
  }
  AgentModel model;
  for (const auto& candidate : candidates) {
    std::error_code ec;
    if (std::filesystem::exists(candidate, ec)) {
      model.path = candidate;
      break;
    }
  }
  if (model.path.empty()) {
    logger.warning("ONNX model not found at {} for agent {}", candidates.back(), name);
    return {};
  }

  try {
    ensure_action_mask(model.path, context, helper_library);
  } catch (...) {
    logger.warning("Failed to ensure action_mask in ONNX model for {} {}: {}", skill ? "agent" : "orchestrator", name,
                   error_text(std::current_exception()));
  }

  try {
    model.runner =
        std::make_unique<GraphRunner>(model.path, std::nullopt, GraphRunnerOptions::from_config(context.config.get()));
  } catch (...) {
    logger.error("Failed to load ONNX model for {} {}: {}", kind, name, error_text(std::current_exception()));
    throw;
  }
  logger.info("Loaded ONNX model for {} {} from {}", kind, name, model.path);
  return model;
}

}  // namespace tavrin_inference
