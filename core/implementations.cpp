#include "core_api/implementations.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <typeinfo>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/close_names.hpp"
#include "common/errors.hpp"
#include "core_api/logger.hpp"

namespace tavrin_core {

using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::RuntimeError;
using tavrin_inference::TypeError;

namespace {

const Logger& logger = get_logger("tavrin_core.implementations");

// The teacher of agents that name no implementation class; every hook keeps the base default.
class DefaultTeacher final : public AgentTeacher {
 public:
  std::string class_name() const override { return "AgentTeacher"; }
};

}  // namespace

// ---- default hooks ----------------------------------------------------------------------------

asio::awaitable<Value> Implementation::filtered_sensor_space() { co_return Value(); }
asio::awaitable<void> Implementation::reset() { co_return; }

asio::awaitable<Value> AgentTeacher::transform_sensors(Value sensors, Value) { co_return sensors; }
asio::awaitable<Value> AgentTeacher::compute_action_mask(const Value&, const Value&) { co_return Value(); }
asio::awaitable<Value> AgentTeacher::transform_action(const Value&, Value action) { co_return action; }

asio::awaitable<Value> AgentTeacher::compute_reward(const Value&, Value, Value sim_reward) {
  if (sim_reward.is_none()) co_return Value(0.0);
  if (sim_reward.is_number()) co_return Value(sim_reward.as_double());
  // Simulators often report the reward as a one-element array.
  if (sim_reward.is_array() && sim_reward.as_array().size() == 1) co_return Value(sim_reward.as_array().at_double(0));
  throw TypeError(std::string("compute_reward(): sim_reward must be a number, got ") + sim_reward.kind_name());
}

asio::awaitable<Value> AgentTeacher::compute_success_criteria(const Value&, Value) { co_return Value(false); }
asio::awaitable<Value> AgentTeacher::compute_termination(const Value&, Value) { co_return Value(false); }

asio::awaitable<void> Perceptor::reset() { co_return; }

// ---- registry ---------------------------------------------------------------------------------

struct ImplementationRegistry::State {
  struct AgentEntry {
    AgentFactory factory;
    std::string version;
    std::uint8_t default_hooks = 0;
    const std::type_info* made = nullptr;  // the class the factory makes, when known
  };
  struct PerceptorEntry {
    PerceptorFactory factory;
    std::string version;
  };

  State() {
    agents.emplace("AgentTeacher", AgentEntry{[] { return std::make_shared<DefaultTeacher>(); }, "latest",
                                              default_hooks_of<DefaultTeacher>(), &typeid(DefaultTeacher)});
  }

  mutable std::mutex mutex;  // guards agents and perceptors
  std::unordered_map<std::string, AgentEntry> agents;
  std::unordered_map<std::string, PerceptorEntry> perceptors;

