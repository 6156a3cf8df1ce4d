// Remote workers on loopback: the round trip of one hook call to a tavrin-worker process next to the
// same call in this process, the same round trip over mutual TLS, and one PolicyHost step of a
// two-level hierarchy whose skill has a remote teacher next to the same step with the teacher in
// this process.
//
// BM_TlsCost alternates batches of plaintext and TLS calls of a small value inside one benchmark,
// so machine noise hits both alike; its counters give the median time per call of either side and
// ratio = TLS / plaintext. Goal: ratio at most 1.3. The two sides talk to two worker processes,
// whose threads the scheduler may place on the caller's core or not, which alone can change a
// round trip by half: for a ratio that measures TLS, run the program on one core
// (taskset -c 0 build/release/bench/remote_bench), which the workers it starts inherit.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/batch_timing.hpp"
#include "bench/remote_support.hpp"
#include "common/async.hpp"
#include "core_api/implementations.hpp"
#include "core_api/remote.hpp"
#include "host/policy_host.hpp"
#include "link/async_link.hpp"
#include "tests/fixtures/remote/tls_certificates.hpp"
#include "tests/fixtures/remote/worker_process.hpp"

namespace {

using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::PolicyHost;
using tavrin_inference::run_sync;
using tavrin_inference::Value;

using remote_bench::kFixtures;
using remote_bench::kPlugin;
using remote_bench::kWorker;
using remote_bench::remote_teacher;

tavrin_test::WorkerProcess& worker() {
  static tavrin_test::WorkerProcess process(
      {kWorker, "--port", "0", "--plugin", kPlugin, "--exit-with-parent", "--log-level", "off"});
  return process;
}

const tavrin_test::TlsCertificates& certificates() {
  static const tavrin_test::TlsCertificates certs;
  return certs;
}

// A worker serving mutual TLS: only hosts with a certificate of the test CA.
tavrin_test::WorkerProcess& tls_worker() {
  const auto& certs = certificates();
  static tavrin_test::WorkerProcess process({kWorker, "--port", "0", "--plugin", kPlugin, "--exit-with-parent",
                                             "--log-level", "off", "--tls-cert", certs.file("worker.pem"), "--tls-key",
                                             certs.file("worker.key"), "--tls-client-ca", certs.file("ca.pem")});
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

Map tls_config() {
  const auto& certs = certificates();
  const Value tls(Map{{"ca", Value(certs.file("ca.pem"))},
                      {"cert", Value(certs.file("host.pem"))},
                      {"key", Value(certs.file("host.key"))}});
  return Map{{"target", Value(Map{{"local", Value(Map{{"address", Value(tls_worker().address())}})}})},
             {"remote", Value(Map{{"transport", "tcp"}, {"tls", tls}})}};
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
void round_trips(benchmark::State& state, Map config) {
  tavrin_inference::AsyncLink link{tavrin_core::TrainerConfig(std::move(config))};
  run_hooks(state, remote_teacher(link));
  run_sync(tavrin_core::await_result(link.stop_all()));
  link.stop_watchdogs();
}
void BM_RemoteHookRoundTrip(benchmark::State& state) { round_trips(state, remote_config()); }
BENCHMARK(BM_RemoteHookRoundTrip)->Arg(0)->Arg(8)->Arg(1024)->UseRealTime();

// The same round trip over mutual TLS (TLS 1.3 between two OpenSSL ends).
void BM_RemoteHookRoundTripTls(benchmark::State& state) { round_trips(state, tls_config()); }
BENCHMARK(BM_RemoteHookRoundTripTls)->Arg(0)->Arg(8)->Arg(1024)->UseRealTime();

asio::awaitable<void> call_batch(tavrin_core::AgentTeacher& teacher, int calls) {
  const Value sensors;
  for (int i = 0; i < calls; ++i) {
    Value out = co_await teacher.transform_action(sensors, Value(3));
    benchmark::DoNotOptimize(out);
  }
}

// Plaintext and TLS calls of a small value in alternating batches; counters: median µs per call.
void BM_TlsCost(benchmark::State& state) {
  tavrin_inference::AsyncLink plain_link{tavrin_core::TrainerConfig(remote_config())};
  tavrin_inference::AsyncLink tls_link{tavrin_core::TrainerConfig(tls_config())};
  auto plain = remote_teacher(plain_link);
  auto tls = remote_teacher(tls_link);
  constexpr int kBatch = 32;
  const auto [plain_batches, tls_batches] = batch_timing::rotating_batches<2>(
      state, {[&] { run_sync(call_batch(*plain, kBatch)); }, [&] { run_sync(call_batch(*tls, kBatch)); }});
  const double plain_call = batch_timing::median(plain_batches) / kBatch;
  const double tls_call = batch_timing::median(tls_batches) / kBatch;
  state.counters["plain_us"] = plain_call * 1e6;
  state.counters["tls_us"] = tls_call * 1e6;
  state.counters["ratio"] = tls_call / plain_call;
  run_sync(tavrin_core::await_result(plain_link.stop_all()));
  run_sync(tavrin_core::await_result(tls_link.stop_all()));
  plain_link.stop_watchdogs();
  tls_link.stop_watchdogs();
}
BENCHMARK(BM_TlsCost)->UseManualTime()->MinTime(3.0);

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
  load_plugin();  // the orchestration's classes are checked against the registry, remote ones too
  PolicyHost host{Value(remote_config())};
  run_sync(host.load_orchestration(kFixtures + "one_remote_teacher.json"));
  run_sync(host.package());
  run_steps(state, host);
  run_sync(host.close());
}
BENCHMARK(BM_StepRemoteTeacher)->UseRealTime();

}  // namespace
