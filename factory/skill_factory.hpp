#pragma once
// The processor factory: chooses, constructs and initialises the processor of an agent.
#include <memory>
#include <optional>
#include <string>

#include <asio/awaitable.hpp>

#include "common/late_binding.hpp"
#include "core_api/agent_processor_context.hpp"

namespace tavrin_inference {

class BaseAgentProcessor;
using ProcessorPtr = std::shared_ptr<BaseAgentProcessor>;

// Builds the initialised processor of `context.agent` (for a selector, its whole subtree):
// a SelectorRuntime for an AgentOrchestrator (controller or not), a SkillRuntime for a plain Agent
// and for a controller of any other kind. NotImplementedError for an AgentCoordinatedSet or
// AgentCoordinatedPopulation, InvalidArgumentError for an agent of no known kind; both are raised
// before any processor exists, as is the RuntimeError of a processor library that cannot be bound.
// A processor that cannot be constructed or initialised is dropped and the call fails with
// RuntimeError "Failed to create ONNX agent processor for <name>: <cause>", which carries the caught
// error as its nested exception (std::rethrow_if_nested reaches it with its own kind and message).
// The two processor libraries are bound at the start of every call, never at load time.
asio::awaitable<ProcessorPtr> create_skill_runtime(tavrin_core::AgentProcessorContext context);

// The processor class create_skill_runtime makes for `agent`: "SelectorRuntime" for an
// AgentOrchestrator, "SkillRuntime" for a plain Agent and for a controller of any other kind, none
// for a kind it refuses. Kinds are told apart by type, so subclasses of a kind count as that kind.
std::optional<std::string> processor_class_for(const tavrin_core::AgentNode& agent);

using CreateSkillRuntimeFn = asio::awaitable<ProcessorPtr>(tavrin_core::AgentProcessorContext);

// The factory's entry point as the libraries that refer back to it bind it at run time.
inline constexpr LateBoundEntry<CreateSkillRuntimeFn> kCreateSkillRuntime{"skill_factory",
                                                                          "tavrin_create_skill_runtime"};
inline constexpr const char* kSkillFactoryLibrary = kCreateSkillRuntime.library;
inline constexpr const char* kCreateSkillRuntimeSymbol = kCreateSkillRuntime.symbol;
inline CreateSkillRuntimeFn* bind_create_skill_runtime() { return kCreateSkillRuntime.bind(); }

}  // namespace tavrin_inference

// The factory's exported entry point (what bind_create_skill_runtime() finds).
extern "C" asio::awaitable<tavrin_inference::ProcessorPtr> tavrin_create_skill_runtime(
    tavrin_core::AgentProcessorContext context);
