#pragma once
// The processor factory: chooses, constructs and initialises the processor of an agent.
#include <memory>

#include <asio/awaitable.hpp>

#include "common/late_binding.hpp"
#include "core_api/agent_processor_context.hpp"

namespace tavrin_inference {

class BaseAgentProcessor;
using ProcessorPtr = std::shared_ptr<BaseAgentProcessor>;

// Builds the initialised processor of `context.agent` (for a selector, its whole subtree).
asio::awaitable<ProcessorPtr> create_skill_runtime(tavrin_core::AgentProcessorContext context);

using CreateSkillRuntimeFn = asio::awaitable<ProcessorPtr>(tavrin_core::AgentProcessorContext);

// The factory's entry point as the libraries that refer back to it bind it at run time.
inline constexpr const char* kSkillFactoryLibrary = "skill_factory";
inline constexpr const char* kCreateSkillRuntimeSymbol = "tavrin_create_skill_runtime";

inline CreateSkillRuntimeFn* bind_create_skill_runtime() {
  return reinterpret_cast<CreateSkillRuntimeFn*>(bind_symbol(kSkillFactoryLibrary, kCreateSkillRuntimeSymbol));
}

}  // namespace tavrin_inference
