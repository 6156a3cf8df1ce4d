// Embedding PolicyHost in an application: construct the host, load an orchestration, package it,
// execute a few steps on the application's own event loop, close.
//
//   embed_policy_host <orchestration.json> [steps]
//
// The orchestration is tests/fixtures/hierarchy/three_level.json (or three_level_256x256.json): a
// root selector over a mid selector and two skills. Its teachers are programmed parts of the
// orchestration; an application provides them by registering their classes before loading (here,
// in this program; see docs/embedding.md for doing it from a plugin library).
//
// Every step prints "step <i>: action <action>"; the program ends with "embedding example: <n>
// steps" and exit status 0, or prints the error and exits with status 1.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "common/errors.hpp"
#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "core_api/implementations.hpp"
#include "core_api/logger.hpp"
#include "host/policy_host.hpp"

namespace {

using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::PolicyHost;
using tavrin_inference::Value;

// A selector's teacher: the selector sees only its logits sensor, and the allowed-children sensor
// is its action mask.
class SensorLogitsTeacher : public tavrin_core::AgentTeacher {
 public:
  SensorLogitsTeacher(std::string logits, std::string allowed)
      : logits_(std::move(logits)), allowed_(std::move(allowed)) {}
  std::string class_name() const override { return "SensorLogitsTeacher"; }
  asio::awaitable<Value> filtered_sensor_space() override { co_return Value::list({Value(logits_)}); }
  asio::awaitable<Value> compute_action_mask(const Value& sensors, const Value& /*previous_action*/) override {
    if (sensors.is_map()) {
      if (const Value* allowed = sensors.as_map().find(allowed_)) co_return *allowed;
    }
    co_return Value();  // everything allowed
  }

 private:
  std::string logits_, allowed_;
};

// A skill's teacher: the skill sees the root's logits sensor.
class LeafTeacher : public tavrin_core::AgentTeacher {
 public:
  std::string class_name() const override { return "LeafTeacher"; }
  asio::awaitable<Value> filtered_sensor_space() override { co_return Value::list({Value("root_logits")}); }
};

void register_teachers() {
  auto& registry = tavrin_core::ImplementationRegistry::instance();
  registry.register_agent_impl("HierRootTeacher",
                               [] { return std::make_shared<SensorLogitsTeacher>("root_logits", "root_allowed"); });
  registry.register_agent_impl("HierMidTeacher",
                               [] { return std::make_shared<SensorLogitsTeacher>("mid_logits", "mid_allowed"); });
  registry.register_agent_impl("HierLeafTeacher", [] { return std::make_shared<LeafTeacher>(); });
}

// What the simulator reports at step i: the root's and the mid selector's logits sensors (the
// selectors of three_level.json echo them) and the allowed-children sensors.
Value observation(int i) {
  const double r = static_cast<double>(i % 3);
  Map sensors;
  sensors.set("root_logits",
              Value(NdArray::from_vector<double>({r == 0 ? 5.0 : 0.0, r == 1 ? 5.0 : 0.0, r == 2 ? 5.0 : 0.0})));
  sensors.set("root_allowed", Value(NdArray::from_vector<double>({1, 1, 1})));
  sensors.set("mid_logits", Value(NdArray::from_vector<double>({0, 0, 5})));
  sensors.set("mid_allowed", Value(NdArray::from_vector<double>({1, 1, 1})));
  return Value(std::move(sensors));
}

// The application's control loop, as one coroutine on its event loop.
asio::awaitable<void> run(PolicyHost& host, std::string orchestration_path, int steps) {
  co_await host.load_orchestration(orchestration_path);
  co_await host.package();  // the top agent; package(nullptr, std::string("name")) picks another
  for (int i = 0; i < steps; ++i) {
    Value action = co_await host.execute(observation(i));
    std::printf("step %d: action %s\n", i, action.str().c_str());
  }
  co_await host.close();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s <orchestration.json> [steps]\n", argv[0]);
    return 2;
  }
  const int steps = argc == 3 ? std::atoi(argv[2]) : 6;
  tavrin_core::set_log_level(tavrin_core::LogLevel::warning);
  register_teachers();

  asio::io_context loop;
  PolicyHost host;  // default configuration: one local target at the loopback host, port 1337
  std::exception_ptr failure;
  asio::co_spawn(loop, run(host, argv[1], steps), [&failure](std::exception_ptr e) { failure = e; });
  loop.run();

  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      // The kind and every nested cause: "RuntimeError: Failed to create ...\n  caused by: ...".
      std::fprintf(stderr, "embedding example failed: %s\n", tavrin_inference::describe(e).c_str());
    }
    return 1;
  }
  std::printf("embedding example: %d steps\n", steps);
  return 0;
}
