#pragma once
// An agent's model as its processor finds and opens it: the places looked at, in order, the
// model-preparation helper run on the file found, and the runner opened on it.
#include <memory>
#include <string>
#include <vector>

#include "core_api/agent_processor_context.hpp"
#include "runner/graph_runner.hpp"

namespace tavrin_inference {

// Which processor opens the model; a selector looks in fewer places than a skill.
enum class ModelOwner { skill, selector };

// Where the agent's processor looks for its model, in the order it tries them (empty for an agent
// without checkpoint): <checkpoint>/<name>.onnx, <checkpoint>/<name>/<name>.onnx and, for a skill
// only, <checkpoint>/checkpoint/<name>.onnx. An empty checkpoint gives paths relative to the
// working folder.
std::vector<std::string> model_candidates(const tavrin_core::AgentNode& agent, ModelOwner owner);

struct AgentModel {
  std::unique_ptr<GraphRunner> runner;  // absent when there is no checkpoint or no model file
  std::string path;
};

// Opens the model of `context.agent` (not a controller): the first existing candidate (an unreadable
// location counts as not existing), after the helper in `helper_library` has made sure it takes an
// action mask (best effort: a missing or failing helper only warns). No checkpoint or no file only
// warns. A model that exists but cannot be opened is logged once, here, and its error raised again.
AgentModel open_agent_model(const tavrin_core::AgentProcessorContext& context, ModelOwner owner,
                            const std::string& helper_library);

}  // namespace tavrin_inference
