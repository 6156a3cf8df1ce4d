#pragma once
// Teachers, controllers, perceptors and a remote manager for processor tests. Each records the calls
// it receives, with their arguments, in one shared log, so that tests can check what was called, in
// which order and with what. Behaviour is scripted per test; every registration gets a class name of
// its own, so tests never see each other's implementations in the registry.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>

#include "common/errors.hpp"
#include "common/value.hpp"
#include "core_api/implementations.hpp"
#include "core_api/network_mgr.hpp"

namespace tavrin_test {

using tavrin_inference::Map;
using tavrin_inference::Value;

// Ordered record of calls: "<who>.<hook>(<argument texts>)".
struct CallLog {
  std::vector<std::string> calls;

  void add(std::string call) { calls.push_back(std::move(call)); }
  // Calls whose text starts with `prefix`, in order.
  std::vector<std::string> starting_with(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& c : calls)
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
  }
  void clear() { calls.clear(); }
};
using CallLogPtr = std::shared_ptr<CallLog>;

inline std::string unique_class_name(const std::string& stem) {
  static std::atomic<int> counter{0};
  return "skillkit_test." + stem + "." + std::to_string(++counter);
}

// What a test teacher (or controller) does. Unset hooks behave like the defaults: sensors and
// actions unchanged, no mask, reward 0, never successful or terminated.
struct TeacherScript {
  Value filtered_keys;              // what filtered_sensor_space() yields
  bool filtered_keys_fail = false;  // filtered_sensor_space() raises "no sensor list"
  std::function<Value(Value)> transform_sensors;
  std::function<Value(const Value& sensors, const Value& previous_action)> action_mask;
  std::function<Value(const Value& sensors, Value action)> transform_action;
  Value reward = Value(0.0);
  Value success = Value(false);
  Value termination = Value(false);
  Value action;  // what a controller's compute_action yields
  bool reset_fails = false;
};
using TeacherScriptPtr = std::shared_ptr<TeacherScript>;

// What a recording teacher and controller share: who they are ("<label>#<instance>", the instance
// number tells fresh instances apart), the log they record into and the script they follow.
class RecordingAgent {
 public:
  RecordingAgent(std::string label, int instance, CallLogPtr log, TeacherScriptPtr script)
      : label_(std::move(label)), instance_(instance), log_(std::move(log)), script_(std::move(script)) {}

  int instance() const { return instance_; }
  std::string who() const { return label_ + "#" + std::to_string(instance_); }

 protected:
  // Records "<who>.<call>".
  void record(const std::string& call) const { log_->add(who() + "." + call); }
  const TeacherScript& script() const { return *script_; }
  Value scripted_filtered_keys() const {
    record("filtered_sensor_space()");
    if (script_->filtered_keys_fail) throw tavrin_inference::RuntimeError("no sensor list");
    return script_->filtered_keys;
  }

 private:
  std::string label_;
  int instance_;
  CallLogPtr log_;
  TeacherScriptPtr script_;
};

// Records "<label>#<instance>.<hook>(...)".
class RecordingTeacher : public tavrin_core::AgentTeacher, public RecordingAgent {
 public:
  using RecordingAgent::RecordingAgent;

  std::string class_name() const override { return "RecordingTeacher"; }

  asio::awaitable<Value> filtered_sensor_space() override { co_return scripted_filtered_keys(); }
  asio::awaitable<void> reset() override {
    record("reset()");
    if (script().reset_fails) throw tavrin_inference::RuntimeError("teacher reset failed");
    co_return;
  }
  asio::awaitable<Value> transform_sensors(Value sensors, Value extra) override {
    record("transform_sensors(" + sensors.str() + ", " + extra.str() + ")");
    if (script().transform_sensors) co_return script().transform_sensors(std::move(sensors));
    co_return sensors;
  }
  asio::awaitable<Value> compute_action_mask(const Value& sensors, const Value& previous_action) override {
    record("compute_action_mask(" + sensors.str() + ", " + previous_action.str() + ")");
    if (script().action_mask) co_return script().action_mask(sensors, previous_action);
    co_return Value();
  }
  asio::awaitable<Value> transform_action(const Value& sensors, Value action) override {
    record("transform_action(" + sensors.str() + ", " + action.str() + ")");
    if (script().transform_action) co_return script().transform_action(sensors, std::move(action));
    co_return action;
  }
  asio::awaitable<Value> compute_reward(const Value& sensors, Value action, Value sim_reward) override {
    record("compute_reward(" + sensors.str() + ", " + action.str() + ", " + sim_reward.str() + ")");
    co_return script().reward;
  }
  asio::awaitable<Value> compute_success_criteria(const Value& sensors, Value action) override {
    record("compute_success_criteria(" + sensors.str() + ", " + action.str() + ")");
    co_return script().success;
  }
  asio::awaitable<Value> compute_termination(const Value& sensors, Value action) override {
    record("compute_termination(" + sensors.str() + ", " + action.str() + ")");
    co_return script().termination;
  }
};

