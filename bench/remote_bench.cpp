// Remote workers on loopback: the round trip of one hook call to a tavrin-worker process next to the
// same call in this process, and one PolicyHost step of a two-level hierarchy whose skill has a
// remote teacher next to the same step with the teacher in this process.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "common/async.hpp"
#include "core_api/implementations.hpp"
#include "core_api/remote.hpp"
#include "host/policy_host.hpp"
#include "link/async_link.hpp"
#include "tests/fixtures/remote/worker_process.hpp"

namespace {

using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::PolicyHost;
using tavrin_inference::run_sync;
using tavrin_inference::Value;

const std::string kWorker = std::string(TAVRIN_LIB_DIR) + "/../worker/tavrin-worker";
const std::string kPlugin = std::string(TAVRIN_LIB_DIR) + "/libtavrin_test_plugin.so";
const std::string kFixtures = std::string(TAVRIN_BENCH_DATA_DIR) + "/remote/";

tavrin_test::WorkerProcess& worker() {
  static tavrin_test::WorkerProcess process(
      {kWorker, "--port", "0", "--plugin", kPlugin, "--exit-with-parent", "--log-level", "off"});
  return process;
}

void load_plugin() {
  static const bool loaded = (tavrin_core::ImplementationRegistry::instance().load_plugin(kPlugin), true);
  (void)loaded;
}

Map remote_config() {
  return Map{{"target", Value(Map{{"local", Value(Map{{"address", Value(worker().address())}})}})},
             {"remote", Value(Map{{"transport", "tcp"}})}};
}

Value action_of(const benchmark::State& state) {
  if (state.range(0) == 0) return Value(3);
  return Value(NdArray(tavrin_inference::DType::float32, tavrin_inference::Shape{1, state.range(0)}));
}

asio::awaitable<void> hook_loop(benchmark::State& state, std::shared_ptr<tavrin_core::AgentTeacher> teacher) {
  const Value sensors(Map{{"root_logits", Value(NdArray::from_vector<float>({5, 0, 0}))}});
  const Value action = action_of(state);
  for ([[maybe_unused]] auto _ : state) {
    Value out = co_await teacher->transform_action(sensors, action);
    benchmark::DoNotOptimize(out);
  }
}

void run_hooks(benchmark::State& state, std::shared_ptr<tavrin_core::AgentTeacher> teacher) {
  run_sync(hook_loop(state, std::move(teacher)));
}

// One hook call in this process (the baseline).
void BM_LocalHookCall(benchmark::State& state) {
  load_plugin();
  auto teacher = std::dynamic_pointer_cast<tavrin_core::AgentTeacher>(
      tavrin_core::ImplementationRegistry::instance().make_agent_impl("PluginTeacher"));
  run_hooks(state, teacher);
}
BENCHMARK(BM_LocalHookCall)->Arg(0)->Arg(8)->Arg(1024);

// One hook call to the worker and back: encoding, framing, loopback TCP, the worker's dispatch,
// decoding, and the hand-over from the connection's loop to the caller's. Arg: 0 = an integer
// action, n = a float32 array of n elements.
void BM_RemoteHookRoundTrip(benchmark::State& state) {
  tavrin_inference::AsyncLink link{tavrin_core::TrainerConfig(remote_config())};
  Value reply = run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
      "create_with_client", tavrin_core::CallArgs{{}, Map{{"env_init", "PluginTeacher"}, {"version", "latest"}}})));
  run_hooks(state, reply[1].as<tavrin_core::AgentTeacher>());
  run_sync(tavrin_core::await_result(link.stop_all()));
  link.stop_watchdogs();
}
BENCHMARK(BM_RemoteHookRoundTrip)->Arg(0)->Arg(8)->Arg(1024)->UseRealTime();

asio::awaitable<void> step_loop(benchmark::State& state, PolicyHost& host) {
  const Value obs(Map{{"root_logits", Value(NdArray::from_vector<float>({5, 0, 0}))}});  // through leaf 0
  for ([[maybe_unused]] auto _ : state) {
    Value action = co_await host.execute(obs);
    benchmark::DoNotOptimize(action);
  }
}

void run_steps(benchmark::State& state, PolicyHost& host) { run_sync(step_loop(state, host)); }

// A PolicyHost step (selector and skill models, the skill's teacher in this process).
void BM_StepLocalTeacher(benchmark::State& state) {
  load_plugin();
  PolicyHost host;
  run_sync(host.load_orchestration(kFixtures + "one_local_teacher.json"));
  run_sync(host.package());
  run_steps(state, host);
}
BENCHMARK(BM_StepLocalTeacher);

// The same step with the skill's teacher in the worker (its hooks cross once each per step).
void BM_StepRemoteTeacher(benchmark::State& state) {
  PolicyHost host{Value(remote_config())};
  run_sync(host.load_orchestration(kFixtures + "one_remote_teacher.json"));
  run_sync(host.package());
  run_steps(state, host);
  run_sync(host.close());
}
BENCHMARK(BM_StepRemoteTeacher)->UseRealTime();

}  // namespace
