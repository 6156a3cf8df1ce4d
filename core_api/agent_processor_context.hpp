#pragma once
// What an agent processor is given: its agent, the orchestration, the network manager and the
// run configuration of the host that packages it.
#include <memory>
#include <optional>
#include <string>

#include "core_api/orchestration.hpp"
#include "core_api/trainer_config.hpp"

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
  // The host's configuration (its model runners' settings); none: the defaults.
  std::shared_ptr<const TrainerConfig> config;
};

}  // namespace tavrin_core
