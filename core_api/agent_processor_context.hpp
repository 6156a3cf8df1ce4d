#pragma once
// What an agent processor is given: its agent, the orchestration and the network manager.
#include <memory>
#include <optional>
#include <string>

#include "core_api/orchestration.hpp"

namespace tavrin_core {

class NetworkMgr;

struct AgentProcessorContext {
  std::shared_ptr<Orchestration> orchestration;
  std::shared_ptr<AgentNode> agent;
  std::shared_ptr<NetworkMgr> network_mgr;
  bool is_training = false;
  bool is_validating = false;
  bool for_agent_group = false;
  std::optional<std::string> name;
};

}  // namespace tavrin_core
