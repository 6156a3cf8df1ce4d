// Many PolicyHosts in one process, as an evaluation of many episodes at once runs them: one host per
// episode, hosts stepped in threads of their own, all on the runtime's defaults (models of one file
// share one loaded session; every session runs on the process-wide ONNX Runtime pool, which starts
// no thread of its own).
//
// BM_ResidentMemory: resident memory and thread count of the process after packaging and stepping
// 1 host, then 16 hosts, of the 256x256 three-level hierarchy. host_1_mb and hosts_16_mb are what
// the hosts added to the process as it was before the first one (its libraries and the ONNX Runtime
// environment already in); ratio = hosts_16_mb / host_1_mb. Goals: ratio at most 1.5, threads_16
// equal to threads_1. Registered first: memory the later benchmarks used stays resident.
//
// BM_Scaling/K: K hosts stepped in K threads at once, against one host stepped alone; batches of
// both sides alternate (rotating which goes first), so machine noise hits both alike. Counters:
// steps per second of the lone host (steps_per_s_alone) and of each of the K threads
// (steps_per_s_per_thread), and scaling = K * per-thread rate / lone rate. Goal: at least 0.9 * K
// on K idle cores. K is 1, 2 and, where the machine has the cores, 4 and 8.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/batch_timing.hpp"
#include "bench/hierarchy_support.hpp"
#include "runner/session_options.hpp"
#include "tools/workers.hpp"

namespace {

using hierarchy_bench::fixture;
using hierarchy_bench::SteppedHost;
using tavrin_inference::Value;

double resident_mb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

int thread_count() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

const Value& observation() {
  static const Value obs = hierarchy_bench::path_to_mid_leaf1().value();
  return obs;
}

void BM_ResidentMemory(benchmark::State& state, const char* orchestration) {
  constexpr std::size_t kHosts = 16;
  constexpr std::int64_t kSteps = 100;  // so that every arena and buffer a step needs is there
  for ([[maybe_unused]] auto _ : state) {
    tavrin_inference::onnx_runtime_env();  // the process's, not a host's
    const double before = resident_mb();
    std::vector<std::unique_ptr<SteppedHost>> hosts;
    hosts.push_back(std::make_unique<SteppedHost>(fixture(std::string("hierarchy/") + orchestration)));
    hosts.back()->step(observation(), kSteps);
    const double one = resident_mb();
    const int threads_one = thread_count();
    while (hosts.size() < kHosts) {
      hosts.push_back(std::make_unique<SteppedHost>(fixture(std::string("hierarchy/") + orchestration)));
      hosts.back()->step(observation(), kSteps);
    }
    const double sixteen = resident_mb();
    state.counters["process_before_mb"] = before;
    state.counters["process_1_mb"] = one;
    state.counters["process_16_mb"] = sixteen;
    state.counters["host_1_mb"] = one - before;
    state.counters["hosts_16_mb"] = sixteen - before;
    state.counters["ratio"] = (sixteen - before) / (one - before);
    state.counters["threads_1"] = threads_one;
    state.counters["threads_16"] = thread_count();
  }
}

// K hosts, each stepped by a thread of its own, all at once on request.
class HostThreads {
 public:
  HostThreads(const std::string& orchestration, std::size_t k) : workers_(k) {
    for (std::size_t i = 0; i < k; ++i) hosts_.push_back(std::make_unique<SteppedHost>(orchestration));
  }

  // Seconds until every host has taken `steps` steps.
  double run(std::int64_t steps) {
    return workers_.run([this, steps](std::size_t i) { hosts_[i]->step(observation(), steps); }) / 1e6;
  }

 private:
  std::vector<std::unique_ptr<SteppedHost>> hosts_;
  tavrin_tool::Workers workers_;  // after the hosts: its threads end before the hosts go
};

HostThreads& threads_for(const std::string& orchestration, std::size_t k) {
  static std::map<std::pair<std::string, std::size_t>, std::unique_ptr<HostThreads>> groups;
  auto& slot = groups[{orchestration, k}];
  if (!slot) slot = std::make_unique<HostThreads>(fixture("hierarchy/" + orchestration), k);
  return *slot;
}

void BM_Scaling(benchmark::State& state, const char* orchestration) {
  const auto k = static_cast<std::size_t>(state.range(0));
  HostThreads& alone = threads_for(orchestration, 1);
  HostThreads& together = threads_for(orchestration, k);
  constexpr std::int64_t kBatch = 200;
  const auto batches =
      batch_timing::rotating_batches<2>(state, {[&] { alone.run(kBatch); }, [&] { together.run(kBatch); }});
  const double lone_rate = kBatch / batch_timing::median(batches[0]);
  const double thread_rate = kBatch / batch_timing::median(batches[1]);
  state.counters["steps_per_s_alone"] = lone_rate;
  state.counters["steps_per_s_per_thread"] = thread_rate;
  state.counters["scaling"] = static_cast<double>(k) * thread_rate / lone_rate;
}

void thread_counts(benchmark::internal::Benchmark* b) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned k : {1u, 2u, 4u, 8u}) {
    if (k <= 2 || k <= cores) b->Arg(k);
  }
}

BENCHMARK_CAPTURE(BM_ResidentMemory, mlp_256x256, "three_level_256x256.json")->Iterations(1);
BENCHMARK_CAPTURE(BM_Scaling, small, "three_level.json")->Apply(thread_counts)->UseManualTime()->MinTime(2.0);
BENCHMARK_CAPTURE(BM_Scaling, mlp_256x256, "three_level_256x256.json")
    ->Apply(thread_counts)
    ->UseManualTime()
    ->MinTime(2.0);

}  // namespace
