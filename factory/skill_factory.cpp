#include "factory/skill_factory.hpp"

#include <exception>
#include <string>
#include <utility>

#include "common/errors.hpp"
#include "core_api/logger.hpp"
#include "core_api/orchestration.hpp"
#include "processor/skillkit.hpp"
#include "selector/selector_runtime.hpp"
#include "skill/skill_runtime.hpp"

namespace tavrin_inference {
namespace {

const tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.skill_factory");

template <class Kind>
bool is_kind(const tavrin_core::AgentNode& agent) {
  return dynamic_cast<const Kind*>(&agent) != nullptr;
}

}  // namespace

std::optional<std::string> processor_class_for(const tavrin_core::AgentNode& agent) {
  if (is_kind<tavrin_core::AgentOrchestrator>(agent)) return std::string("SelectorRuntime");
  if (agent.is_controller() || is_kind<tavrin_core::Agent>(agent)) return std::string("SkillRuntime");
  return std::nullopt;
}

asio::awaitable<ProcessorPtr> create_skill_runtime(tavrin_core::AgentProcessorContext context) {
  // Bound inside every call: the selector library refers back to this one.
  MakeSelectorRuntimeFn* make_selector_runtime = bind_make_selector_runtime();
  MakeSkillRuntimeFn* make_skill_runtime = bind_make_skill_runtime();

  if (!context.agent) throw InvalidArgumentError("AgentProcessorContext has no agent");
  const tavrin_core::AgentNode& agent = *context.agent;
  const std::string name = agent.get_name();

  MakeSkillRuntimeFn* make = nullptr;
  if (agent.is_controller()) {
    if (is_kind<tavrin_core::AgentOrchestrator>(agent)) {
      logger.info("Creating SelectorRuntime for orchestrator controller: {}", name);
      make = make_selector_runtime;
    } else {
      logger.info("Creating SkillRuntime for controller: {}", name);
      make = make_skill_runtime;
    }
  } else if (is_kind<tavrin_core::AgentOrchestrator>(agent)) {
    logger.info("Creating SelectorRuntime for orchestrator: {}", name);
    make = make_selector_runtime;
  } else if (is_kind<tavrin_core::AgentCoordinatedSet>(agent)) {
    throw NotImplementedError("ONNX inference for AgentCoordinatedSet is not yet implemented. Agent: " + name);
  } else if (is_kind<tavrin_core::AgentCoordinatedPopulation>(agent)) {
    throw NotImplementedError("ONNX inference for AgentCoordinatedPopulation is not yet implemented. Agent: " + name);
  } else if (is_kind<tavrin_core::Agent>(agent)) {
    logger.info("Creating SkillRuntime for agent: {}", name);
    make = make_skill_runtime;
  } else {
    throw InvalidArgumentError("Unsupported agent type for ONNX inference: " + agent.class_name() + ". Agent: " + name);
  }

  ProcessorPtr processor;
  try {
    processor = make(context);
    co_await processor->init();
    logger.info("Successfully created and initialized agent processor for: {}", name);
  } catch (const std::exception& error) {
    // The half-built processor goes with this frame; the caller gets the cause nested in the error.
    processor.reset();
    logger.error("Failed to create agent processor for {}: {}", name, error.what());
    std::throw_with_nested(RuntimeError("Failed to create ONNX agent processor for " + name + ": " + error.what()));
  }
  co_return processor;
}

}  // namespace tavrin_inference

asio::awaitable<tavrin_inference::ProcessorPtr> tavrin_create_skill_runtime(
    tavrin_core::AgentProcessorContext context) {
  return tavrin_inference::create_skill_runtime(std::move(context));
}
