#pragma once
// Teachers, controllers and perceptors: the programmed parts of an orchestration. Every hook is
// awaitable, so an implementation may run in this process or behind a proxy in a remote worker.
// Implementations are found by class name through a registry; shared libraries named by an
// orchestration (or loaded by an application) register more of them.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "common/value.hpp"

namespace tavrin_core {

using tavrin_inference::Map;
using tavrin_inference::Object;
using tavrin_inference::Value;

// What teachers and controllers share.
class Implementation : public Object {
 public:
  // Names of the sensors the agent keeps; none or empty: every orchestration sensor.
  virtual asio::awaitable<Value> filtered_sensor_space();
  virtual asio::awaitable<void> reset();
  std::string type_name() const override { return class_name(); }
  virtual std::string class_name() const = 0;
};

// Shapes what one agent sees and does. The defaults change nothing.
// Hooks read the sensors through a reference that stays valid until the hook's awaitable completes
// (the runtime awaits every hook at once): no copy of the sample per call. A hook that keeps them
// longer copies them. Values a hook hands back (the action, the transformed sensors) are taken by
// value.
class AgentTeacher : public Implementation {
 public:
  // The converted sensor sample, transformed; `extra` is always none here.
  virtual asio::awaitable<Value> transform_sensors(Value sensors, Value extra);
  // Mask over the agent's flattened action space; none: everything allowed.
  virtual asio::awaitable<Value> compute_action_mask(const Value& sensors, const Value& previous_action);
  virtual asio::awaitable<Value> transform_action(const Value& sensors, Value action);
  virtual asio::awaitable<Value> compute_reward(const Value& sensors, Value action, Value sim_reward);
  virtual asio::awaitable<Value> compute_success_criteria(const Value& sensors, Value action);
  virtual asio::awaitable<Value> compute_termination(const Value& sensors, Value action);
};

// Computes an agent's action in place of a model.
class AgentController : public Implementation {
 public:
  virtual asio::awaitable<Value> compute_action(const Value& sensors, const Value& previous_action) = 0;
};

// Derives extra sensors from the simulator's.
class Perceptor : public Object {
 public:
  // The sensors this perceptor adds, as a map of name to value.
  virtual asio::awaitable<Value> perceive(const Value& sensors) = 0;
  virtual asio::awaitable<void> reset();
  std::string type_name() const override { return class_name(); }
  virtual std::string class_name() const = 0;
};

using ImplementationPtr = std::shared_ptr<Implementation>;
using TeacherPtr = std::shared_ptr<AgentTeacher>;
using ControllerPtr = std::shared_ptr<AgentController>;
using PerceptorPtr = std::shared_ptr<Perceptor>;

// Registry of implementation classes by name. Thread-safe.
class ImplementationRegistry {
 public:
  using AgentFactory = std::function<ImplementationPtr()>;
  using PerceptorFactory = std::function<PerceptorPtr()>;

  static ImplementationRegistry& instance();

  void register_agent_impl(const std::string& class_name, AgentFactory factory, std::string version = "latest");
  void register_perceptor_impl(const std::string& class_name, PerceptorFactory factory, std::string version = "latest");
  bool has_agent_impl(const std::string& class_name) const;
  bool has_perceptor_impl(const std::string& class_name) const;
  // A fresh instance each call; KeyError naming the class when nothing is registered under it.
  ImplementationPtr make_agent_impl(const std::string& class_name) const;
  PerceptorPtr make_perceptor_impl(const std::string& class_name) const;
  // Registered version text; KeyError when unknown.
  std::string version_of(const std::string& class_name) const;

  // Loads a shared library whose static initialisers (or `tavrin_register_plugin` function) register
  // implementations. RuntimeError with the loader's message when it cannot be loaded.
  void load_plugin(const std::string& path);

 private:
  ImplementationRegistry() = default;
  struct State;
  State& state() const;
};

// Registers T (default-constructible) under `name` at load time of the library that holds it:
//   static tavrin_core::RegisterAgentImpl<MyTeacher> reg("MyTeacher");
template <class T>
struct RegisterAgentImpl {
  explicit RegisterAgentImpl(const std::string& name, const std::string& version = "latest") {
    ImplementationRegistry::instance().register_agent_impl(
        name, [] { return std::make_shared<T>(); }, version);
  }
};
template <class T>
struct RegisterPerceptorImpl {
  explicit RegisterPerceptorImpl(const std::string& name, const std::string& version = "latest") {
    ImplementationRegistry::instance().register_perceptor_impl(
        name, [] { return std::make_shared<T>(); }, version);
  }
};

}  // namespace tavrin_core