class RecordingController : public tavrin_core::AgentController, public RecordingAgent {
 public:
  using RecordingAgent::RecordingAgent;

  std::string class_name() const override { return "RecordingController"; }

  asio::awaitable<Value> filtered_sensor_space() override { co_return scripted_filtered_keys(); }
  asio::awaitable<void> reset() override {
    record("reset()");
    co_return;
  }
  asio::awaitable<Value> compute_action(const Value& sensors, const Value& previous_action) override {
    record("compute_action(" + sensors.str() + ", " + previous_action.str() + ")");
    co_return script().action;
  }
};

// A perceptor that adds the sensors in `adds` and records its calls. `reset_error` picks what its
// reset raises: "" nothing, "general" an Error, "key" a KeyError, "other" a non-Error exception.
class RecordingPerceptor : public tavrin_core::Perceptor {
 public:
  RecordingPerceptor(std::string label, CallLogPtr log, Map adds, std::string reset_error)
      : label_(std::move(label)), log_(std::move(log)), adds_(std::move(adds)), reset_error_(std::move(reset_error)) {}

  std::string class_name() const override { return "RecordingPerceptor"; }
  const std::string& label() const { return label_; }

  asio::awaitable<Value> perceive(const Value& sensors) override {
    log_->add(label_ + ".perceive(" + sensors.str() + ")");
    co_return Value(adds_);
  }
  asio::awaitable<void> reset() override {
    log_->add(label_ + ".reset()");
    if (reset_error_ == "general") throw tavrin_inference::Error(label_ + " cannot reset");
    if (reset_error_ == "key") throw tavrin_inference::KeyError(label_ + " cannot reset");
    if (reset_error_ == "other") throw std::logic_error(label_ + " cannot reset");
    co_return;
  }

 private:
  std::string label_;
  CallLogPtr log_;
  Map adds_;
  std::string reset_error_;
};

// Registers an agent class of type `Agent` (a RecordingTeacher or RecordingController) whose
// instances record into `log` as "<label>#<n>"; returns its class name.
template <typename Agent>
std::string register_recording_agent(const std::string& label, const CallLogPtr& log, const TeacherScriptPtr& script,
                                     const std::string& version) {
  std::string name = unique_class_name(label);
  auto counter = std::make_shared<int>(0);
  tavrin_core::ImplementationRegistry::instance().register_agent_impl(
      name, [label, log, script, counter] { return std::make_shared<Agent>(label, ++*counter, log, script); }, version);
  return name;
}

inline std::string register_teacher(const std::string& label, const CallLogPtr& log, const TeacherScriptPtr& script,
                                    const std::string& version = "latest") {
  return register_recording_agent<RecordingTeacher>(label, log, script, version);
}

inline std::string register_controller(const std::string& label, const CallLogPtr& log, const TeacherScriptPtr& script,
                                       const std::string& version = "latest") {
  return register_recording_agent<RecordingController>(label, log, script, version);
}

inline std::string register_perceptor(const std::string& label, const CallLogPtr& log, const Map& adds,
                                      const std::string& reset_error = "", const std::string& version = "latest") {
  std::string name = unique_class_name(label);
  tavrin_core::ImplementationRegistry::instance().register_perceptor_impl(
      name,
      [label, log, adds, reset_error] { return std::make_shared<RecordingPerceptor>(label, log, adds, reset_error); },
      version);
  return name;
}

// A remote manager whose "create_with_client" records its arguments as
// "<label>.create_with_client(<positional>, <named>)" and answers with `answer`.
class RecordingManager : public tavrin_core::RemoteManager {
 public:
  using Answer = std::function<Value(const tavrin_core::CallArgs&)>;

  RecordingManager(std::string label, CallLogPtr log, Answer answer)
      : state_(std::make_shared<State>(State{std::move(label), std::move(log), std::move(answer)})) {}

  std::string describe() const override { return state_->label; }

  tavrin_core::ManagerMethod resolve(std::string_view method) override {
    if (method != "create_with_client") throw tavrin_inference::KeyError(std::string(method));
    auto state = state_;
    // The pending call must not refer to this closure: it runs after the method object is gone.
    return {"create_with_client", tavrin_core::ManagerMethod::Async(
                                      [state](tavrin_core::CallArgs args) { return create(state, std::move(args)); })};
  }

 private:
  struct State {
    std::string label;
    CallLogPtr log;
    Answer answer;
  };
  static asio::awaitable<Value> create(std::shared_ptr<State> state, tavrin_core::CallArgs args) {
    state->log->add(state->label + ".create_with_client(" + Value::list(args.args).str() + ", " +
                    Value(args.kwargs).str() + ")");
    co_return state->answer(args);
  }
  std::shared_ptr<State> state_;
};

}  // namespace tavrin_test
