// tavrin bench ORCHESTRATION: per-step latency of PolicyHost::execute next to the bare ONNX Runtime
// runs of the same models, on the same path through the tree, with the same inputs.
//
// Before timing, every observation is traced once through the packaged tree the way the
// processors walk it (each selector's sensors, choice and teacher transform, down to the skill),
// recording which models run and the observation and mask each is fed (tools/bench_paths). The raw
// side then times Ort::Session::Run on sessions of its own (opened like the runner's), with those
// inputs as ready-made tensors, so it measures the models alone; the host side times whole execute
// calls. Both sides run the same steps in the same order after the same warm-up, in alternating
// batches (which side goes first rotates), so that machine noise hits both alike.
//
// With --hosts K, K hosts step at once, each in a thread of its own, and the raw side runs in K
// threads as well; a further host stepped alone, in batches alternating with the others, gives
// the scaling: K * (steps per second of each of the K) / (steps per second of the one alone).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "core_api/spaces.hpp"
#include "host/policy_host.hpp"
#include "processor/skillkit.hpp"
#include "tools/bench_paths.hpp"
#include "tools/command_registry.hpp"
#include "tools/observation_lines.hpp"
#include "tools/space_sampling.hpp"
#include "tools/tool_support.hpp"
#include "tools/workers.hpp"

