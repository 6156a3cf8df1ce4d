#pragma once
// Helpers of the SkillRuntime tests: fixture orchestrations, temporary checkpoint folders, running
// coroutines to completion, and the test teacher and controller registered under their own names.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/async.hpp"
#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "core_api/agent_processor_context.hpp"
#include "core_api/implementations.hpp"
#include "core_api/orchestration.hpp"
#include "skill/skill_runtime.hpp"
#include "tests/support/checks.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_paths.hpp"

namespace skill_test {

namespace fs = std::filesystem;
using tavrin_core::AgentProcessorContext;
using tavrin_core::Orchestration;
using tavrin_inference::DType;
using tavrin_inference::List;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::Shape;
using tavrin_inference::SkillRuntime;
using tavrin_inference::Value;
using tavrin_test::doubles;

inline std::string fixture_path(const std::string& relative) { return tavrin_test::test_data_dir() + "/" + relative; }
inline std::string model_fixture(const std::string& model) { return fixture_path("models/" + model + ".onnx"); }

template <class T>
T run(asio::awaitable<T> operation) {
  return tavrin_inference::run_sync(std::move(operation));
}

using tavrin_test::TempDir;

// Copies a model fixture to `destination`, creating the folders on the way.
inline void place_model(const std::string& model, const fs::path& destination) {
  fs::create_directories(destination.parent_path());
  fs::copy_file(model_fixture(model), destination, fs::copy_options::overwrite_existing);
}

inline std::string file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An orchestration of one skill agent `name` on the sensor x (Box of four values), written as an
// orchestration file's text and parsed. `checkpoint` absent leaves the field out.
inline std::shared_ptr<Orchestration> one_agent(const std::string& name, const std::optional<std::string>& checkpoint,
                                                nlohmann::ordered_json action_space = {{"type", "Discrete"}, {"n", 4}},
                                                const std::string& impl_class = "", bool controller = false) {
  nlohmann::ordered_json agent = {{"name", name}, {"kind", "Agent"}, {"action_space", std::move(action_space)}};
  if (checkpoint) agent["checkpoint"] = *checkpoint;
  if (!impl_class.empty()) agent["class"] = impl_class;
  if (controller) agent["controller"] = true;
  const nlohmann::ordered_json root = {
      {"id", "skill-runtime-test"},
      {"sensors", {{{"name", "x"}, {"space", {{"type", "Box"}, {"low", -100}, {"high", 100}, {"shape", {4}}}}}}},
      {"agents", {agent}},
      {"top_agent", name}};
  return Orchestration::parse(root.dump(), "skill-runtime-test", "");
}

inline AgentProcessorContext context_of(const std::shared_ptr<Orchestration>& orchestration, const std::string& agent) {
  AgentProcessorContext context;
  context.orchestration = orchestration;
  context.agent = orchestration->get_node_by_name(agent);
  return context;
}

// A constructed, not yet initialised processor of `agent` in the fixture orchestration `file`
// (below tests/fixtures/skill/).
template <class Runtime = SkillRuntime>
std::shared_ptr<Runtime> runtime_of(const std::string& file, const std::string& agent) {
  return std::make_shared<Runtime>(context_of(Orchestration::load(fixture_path("skill/" + file)), agent));
}

// The same, initialised.
template <class Runtime = SkillRuntime>
std::shared_ptr<Runtime> ready_runtime(const std::string& file, const std::string& agent) {
  auto runtime = runtime_of<Runtime>(file, agent);
  run(runtime->init());
  return runtime;
}

inline NdArray f64(std::vector<double> values) { return NdArray::from_vector<double>(std::move(values)); }
inline NdArray f32(std::vector<float> values) { return NdArray::from_vector<float>(std::move(values)); }

// Raw sensors of the fixture orchestrations: the one sensor x.
inline Value sensors_x(std::vector<double> x) { return Value(Map{{"x", Value(f64(std::move(x)))}}); }

// Counts the sensor transforms it is asked for, so a test can tell that the sensor pipeline ran.
class CountingTeacher : public tavrin_core::AgentTeacher {
 public:
  static inline std::atomic<int> transforms{0};
  std::string class_name() const override { return "SkillTestCountingTeacher"; }
  asio::awaitable<Value> transform_sensors(Value sensors, Value) override {
    ++transforms;
    co_return sensors;
  }
};

// A controller that answers with `reply` and remembers what it was asked with.
class ValveController : public tavrin_core::AgentController {
 public:
  static inline Value reply = Value(f32({0.5f}));
  static inline std::vector<std::pair<Value, Value>> calls;
  std::string class_name() const override { return "SkillTestValveController"; }
  asio::awaitable<Value> compute_action(const Value& sensors, const Value& previous_action) override {
    calls.emplace_back(sensors, previous_action);
    co_return reply;
  }
};

inline const bool implementations_registered = [] {
  auto& registry = tavrin_core::ImplementationRegistry::instance();
  registry.register_agent_impl("SkillTestCountingTeacher", [] { return std::make_shared<CountingTeacher>(); });
  registry.register_agent_impl("SkillTestValveController", [] { return std::make_shared<ValveController>(); });
  // A controller class that makes nothing: its agent ends up without a controller.
  registry.register_agent_impl("SkillTestAbsentController", [] { return tavrin_core::ImplementationPtr(); });
  return true;
}();

}  // namespace skill_test
