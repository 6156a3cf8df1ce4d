#pragma once
// The teacher classes that the orchestrations under tests/fixtures/hierarchy/ name, shared by the
// tests and the benchmarks that load those fixtures.
#include <memory>
#include <string>
#include <utility>

#include <asio/awaitable.hpp>

#include "common/async.hpp"
#include "common/value.hpp"
#include "core_api/implementations.hpp"

namespace tavrin_test {

// A selector's teacher: the selector sees only its logits sensor, and the allowed-children sensor is
// its mask.
class SensorLogitsTeacher : public tavrin_core::AgentTeacher {
 public:
  SensorLogitsTeacher(std::string logits, std::string allowed)
      : logits_(std::move(logits)), allowed_(std::move(allowed)) {}
  std::string class_name() const override { return "SensorLogitsTeacher"; }

  asio::awaitable<tavrin_inference::Value> filtered_sensor_space() override {
    co_return tavrin_inference::Value::list({tavrin_inference::Value(logits_)});
  }
  asio::awaitable<tavrin_inference::Value> compute_action_mask(
      const tavrin_inference::Value& sensors, const tavrin_inference::Value& /*previous_action*/) override {
    if (sensors.is_map()) {
      if (const tavrin_inference::Value* allowed = sensors.as_map().find(allowed_)) co_return *allowed;
    }
    co_return tavrin_inference::Value();
  }

 private:
  std::string logits_;
  std::string allowed_;
};

// A skill's teacher: the skill sees the root's logits sensor (three values).
class LeafTeacher : public tavrin_core::AgentTeacher {
 public:
  std::string class_name() const override { return "LeafTeacher"; }
  asio::awaitable<tavrin_inference::Value> filtered_sensor_space() override {
    co_return tavrin_inference::Value::list({tavrin_inference::Value("root_logits")});
  }
};

// Registers the three teacher classes under the names the hierarchy orchestrations use: the root and
// the middle selectors each read their own logits and allowed-children sensors.
inline void register_hierarchy_teachers() {
  auto& registry = tavrin_core::ImplementationRegistry::instance();
  const auto selector_teacher = [](const char* logits, const char* allowed) {
    return [logits, allowed] { return std::make_shared<SensorLogitsTeacher>(logits, allowed); };
  };
  registry.register_agent_impl("HierRootTeacher", selector_teacher("root_logits", "root_allowed"));
  registry.register_agent_impl("HierMidTeacher", selector_teacher("mid_logits", "mid_allowed"));
  registry.register_agent_impl("HierLeafTeacher", [] { return std::make_shared<LeafTeacher>(); });
}

}  // namespace tavrin_test
