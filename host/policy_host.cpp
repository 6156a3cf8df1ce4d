#include "host/policy_host.hpp"

#include "common/errors.hpp"
#include "core_api/agent_processor_context.hpp"
#include "core_api/logger.hpp"
#include "factory/skill_factory.hpp"
#include "link/async_link.hpp"
#include "processor/skillkit.hpp"
#include "runner/runner_options.hpp"

namespace tavrin_inference {
namespace {

const tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.policy_host");

Map config_map(const Value& config) {
  if (config.is_none()) return PolicyHost::default_config();
  if (!config.is_map())
    throw TypeError(std::string("config must be a map keyed by string or None, got ") + config.kind_name());
  return config.as_map();
}

}  // namespace

Map PolicyHost::default_config() {
  return Map{{"target", Value(Map{{"local", Value(Map{{"address", Value("127.0.0.1:1337")}})}})}};
}

PolicyHost::PolicyHost(const Value& config_value, std::shared_ptr<tavrin_core::NetworkMgr> manager)
    : config(config_map(config_value)) {
  GraphRunnerOptions::from_config(config);  // the model runners' settings, refused here when wrong
  network_mgr = manager ? std::move(manager) : std::make_shared<AsyncLink>(config);
}

asio::awaitable<void> PolicyHost::load_orchestration(std::shared_ptr<tavrin_core::Orchestration> loaded) {
  orchestration = std::move(loaded);
  if (!orchestration) throw InvalidArgumentError("load_orchestration() needs an orchestration or a path");
  if (!orchestration->is_initialized()) co_await orchestration->init();
  logger.info("Loaded orchestration: {}", orchestration->id());
}

asio::awaitable<void> PolicyHost::load_orchestration(const std::string& path) {
  co_await load_orchestration(tavrin_core::Orchestration::load(path));
}

asio::awaitable<void> PolicyHost::package(std::shared_ptr<tavrin_core::Orchestration> given, AgentRef agent) {
  auto chosen = given ? std::move(given) : orchestration;
  if (!chosen) throw InvalidArgumentError("No orchestration provided and no orchestration loaded");
  if (!chosen->is_initialized()) co_await chosen->init();

  std::shared_ptr<tavrin_core::AgentNode> node;
  if (std::holds_alternative<std::monostate>(agent)) {
    node = chosen->get_top_agent();
  } else if (auto* name = std::get_if<std::string>(&agent)) {
    node = chosen->get_node_by_name(*name);
  } else {
    node = std::get<std::shared_ptr<tavrin_core::AgentNode>>(agent);
  }

  tavrin_core::AgentProcessorContext context;
  context.orchestration = chosen;
  context.agent = node;
  context.network_mgr = network_mgr;
  context.is_training = false;
  context.is_validating = false;
  context.for_agent_group = false;
  context.config = std::make_shared<const tavrin_core::TrainerConfig>(config);

  CreateSkillRuntimeFn* create = bind_create_skill_runtime();
  auto processor = co_await create(std::move(context));
  // Last, so that what the first step reaches is what packaging touched most recently.
  processor->prepare_steps();
  agent_processor = std::move(processor);
  logger.info("Packaged orchestration for inference with agent: {} (processor type: {})", node->get_name(),
              agent_processor->type_name());
}

namespace {

asio::awaitable<Value> no_agent_processor() {
  throw RuntimeError("No agent processor available. Call package() first.");
  co_return Value();
}

}  // namespace

// Not a coroutine of its own: the root processor's step is handed to the caller to await, so a step
// costs no frame here. The failure without a processor still surfaces when the result is awaited.
asio::awaitable<Value> PolicyHost::execute(const Value& obs, const Value& sim_action_mask, const Value& explore,
                                           const Value& previous_action) {
  if (!agent_processor) return no_agent_processor();
  return agent_processor->_execute(obs, sim_action_mask, explore.truthy(), false, previous_action);
}

asio::awaitable<void> PolicyHost::close() {
  if (network_mgr) {
    tavrin_core::CallResult stopped = network_mgr->stop_all();
    if (stopped.is_awaitable()) co_await stopped.take_awaitable();
    network_mgr->stop_watchdogs();
  }
  logger.info("Inference engine closed");
}

}  // namespace tavrin_inference
