#pragma once
// Shared pieces of the hierarchy benchmarks: the teachers that the orchestrations under
// tests/fixtures/hierarchy/ name (taken from the test support), the raw sensors of one step, and a
// PolicyHost stepped the way an application steps it (a coroutine on the application's io_context
// awaiting `execute`).
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "common/async.hpp"
#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "core_api/implementations.hpp"
#include "core_api/logger.hpp"
#include "host/policy_host.hpp"
#include "tests/support/hierarchy_teachers.hpp"
#include "tests/support/test_paths.hpp"

namespace hierarchy_bench {

using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::PolicyHost;
using tavrin_inference::Value;

inline std::string fixture(const std::string& relative) { return tavrin_test::test_data_dir() + "/" + relative; }

// Registers the fixtures' teachers once per program; each SteppedHost asks again.
inline void register_hierarchy_teachers() {
  if (!tavrin_core::ImplementationRegistry::instance().has_agent_impl("HierRootTeacher")) {
    tavrin_test::register_hierarchy_teachers();
  }
}

// The four sensors of the three-level fixtures, as a simulator hands them over (float64 arrays).
struct Sensors {
  std::vector<double> root_logits, root_allowed, mid_logits, mid_allowed;

  Value value() const {
    Map map;
    map.set("root_logits", Value(NdArray::from_vector<double>(root_logits)));
    map.set("root_allowed", Value(NdArray::from_vector<double>(root_allowed)));
    map.set("mid_logits", Value(NdArray::from_vector<double>(mid_logits)));
    map.set("mid_allowed", Value(NdArray::from_vector<double>(mid_allowed)));
    return Value(std::move(map));
  }
};

// The path root -> h3*_mid -> leaf 1 in both fixtures: the echoing small selectors follow their
// logits, the 256x256 ones are forced there by their masks.
inline Sensors path_to_mid_leaf1() { return {{5, 1, 0}, {1, 0, 0}, {0, 5, 1}, {0, 1, 0}}; }

// A packaged host and the io_context the application drives it on.
class SteppedHost {
 public:
  explicit SteppedHost(const std::string& orchestration_path) {
    tavrin_core::set_log_level(tavrin_core::LogLevel::warning);
    register_hierarchy_teachers();
    run(load_and_package(orchestration_path));
  }
  ~SteppedHost() {
    try {
      run(host_.close());
    } catch (...) {
    }
  }
  SteppedHost(const SteppedHost&) = delete;
  SteppedHost& operator=(const SteppedHost&) = delete;

  // `steps` awaited executes on one observation (with the simulator's mask, when given), inside one
  // coroutine on the io_context; returns the last action.
  Value step(const Value& obs, std::int64_t steps, const Value& sim_action_mask = Value()) {
    Value last;
    run(steps_on(obs, sim_action_mask, steps, last));
    return last;
  }

  PolicyHost& host() { return host_; }

 private:
  asio::awaitable<void> load_and_package(std::string path) {
    co_await host_.load_orchestration(path);
    co_await host_.package();
  }
  asio::awaitable<void> steps_on(const Value& obs, const Value& sim_action_mask, std::int64_t steps, Value& last) {
    for (std::int64_t i = 0; i < steps; ++i) last = co_await host_.execute(obs, sim_action_mask);
  }
  void run(asio::awaitable<void> operation) {
    std::exception_ptr error;
    asio::co_spawn(ctx_, std::move(operation), [&error](std::exception_ptr e) { error = e; });
    ctx_.restart();
    ctx_.run();
    if (error) std::rethrow_exception(error);
  }

  asio::io_context ctx_;
  PolicyHost host_;
};

}  // namespace hierarchy_bench
