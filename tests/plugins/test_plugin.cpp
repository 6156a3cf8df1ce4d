// A plugin library for the tests. It registers one teacher from a static initialiser and a
// controller and a perceptor from tavrin_register_plugin, so both ways of registering are covered.
#include <atomic>
#include <memory>

#include "common/value.hpp"
#include "core_api/implementations.hpp"

namespace {

using tavrin_core::AgentController;
using tavrin_core::AgentTeacher;
using tavrin_core::ImplementationRegistry;
using tavrin_core::Perceptor;
using tavrin_inference::Map;
using tavrin_inference::Value;

std::atomic<int> registrations{0};

// Adds one to integer actions, so a test can tell it from the default teacher.
class PluginTeacher : public AgentTeacher {
 public:
  std::string class_name() const override { return "PluginTeacher"; }
  asio::awaitable<Value> transform_action(const Value&, Value action) override {
    if (action.is_int()) co_return Value(action.as_int() + 1);
    co_return action;
  }
};

// Always chooses action 2.
class PluginController : public AgentController {
 public:
  std::string class_name() const override { return "PluginController"; }
  asio::awaitable<Value> compute_action(const Value&, const Value&) override { co_return Value(2); }
};

class PluginPerceptor : public Perceptor {
 public:
  std::string class_name() const override { return "PluginPerceptor"; }
  asio::awaitable<Value> perceive(const Value&) override { co_return Value(Map{{"trend", Value(1.0)}}); }
};

const tavrin_core::RegisterAgentImpl<PluginTeacher> teacher_registration("PluginTeacher", "2.1.0");

}  // namespace

extern "C" void tavrin_register_plugin(ImplementationRegistry& registry) {
  ++registrations;
  registry.register_agent_impl("PluginController", [] { return std::make_shared<PluginController>(); });
  registry.register_perceptor_impl("PluginPerceptor", [] { return std::make_shared<PluginPerceptor>(); });
}

// How often the loader called tavrin_register_plugin (the tests expect exactly once).
extern "C" int tavrin_test_plugin_registrations() { return registrations.load(); }
