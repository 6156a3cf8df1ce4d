#pragma once
// Teachers, controllers and perceptors: the programmed parts of an orchestration. Every hook is
// awaitable, so an implementation may run in this process or behind a proxy in a remote worker.
// Implementations are found by class name through a registry; shared libraries named by an
// orchestration (or loaded by an application) register more of them.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include <asio/awaitable.hpp>

#include "common/value.hpp"

namespace tavrin_core {

using tavrin_inference::Map;
using tavrin_inference::Object;
using tavrin_inference::Value;

// Per-step hooks of a teacher whose base default provably does nothing: it hands its input back
// (transform_sensors, transform_action) or answers none (compute_action_mask). A processor may leave
// such a hook uncalled when an instance is known to keep the default.
enum class DefaultHook : std::uint8_t {
  transform_sensors = 1,
  compute_action_mask = 2,
  transform_action = 4,
};

// What teachers and controllers share.
class Implementation : public Object {
 public:
  // Names of the sensors the agent keeps; none or empty: every orchestration sensor.
  virtual asio::awaitable<Value> filtered_sensor_space();
  virtual asio::awaitable<void> reset();
  std::string type_name() const override { return class_name(); }
  virtual std::string class_name() const = 0;

  // Whether this instance is known to keep the base default of `hook`. Known only for instances the
  // registry made from a class whose type it saw at registration (RegisterAgentImpl, or a factory
  // returning the concrete class's shared_ptr); every other instance counts as replacing each hook.
  bool keeps_default(DefaultHook hook) const { return (default_hooks_ & static_cast<std::uint8_t>(hook)) != 0; }

 private:
  friend class ImplementationRegistry;
  std::uint8_t default_hooks_ = 0;
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

// The DefaultHook bits of the hooks that class T leaves at AgentTeacher's default. Decided from the
// type of &T::hook: a class that declares the hook (or inherits it from a class between it and
// AgentTeacher that does) gets a pointer to its own member; one that only inherits AgentTeacher's
// gets AgentTeacher's. A name T overloads counts as replaced.
template <class T>
constexpr std::uint8_t default_hooks_of() {
  if constexpr (!std::is_base_of_v<AgentTeacher, T>) {
    return 0;
  } else {
    std::uint8_t hooks = 0;
    if constexpr (requires { &T::transform_sensors; }) {
      if constexpr (std::is_same_v<decltype(&T::transform_sensors),
                                   asio::awaitable<Value> (AgentTeacher::*)(Value, Value)>) {
        hooks |= static_cast<std::uint8_t>(DefaultHook::transform_sensors);
      }
    }
    if constexpr (requires { &T::compute_action_mask; }) {
      if constexpr (std::is_same_v<decltype(&T::compute_action_mask),
                                   asio::awaitable<Value> (AgentTeacher::*)(const Value&, const Value&)>) {
        hooks |= static_cast<std::uint8_t>(DefaultHook::compute_action_mask);
      }
    }
    if constexpr (requires { &T::transform_action; }) {
      if constexpr (std::is_same_v<decltype(&T::transform_action),
                                   asio::awaitable<Value> (AgentTeacher::*)(const Value&, Value)>) {
        hooks |= static_cast<std::uint8_t>(DefaultHook::transform_action);
      }
    }
    return hooks;
  }
}

namespace detail {
template <class P>
struct made_class {
  using type = void;
};
template <class T>
struct made_class<std::shared_ptr<T>> {
  using type = T;
};
}  // namespace detail
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
  // The same for a factory that returns a std::shared_ptr of a concrete class: the registry then
  // also knows which per-step hooks that class keeps at their defaults (see DefaultHook).
  template <class F, class Made = typename detail::made_class<std::invoke_result_t<F&>>::type,
            std::enable_if_t<std::is_base_of_v<Implementation, Made> && !std::is_same_v<std::decay_t<F>, AgentFactory>,
                             int> = 0>
  void register_agent_impl(const std::string& class_name, F factory, const std::string& version = "latest") {
    register_agent_class(class_name, AgentFactory(std::move(factory)), version, default_hooks_of<Made>(),
                         &typeid(Made));
  }
  void register_perceptor_impl(const std::string& class_name, PerceptorFactory factory, std::string version = "latest");
  bool has_agent_impl(const std::string& class_name) const;
  bool has_perceptor_impl(const std::string& class_name) const;
  // A fresh instance each call; KeyError naming the class (and the hint below) when nothing is
  // registered under it.
  ImplementationPtr make_agent_impl(const std::string& class_name) const;
  PerceptorPtr make_perceptor_impl(const std::string& class_name) const;
  // Registered version text; KeyError when unknown.
  std::string version_of(const std::string& class_name) const;
  // For messages about a class name that is not registered: "closest: 'ZoneTeacher'" when registered
  // names of that kind are close to it, else "registered agent classes: 'AgentTeacher', ..." (or
  // "registered perceptor classes: ...").
  std::string agent_impl_hint(const std::string& class_name) const;
  std::string perceptor_impl_hint(const std::string& class_name) const;

  // Registers a factory together with the class it makes and the hooks that class keeps at their
  // defaults; an instance whose dynamic class is not `made` gets no default hooks.
  void register_agent_class(const std::string& class_name, AgentFactory factory, std::string version,
                            std::uint8_t default_hooks, const std::type_info* made);

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
    ImplementationRegistry::instance().register_agent_class(
        name, [] { return std::make_shared<T>(); }, version, default_hooks_of<T>(), &typeid(T));
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
