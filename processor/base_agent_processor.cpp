// Construction, initialisation and accessors of BaseAgentProcessor.
#include <string>
#include <string_view>
#include <utility>

#include "common/errors.hpp"
#include "core_api/logger.hpp"
#include "core_api/network_mgr.hpp"
#include "core_api/plugin_util.hpp"
#include "core_api/space_utils.hpp"
#include "processor/skillkit.hpp"

namespace tavrin_inference {
namespace {

const tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.skillkit");

constexpr const char* kNoActionSpace =
    "Unable to make a DRL AgentProcessor without an action space. Please check to ensure the training "
    "order of the orchestration allows for this agent to be used at this point in time.";

// A version lookup that fails for any reason sends "latest" instead.
asio::awaitable<std::string> version_or_latest(std::string impl_cls_or_url) {
  try {
    co_return co_await tavrin_core::plugin_util::get_tavrin_version(std::move(impl_cls_or_url));
  } catch (const Error&) {
  }
  co_return std::string("latest");
}

// The proxy out of a "create_with_client" reply, which must be the pair (client id, proxy).
Value proxy_of(Value reply, std::string_view manager, const std::string& owner) {
  if (!reply.is_list() || reply.as_list().items.size() != 2) {
    throw InvalidArgumentError("create_with_client of the remote " + std::string(manager) + " manager for " + owner +
                               " must answer a pair (client id, proxy), got " + reply.str());
  }
  return std::move(reply.as_list().items[1]);
}

template <class T>
std::shared_ptr<T> proxy_as(const Value& proxy, std::string_view expected, const std::string& owner) {
  auto typed = proxy.as<T>();
  if (!typed) {
    throw TypeError("remote proxy for " + owner + " must be an " + std::string(expected) + ", got " +
                    proxy.kind_name());
  }
  return typed;
}

std::string agent_label(const tavrin_core::AgentNode& agent) { return "agent '" + agent.get_name() + "'"; }

// The names a teacher's filtered_sensor_space() gave, as texts.
std::vector<std::string> sensor_names(const Value& keys) {
  std::vector<std::string> names;
  if (keys.is_list()) {
    const auto& items = keys.as_list().items;
    names.reserve(items.size());
    for (const auto& item : items) names.push_back(item.text_form());
  } else if (keys.is_map()) {
    names.reserve(keys.size());
    for (const auto& [key, value] : keys.as_map()) names.push_back(key);
  } else if (keys.is_array()) {
    const NdArray& a = keys.as_array();
    const bool integral = a.dtype() == DType::int64 || a.dtype() == DType::int8;
    names.reserve(static_cast<std::size_t>(a.size()));
    for (std::int64_t i = 0; i < a.size(); ++i) {
      const double v = a.at_double(i);
      names.push_back(integral ? Value(static_cast<std::int64_t>(v)).text_form() : Value(v).text_form());
    }
  } else if (keys.is_text()) {
    names.push_back(keys.as_text());  // one sensor name
  } else {
    throw TypeError(std::string("filtered_sensor_space() must yield a sequence of sensor names, got ") +
                    keys.kind_name());
  }
  return names;
}

bool present_and_non_empty(const Value& keys) {
  if (keys.is_none()) return false;
  if (keys.is_list() || keys.is_map() || keys.is_array() || keys.is_text()) return keys.size() > 0;
  return keys.truthy();
}

}  // namespace

BaseAgentProcessor::BaseAgentProcessor(tavrin_core::AgentProcessorContext ctx) : context(std::move(ctx)) {
  if (!context.agent) throw InvalidArgumentError("AgentProcessorContext has no agent");
  sim_sensor_space = context.agent->get_sim_sensor_space();
  action_space = context.agent->get_action_space();
  if (!action_space) throw Error(kNoActionSpace);
  action_mask_space = action_space->get_action_mask_space();
  no_action_mask = action_space->get_no_action_mask();
}

BaseAgentProcessor::~BaseAgentProcessor() = default;

void BaseAgentProcessor::install_local_implementation() {
  const auto& agent = *context.agent;
  tavrin_core::ImplementationPtr impl = agent.get_impl_cls_instance();
  if (agent.is_controller()) {
    auto typed = std::dynamic_pointer_cast<tavrin_core::AgentController>(impl);
    if (impl && !typed) {
      throw TypeError("implementation class '" + agent.get_impl_cls() + "' of controller " + agent_label(agent) +
                      " is not an AgentController");
    }
    controller = std::move(typed);
  } else {
    auto typed = std::dynamic_pointer_cast<tavrin_core::AgentTeacher>(impl);
    if (impl && !typed) {
      throw TypeError("implementation class '" + agent.get_impl_cls() + "' of " + agent_label(agent) +
                      " is not an AgentTeacher");
    }
    teacher = std::move(typed);
  }
}

void BaseAgentProcessor::resolve_normalized_sensors() {
  normalized_sensors_.clear();
  normalizes_any_ = false;
  if (context.orchestration) {
    for (const auto& sensor : context.orchestration->sensors()) {
      for (const auto& key : filter_keys) {
        if (key == sensor->name()) {
          normalized_sensors_.push_back(sensor);
          if (sensor->normalization() != tavrin_core::Normalization::none) normalizes_any_ = true;
          break;
        }
      }
    }
  }
  normalized_sensors_resolved_ = true;
}

asio::awaitable<void> BaseAgentProcessor::init() {
  const auto& agent = *context.agent;
  if (!context.orchestration) throw InvalidArgumentError("AgentProcessorContext has no orchestration");
  const auto& orchestration = *context.orchestration;

  // Teacher or controller, in this process or created by the remote manager.
  if (agent.is_remote()) {
    if (!context.network_mgr) throw InvalidArgumentError("no network manager for remote " + agent_label(agent));
    std::string version = co_await version_or_latest(agent.get_impl_cls());
    std::string url = tavrin_core::network_util::get_tavrin_url(agent.get_impl_cls());
    tavrin_core::CallArgs args{{}, Map{{"env_init", Value(std::move(url))}, {"version", Value(std::move(version))}}};
    if (agent.is_controller()) {
      Value reply = co_await tavrin_core::await_result(
          context.network_mgr->call_remote_controller_mgr("create_with_client", std::move(args)));
      controller = proxy_as<tavrin_core::AgentController>(proxy_of(std::move(reply), "controller", agent_label(agent)),
                                                          "AgentController", agent_label(agent));
    } else {
      Value reply = co_await tavrin_core::await_result(
          context.network_mgr->call_remote_agent_mgr("create_with_client", std::move(args)));
      teacher = proxy_as<tavrin_core::AgentTeacher>(proxy_of(std::move(reply), "agent", agent_label(agent)),
                                                    "AgentTeacher", agent_label(agent));
    }
  } else {
    install_local_implementation();
  }

  // Perceptors, one after the other, in orchestration order.
  if (const auto& nodes = orchestration.perceptors()) {
    for (const auto& node : *nodes) {
      const std::string owner = "perceptor '" + node->get_name() + "'";
      if (node->is_remote()) {
        if (!context.network_mgr) throw InvalidArgumentError("no network manager for remote " + owner);
        std::string url = tavrin_core::network_util::get_tavrin_url(node->get_impl_cls());
        std::string version = co_await version_or_latest(url);
        tavrin_core::CallArgs args{{},
                                   Map{{"env_init", Value(std::move(url))}, {"version", Value(std::move(version))}}};
        Value reply = co_await tavrin_core::await_result(
            context.network_mgr->call_remote_perceptor_mgr("create_with_client", std::move(args)));
        perceptors.push_back(
            proxy_as<tavrin_core::Perceptor>(proxy_of(std::move(reply), "perceptor", owner), "Perceptor", owner));
      } else {
        auto instance = node->get_impl_cls_instance();
        if (!instance) {
          throw InvalidArgumentError("implementation class '" + node->get_impl_cls() + "' of " + owner +
                                     " made no instance");
        }
        perceptors.push_back(std::move(instance));
      }
    }
  }

  // Agent groups: this runtime builds none, whatever context.for_agent_group says.
  agent_group_agent_processors = {};
  post_agent_group_agent_processor = nullptr;

  // The agent's full sensor space.
  korvath_sensor_space = co_await tavrin_core::space_utils::get_tavrin_space_info(
      sim_sensor_space, orchestration.sensors(), perceptors, agent_group_agent_processors);

  // The sensors the teacher (or controller) keeps.
  tavrin_core::ImplementationPtr impl =
      teacher ? tavrin_core::ImplementationPtr(teacher) : tavrin_core::ImplementationPtr(controller);
  if (impl) {
    Value keys;
    try {
      keys = co_await impl->filtered_sensor_space();
    } catch (const Error& error) {
      logger.warning("filtered_sensor_space() failed ({}) — falling back to the full sensor space.", error.what());
      keys = Value();
    }
    if (present_and_non_empty(keys)) filter_keys = sensor_names(keys);
  }

  // Without a choice of its own the agent keeps every orchestration sensor.
  if (filter_keys.empty()) {
    filter_keys.reserve(orchestration.sensors().size());
    for (const auto& sensor : orchestration.sensors()) filter_keys.push_back(sensor->name());
  }

  // The filtered space and the model's observation space.
  filtered_korvath_sensor_space = tavrin_core::space_utils::filter_space(korvath_sensor_space, filter_keys);
  observation_space = std::make_shared<tavrin_core::spaces::Dict>(tavrin_core::spaces::SpaceEntries{
      {"observation", filtered_korvath_sensor_space->flatten()}, {"action_mask", action_mask_space->flatten()}});
  resolve_normalized_sensors();

  // Ready for its steps.
  _is_initialized = true;
  done = false;
}

std::string BaseAgentProcessor::get_name() const {
  if (context.name) return *context.name;
  return context.agent->get_name();
}

std::string BaseAgentProcessor::get_agent_name() const { return context.agent->get_name(); }

BaseAgentProcessor::SpacePtr BaseAgentProcessor::get_action_space() const { return context.agent->get_action_space(); }

}  // namespace tavrin_inference
