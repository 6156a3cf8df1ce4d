#pragma once
// PolicyHost: the object through which an application runs a trained orchestration. It loads the
// orchestration, packages it into a tree of agent processors and hands every observation to the
// root processor; the processors do all the per-step work.
#include <memory>
#include <string>
#include <variant>

#include <asio/awaitable.hpp>

#include "common/value.hpp"
#include "core_api/network_mgr.hpp"
#include "core_api/orchestration.hpp"
#include "core_api/trainer_config.hpp"

namespace tavrin_inference {

class BaseAgentProcessor;

class PolicyHost {
 public:
  // `config`: a map keyed by text, or none for the default (one local target at the loopback host,
  // port 1337). `network_mgr`: a configured network manager, or null for a new AsyncLink.
  explicit PolicyHost(const Value& config = Value(), std::shared_ptr<tavrin_core::NetworkMgr> network_mgr = nullptr);

  // Loads (from a path) or takes an orchestration and initialises it when it is not yet.
  asio::awaitable<void> load_orchestration(std::shared_ptr<tavrin_core::Orchestration> orchestration);
  asio::awaitable<void> load_orchestration(const std::string& path);

  // Builds the processor tree for `agent` (the top agent by default) of `orchestration` (the loaded
  // one by default).
  using AgentRef = std::variant<std::monostate, std::string, std::shared_ptr<tavrin_core::AgentNode>>;
  asio::awaitable<void> package(std::shared_ptr<tavrin_core::Orchestration> orchestration = nullptr,
                                AgentRef agent = {});

  // One step: the root processor's action for `obs`, exactly as the processor produced it.
  asio::awaitable<Value> execute(const Value& obs, const Value& sim_action_mask = Value(),
                                 const Value& explore = Value(false), const Value& previous_action = Value());

  // Stops the remote workers through the network manager.
  asio::awaitable<void> close();

  // The host's state, readable by the application.
  tavrin_core::TrainerConfig config;
  std::shared_ptr<tavrin_core::NetworkMgr> network_mgr;
  std::shared_ptr<tavrin_core::Orchestration> orchestration;
  std::shared_ptr<BaseAgentProcessor> agent_processor;

  // The configuration map used when none is given.
  static Map default_config();
};

}  // namespace tavrin_inference
