#pragma once
// Shared pieces of the selector, factory and end-to-end tests: the teacher classes that the
// orchestrations under fixtures/hierarchy/ name, orchestrations from inline JSON, contexts, sensor
// samples, temporary model folders and the walk down a chain of nested errors.
#include <atomic>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>
#include <unistd.h>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "common/value.hpp"
#include "core_api/agent_processor_context.hpp"
#include "core_api/implementations.hpp"
#include "core_api/network_mgr.hpp"
#include "core_api/orchestration.hpp"
#include "link/async_link.hpp"
#include "tests/support/hierarchy_teachers.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_paths.hpp"

namespace selector_test {

using tavrin_inference::List;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::Value;

inline const std::string kFixtures = tavrin_test::test_data_dir();
inline const std::string kModels = kFixtures + "/models";
inline const std::string kHierarchy = kFixtures + "/hierarchy";

using tavrin_test::LeafTeacher;
using tavrin_test::SensorLogitsTeacher;

inline const bool hierarchy_teachers_registered = (tavrin_test::register_hierarchy_teachers(), true);

inline Value numbers(const std::vector<double>& values) {
  std::vector<Value> items;
  items.reserve(values.size());
  for (double v : values) items.emplace_back(v);
  return Value::list(std::move(items));
}

// Raw sensors of the two-level fixture.
inline Value two_level_sensors(const std::vector<double>& root_logits,
                               const std::vector<double>& root_allowed = {1, 1, 1}) {
  return Value(Map{{"root_logits", numbers(root_logits)}, {"root_allowed", numbers(root_allowed)}});
}

// Raw sensors of the three-level fixture.
inline Value three_level_sensors(const std::vector<double>& root_logits, const std::vector<double>& mid_logits,
                                 const std::vector<double>& root_allowed = {1, 1, 1},
                                 const std::vector<double>& mid_allowed = {1, 1, 1}) {
  return Value(Map{{"root_logits", numbers(root_logits)},
                   {"root_allowed", numbers(root_allowed)},
                   {"mid_logits", numbers(mid_logits)},
                   {"mid_allowed", numbers(mid_allowed)}});
}

// An orchestration over the two-level fixture's sensors whose agents are `root` (one agent's JSON
// object, named `top_agent`) and the skills h2_leaf0, h2_leaf1 and h2_leaf2 of fixtures/models.
inline std::string two_level_orchestration_json(const std::string& id, const std::string& root,
                                                const std::string& top_agent) {
  std::string leaves;
  for (const char* leaf : {"h2_leaf0", "h2_leaf1", "h2_leaf2"}) {
    leaves += std::string(",\n      {\"name\": \"") + leaf + "\", \"kind\": \"Agent\", \"checkpoint\": \"" + kModels +
              "\", \"class\": \"HierLeafTeacher\",\n       \"action_space\": {\"type\": \"Discrete\", \"n\": 3}}";
  }
  return R"({
    "id": ")" +
         id + R"(",
    "sensors": [{"name": "root_logits", "space": {"type": "Box", "low": -100, "high": 100, "shape": [3]}},
                {"name": "root_allowed", "space": {"type": "Box", "low": 0, "high": 1, "shape": [3]}}],
    "agents": [
      )" +
         root + leaves + R"(
    ],
    "top_agent": ")" +
         top_agent + R"("
  })";
}

inline std::shared_ptr<tavrin_core::Orchestration> load(const std::string& path) {
  auto orchestration = tavrin_core::Orchestration::load(path);
  tavrin_inference::run_sync(orchestration->init());
  return orchestration;
}

// An orchestration from JSON text; relative checkpoints resolve against `base_dir`.
inline std::shared_ptr<tavrin_core::Orchestration> parse(const std::string& json,
                                                         const std::string& base_dir = kModels) {
  auto orchestration = tavrin_core::Orchestration::parse(json, "inline orchestration", base_dir);
  tavrin_inference::run_sync(orchestration->init());
  return orchestration;
}

inline tavrin_core::AgentProcessorContext context_for(const std::shared_ptr<tavrin_core::Orchestration>& orchestration,
                                                      const std::string& agent, bool for_agent_group = false) {
  tavrin_core::AgentProcessorContext context;
  context.orchestration = orchestration;
  context.agent = orchestration->get_node_by_name(agent);
  context.network_mgr = std::make_shared<tavrin_inference::AsyncLink>(tavrin_core::TrainerConfig{});
  context.for_agent_group = for_agent_group;
  return context;
}

// A fresh folder for model files, removed with the object.
class TempDir : public tavrin_test::TempDir {
 public:
  // Copies a model of fixtures/models to `relative` below this folder (folders made as needed).
  void copy_model(const std::string& fixture, const std::string& relative) const {
    const auto target = path() / relative;
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(kModels + "/" + fixture + ".onnx", target,
                               std::filesystem::copy_options::overwrite_existing);
  }
};

// One link of a chain of nested errors: the kind ("RuntimeError", ...) and the message.
struct ErrorLink {
  std::string kind;
  std::string message;
};

inline void walk_nested(const std::exception_ptr& error, std::vector<ErrorLink>& chain) {
  try {
    std::rethrow_exception(error);
  } catch (const tavrin_inference::Error& e) {
    chain.push_back({e.kind(), e.what()});
    try {
      std::rethrow_if_nested(e);
    } catch (...) {
      walk_nested(std::current_exception(), chain);
    }
  } catch (const std::exception& e) {
    chain.push_back({"std::exception", e.what()});
    try {
      std::rethrow_if_nested(e);
    } catch (...) {
      walk_nested(std::current_exception(), chain);
    }
  } catch (...) {
    chain.push_back({"unknown", ""});
  }
}

// The error and every cause below it, outermost first.
inline std::vector<ErrorLink> error_chain(const std::exception_ptr& error) {
  std::vector<ErrorLink> chain;
  walk_nested(error, chain);
  return chain;
}

// Runs `operation` and returns the chain of the error it fails with (empty when it succeeds).
template <class T>
std::vector<ErrorLink> failure_chain(asio::awaitable<T> operation) {
  try {
    tavrin_inference::run_sync(std::move(operation));
  } catch (...) {
    return error_chain(std::current_exception());
  }
  return {};
}

}  // namespace selector_test
