#pragma once
// What the remote benchmarks share: the worker program, the test plugin whose teacher they call and
// the orchestrations they step, and making that teacher in a worker.
#include <memory>
#include <string>

#include "common/async.hpp"
#include "core_api/implementations.hpp"
#include "link/async_link.hpp"
#include "tests/support/test_paths.hpp"

namespace remote_bench {

inline const std::string kWorker = tavrin_test::worker_path();
inline const std::string kPlugin = tavrin_test::test_plugin_path();
inline const std::string kFixtures = tavrin_test::test_data_dir() + "/remote/";

// The plugin's teacher, made in the worker `link` reaches.
inline std::shared_ptr<tavrin_core::AgentTeacher> remote_teacher(tavrin_inference::AsyncLink& link) {
  using tavrin_inference::Map;
  tavrin_inference::Value made = tavrin_inference::run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
      "create_with_client", tavrin_core::CallArgs{{}, Map{{"env_init", "PluginTeacher"}, {"version", "latest"}}})));
  return made[1].as<tavrin_core::AgentTeacher>();
}

}  // namespace remote_bench