namespace {

using tavrin_inference::BaseAgentProcessor;
using tavrin_inference::PolicyHost;
using tavrin_inference::RuntimeError;
using tavrin_inference::Value;
using tavrin_tool::ObservationLine;
using tavrin_tool::Workers;
using Clock = std::chrono::steady_clock;

struct BenchOptions {
  std::string orchestration;
  std::string input;
  std::string agent;
  std::string log_level;
  std::size_t steps = 1000;
  std::size_t warmup = 50;
  std::uint64_t seed = 1;
  std::size_t hosts = 1;
};

// Synthetic runs draw this many distinct observations and cycle through them.
constexpr std::size_t kMaxSynthetic = 256;
// Steps of one side between two turns of the other.
constexpr std::size_t kBatch = 20;

struct Stats {
  double p50 = 0, p99 = 0, mean = 0;
};

Stats stats_of(std::vector<double> us) {
  Stats s;
  if (us.empty()) return s;
  std::sort(us.begin(), us.end());
  const auto rank = [&](double q) {
    const auto i = static_cast<std::size_t>(std::ceil(q * static_cast<double>(us.size())));
    return us[std::min(us.size() - 1, i == 0 ? 0 : i - 1)];
  };
  s.p50 = rank(0.50);
  s.p99 = rank(0.99);
  double sum = 0;
  for (double v : us) sum += v;
  s.mean = sum / static_cast<double>(us.size());
  return s;
}

std::string ratio_text(double host, double raw) {
  if (raw <= 0) return "n/a";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", host / raw);
  return buffer;
}

double micros_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Steps first .. first + n - 1 (cycling through the observations), each timed into `us` when given.
asio::awaitable<void> host_steps(PolicyHost& host, const std::vector<ObservationLine>& observations, std::size_t first,
                                 std::size_t n, std::vector<double>* us) {
  for (std::size_t i = first; i < first + n; ++i) {
    const auto& o = observations[i % observations.size()];
    const auto start = Clock::now();
    (void)co_await host.execute(o.obs, o.mask, Value(false), o.previous_action);
    if (us) us->push_back(micros_since(start));
  }
}

asio::awaitable<void> load_and_package(PolicyHost& host, const BenchOptions& options) {
  co_await host.load_orchestration(options.orchestration);
  co_await host.package(nullptr, tavrin_tool::agent_ref(options.agent));
}

// Observations sampled from the root's sensor spaces; `source` describes them.
std::vector<ObservationLine> synthetic_observations(const BaseAgentProcessor& root, const BenchOptions& options,
                                                    std::string& source) {
  tavrin_core::SpacePtr space = root.sim_sensor_space;
  if (!space) throw RuntimeError("agent " + root.get_agent_name() + " has no simulator sensor space to sample");
  std::mt19937_64 rng(options.seed);
  const std::size_t count = std::min(options.steps, kMaxSynthetic);
  std::vector<ObservationLine> observations;
  for (std::size_t i = 0; i < count; ++i) {
    ObservationLine line;
    line.line_number = i + 1;
    line.obs = tavrin_tool::sample_space(*space, rng);
    observations.push_back(std::move(line));
  }
  source = "synthetic observations (seed " + std::to_string(options.seed) + ", " + std::to_string(count) +
           " distinct, sampled from " + space->str() + ")";
  return observations;
}

int bench_command(const BenchOptions& options) {
  tavrin_tool::apply_log_level(options.log_level);
  if (options.steps == 0) throw tavrin_inference::InvalidArgumentError("--steps must be at least 1");
  if (options.hosts == 0) throw tavrin_inference::InvalidArgumentError("--hosts must be at least 1");
  const std::size_t k = options.hosts;

  std::vector<ObservationLine> observations;
  std::string source;
  if (!options.input.empty()) {
    tavrin_tool::InputLines input(options.input);
    std::string line;
    std::size_t n = 0;
    while (std::getline(input.stream(), line))
      observations.push_back(tavrin_tool::parse_observation_line(line, ++n));  // a bad line ends the run
    if (observations.empty()) throw tavrin_inference::InvalidArgumentError(input.name() + ": no observation lines");
    source = "recorded observations from " + input.name() + " (" + std::to_string(observations.size()) + ")";
  }

  // hosts[0..k) step together; with several, hosts[k] steps alone for the scaling.
  std::vector<std::unique_ptr<PolicyHost>> hosts;
  hosts.push_back(std::make_unique<PolicyHost>());
  PolicyHost& first_host = *hosts.front();
  tavrin_tool::RawModels models;
  std::vector<tavrin_tool::RawPath> paths;
  double first_step_us = 0;
  std::string root_name;
  tavrin_inference::run_sync(
      [&]() -> asio::awaitable<void> {
        co_await load_and_package(first_host, options);
        BaseAgentProcessor& root = *first_host.agent_processor;
        root_name = root.get_agent_name();
        if (observations.empty()) observations = synthetic_observations(root, options, source);

        // Every observation once through the host, so that a bad one is reported before timing;
        // the very first is the process's first step.
        for (const auto& o : observations) {
          const auto start = Clock::now();
          try {
            (void)co_await first_host.execute(o.obs, o.mask, Value(false), o.previous_action);
          } catch (const std::exception&) {
            throw RuntimeError("observation " + std::to_string(o.line_number) +
                               " fails: " + tavrin_tool::describe_error(std::current_exception()));
          }
          if (&o == &observations.front()) first_step_us = micros_since(start);
        }
        paths.resize(observations.size());
        for (std::size_t i = 0; i < observations.size(); ++i)
          co_await tavrin_tool::trace(root, observations[i].obs, observations[i].mask, observations[i].previous_action,
                                      models, paths[i]);
      }(),
      "bench");
  while (hosts.size() < (k > 1 ? k + 1 : 1)) {
    hosts.push_back(std::make_unique<PolicyHost>());
    tavrin_inference::run_sync(load_and_package(*hosts.back(), options), "bench");
  }
  tavrin_tool::make_tensors(paths);

  Workers workers(k);
  for (auto& host : hosts) tavrin_inference::run_sync(host_steps(*host, observations, 0, options.warmup, nullptr));
  for (std::size_t i = 0; i < options.warmup; ++i) tavrin_tool::run_bare(paths[i % paths.size()]);

  // Per-step times of each thread, and per-step times of whole batches for the scaling.
  std::vector<std::vector<double>> host_us(k), raw_us(k);
  std::vector<double> alone_us, together_batch_us, alone_batch_us;
  alone_us.reserve(options.steps);
  for (auto& v : host_us) v.reserve(options.steps);
  for (auto& v : raw_us) v.reserve(options.steps);
  std::size_t timed_runs = 0;
  for (std::size_t i = 0; i < options.steps; ++i) timed_runs += paths[i % paths.size()].size();
  const std::size_t sides = k > 1 ? 3 : 2;
  std::size_t round = 0;
  for (std::size_t done = 0; done < options.steps; done += kBatch, ++round) {
    const std::size_t n = std::min(kBatch, options.steps - done);
    for (std::size_t turn = 0; turn < sides; ++turn) {
      switch ((round + turn) % sides) {
        case 0:
          together_batch_us.push_back(workers.run([&](std::size_t t) {
            tavrin_inference::run_sync(host_steps(*hosts[t], observations, done, n, &host_us[t]));
          }) / static_cast<double>(n));
          break;
        case 1:
          workers.run([&](std::size_t t) {
            for (std::size_t i = done; i < done + n; ++i) {
              const auto start = Clock::now();
              tavrin_tool::run_bare(paths[i % paths.size()]);
              raw_us[t].push_back(micros_since(start));
            }
          });
          break;
        default: {
          const auto start = Clock::now();
          tavrin_inference::run_sync(host_steps(*hosts[k], observations, done, n, &alone_us));
          alone_batch_us.push_back(micros_since(start) / static_cast<double>(n));
        }
      }
    }
  }
  for (auto& host : hosts) tavrin_inference::run_sync(host->close());

  std::vector<double> all_host, all_raw;
  for (const auto& v : host_us) all_host.insert(all_host.end(), v.begin(), v.end());
  for (const auto& v : raw_us) all_raw.insert(all_raw.end(), v.begin(), v.end());
  const Stats h = stats_of(all_host);
  const Stats r = stats_of(all_raw);
  std::printf("bench %s (agent %s): %zu steps after %zu warm-up, %s\n", options.orchestration.c_str(),
              root_name.c_str(), options.steps, options.warmup, source.c_str());
  std::printf("model runs per step: %.2f on average, %zu distinct models\n",
              static_cast<double>(timed_runs) / static_cast<double>(options.steps), models.size());
  if (k > 1) std::printf("hosts: %zu, each stepped in a thread of its own; the raw side runs in %zu threads\n", k, k);
  std::printf("%-28s %12s %12s %12s\n", "per step", "p50 (us)", "p99 (us)", "mean (us)");
  std::printf("%-28s %12.2f %12.2f %12.2f\n", "PolicyHost::execute", h.p50, h.p99, h.mean);
  std::printf("%-28s %12.2f %12.2f %12.2f\n", "ONNX Runtime Session::Run", r.p50, r.p99, r.mean);
  std::printf("%-28s %12s %12s %12s\n", "ratio (host / raw)", ratio_text(h.p50, r.p50).c_str(),
              ratio_text(h.p99, r.p99).c_str(), ratio_text(h.mean, r.mean).c_str());
  std::printf("first step of the process: %.2f us (%s x the p50)\n", first_step_us,
              ratio_text(first_step_us, h.p50).c_str());
  if (k > 1) {
    const double alone = 1e6 / median(alone_batch_us);
    const double each = 1e6 / median(together_batch_us);
    std::printf("steps per second: %.0f for one host alone, %.0f for each of %zu at once; scaling %.2f (goal %.1f)\n",
                alone, each, k, static_cast<double>(k) * each / alone, 0.9 * static_cast<double>(k));
  }
  return 0;
}

const tavrin_tool::CommandRegistration registration{
    "bench", "Per-step latency of PolicyHost::execute next to raw ONNX Runtime runs of the same models", 30,
    [](CLI::App& command) {
      auto options = std::make_shared<BenchOptions>();
      command.add_option("ORCHESTRATION", options->orchestration, "orchestration file")->required();
      command.add_option("-i,--input", options->input,
                         "file of observation lines, cycled through (default: synthetic observations)");
      command.add_option("-a,--agent", options->agent, "agent to package (default: the top agent)");
      command.add_option("-n,--steps", options->steps, "timed steps")->capture_default_str();
      command.add_option("--warmup", options->warmup, "untimed steps before timing")->capture_default_str();
      command.add_option("--seed", options->seed, "seed of the synthetic observations")->capture_default_str();
      command
          .add_option("--hosts", options->hosts,
                      "hosts stepped at once, each in a thread of its own (reports the scaling when above 1)")
          ->capture_default_str();
      tavrin_tool::add_log_level_option(command, options->log_level);
      return [options] { return bench_command(*options); };
    }};

}  // namespace