  // Held while a library loads; recursive because a plugin's initialisers may load further plugins.
  std::recursive_mutex plugin_mutex;
  std::unordered_set<std::string> loaded_plugins;
};

ImplementationRegistry& ImplementationRegistry::instance() {
  static ImplementationRegistry registry;
  return registry;
}

ImplementationRegistry::State& ImplementationRegistry::state() const {
  // Never destroyed: plugin libraries stay loaded for the life of the process and their static
  // destructors may still reach the registry during teardown.
  static State* s = new State();
  return *s;
}

namespace {

void check_registration(const std::string& class_name, bool has_factory, const char* what) {
  if (class_name.empty())
    throw InvalidArgumentError(std::string("register_") + what + "_impl(): the class name is empty");
  if (!has_factory) {
    throw InvalidArgumentError(std::string("register_") + what + "_impl(): no factory given for class '" + class_name +
                               "'");
  }
}

// The closest registered names of one kind, else all of them, sorted; the caller holds the lock.
template <class Entries>
std::string hint(const std::string& class_name, const Entries& entries, std::string_view what) {
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (const auto& entry : entries) names.push_back(entry.first);
  std::sort(names.begin(), names.end());
  return tavrin_inference::closest_or_all(class_name, names, what);
}

// A copy of the entry registered under `class_name`, taken under `mutex`; KeyError naming the kind
// of class and the closest registered names when there is none.
template <class Entries>
typename Entries::mapped_type registered_entry(std::mutex& mutex, const Entries& entries, const std::string& class_name,
                                               const std::string& kind) {
  std::lock_guard lock(mutex);
  auto it = entries.find(class_name);
  if (it == entries.end()) {
    throw KeyError("No " + kind + " implementation class '" + class_name + "' is registered (" +
                   hint(class_name, entries, "registered " + kind + " classes") + ")");
  }
  return it->second;
}

}  // namespace

void ImplementationRegistry::register_agent_impl(const std::string& class_name, AgentFactory factory,
                                                 std::string version) {
  register_agent_class(class_name, std::move(factory), std::move(version), 0, nullptr);
}

void ImplementationRegistry::register_agent_class(const std::string& class_name, AgentFactory factory,
                                                  std::string version, std::uint8_t default_hooks,
                                                  const std::type_info* made) {
  check_registration(class_name, static_cast<bool>(factory), "agent");
  auto& s = state();
  bool replaced = false;
  {
    std::lock_guard lock(s.mutex);
    replaced = !s.agents
                    .insert_or_assign(class_name,
                                      State::AgentEntry{std::move(factory), std::move(version), default_hooks, made})
                    .second;
  }
  // The last registration wins, so an application can override a plugin's class.
  if (replaced) logger.debug("Replaced agent implementation class {}", class_name);
}

void ImplementationRegistry::register_perceptor_impl(const std::string& class_name, PerceptorFactory factory,
                                                     std::string version) {
  check_registration(class_name, static_cast<bool>(factory), "perceptor");
  auto& s = state();
  bool replaced = false;
  {
    std::lock_guard lock(s.mutex);
    replaced = !s.perceptors.insert_or_assign(class_name, State::PerceptorEntry{std::move(factory), std::move(version)})
                    .second;
  }
  if (replaced) logger.debug("Replaced perceptor implementation class {}", class_name);
}

bool ImplementationRegistry::has_agent_impl(const std::string& class_name) const {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.agents.count(class_name) != 0;
}

bool ImplementationRegistry::has_perceptor_impl(const std::string& class_name) const {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.perceptors.count(class_name) != 0;
}

ImplementationPtr ImplementationRegistry::make_agent_impl(const std::string& class_name) const {
  auto& s = state();
  const auto entry = registered_entry(s.mutex, s.agents, class_name, "agent");
  // Outside the lock: a factory may itself use the registry.
  ImplementationPtr instance = entry.factory();
  // What was learnt of the class holds only for an instance of exactly that class.
  if (instance && entry.made != nullptr && typeid(*instance) == *entry.made)
    instance->default_hooks_ = entry.default_hooks;
  return instance;
}

PerceptorPtr ImplementationRegistry::make_perceptor_impl(const std::string& class_name) const {
  auto& s = state();
  return registered_entry(s.mutex, s.perceptors, class_name, "perceptor").factory();
}

std::string ImplementationRegistry::version_of(const std::string& class_name) const {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (auto it = s.agents.find(class_name); it != s.agents.end()) return it->second.version;
  if (auto it = s.perceptors.find(class_name); it != s.perceptors.end()) return it->second.version;
  throw KeyError("No implementation class '" + class_name + "' is registered");
}

std::string ImplementationRegistry::agent_impl_hint(const std::string& class_name) const {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return hint(class_name, s.agents, "registered agent classes");
}

std::string ImplementationRegistry::perceptor_impl_hint(const std::string& class_name) const {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return hint(class_name, s.perceptors, "registered perceptor classes");
}

namespace {

// One key per library file, so that two spellings of the same path load it once.
std::string plugin_key(const std::string& path) {
  std::error_code ec;
  if (path.find('/') == std::string::npos) return path;  // found through the loader's search path
  auto canonical = std::filesystem::weakly_canonical(path, ec);
  return ec ? path : canonical.string();
}

using RegisterFn = void (*)(ImplementationRegistry&);

// The library's own registration function; a dependency's one (dlsym searches those too) is not
// this library's to call.
RegisterFn own_register_function(void* handle) {
  void* symbol = dlsym(handle, "tavrin_register_plugin");
  if (symbol == nullptr) return nullptr;
  Dl_info info{};
  if (dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return nullptr;
  void* owner = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (owner == nullptr) return nullptr;
  dlclose(owner);  // drops the reference RTLD_NOLOAD took
  if (owner != handle) return nullptr;
  RegisterFn fn = nullptr;
  static_assert(sizeof(fn) == sizeof(symbol));
  std::memcpy(&fn, &symbol, sizeof(fn));
  return fn;
}

}  // namespace

void ImplementationRegistry::load_plugin(const std::string& path) {
  // dlopen(nullptr) would hand back the program itself.
  if (path.empty()) throw RuntimeError("Cannot load plugin library : the path is empty");
  auto& s = state();
  const std::string key = plugin_key(path);
  std::lock_guard lock(s.plugin_mutex);
  if (s.loaded_plugins.count(key) != 0) return;

  dlerror();
  // Never closed: registered factories and the objects they made point into the library's code.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) {
    const char* message = dlerror();
    std::string_view reason = message ? message : "unknown error";
    // The loader's message usually starts with the path again.
    if (reason.size() > path.size() + 2 && reason.substr(0, path.size()) == path &&
        reason.substr(path.size(), 2) == ": ") {
      reason.remove_prefix(path.size() + 2);
    }
    throw RuntimeError("Cannot load plugin library " + path + ": " + std::string(reason));
  }
  if (RegisterFn fn = own_register_function(handle)) {
    try {
      fn(*this);
    } catch (const std::exception& e) {
      throw RuntimeError("Plugin library " + path + " failed to register its implementations: " + e.what());
    }
  }
  s.loaded_plugins.insert(key);
  logger.info("Loaded plugin library {}", path);
}

}  // namespace tavrin_core
