#pragma once
// The episode driver of the thermal-zone example: runs the shipped orchestration in closed loop
// against the ThermalPlant through PolicyHost, and a baseline policy on the same plant and seeds.
//
// Per step the simulator's sensors and its ventilation mask go to the root processor the host
// packaged; the selector's choice comes back with the action (the processor's teacher map), is
// counted per child and handed back as the previous action on the next step, so the
// orchestration's follow rules apply. Episode i uses seed `seed + i` for both runs.
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "examples/thermal/plant.hpp"

namespace thermal {

enum class Baseline { constant, random, thermostat };

// "constant", "random" or "thermostat"; InvalidArgumentError naming the value otherwise.
Baseline parse_baseline(const std::string& text);
std::string baseline_name(Baseline baseline);
// What the baseline does, for reports ("heater at 50 %, flap closed", ...).
std::string baseline_description(Baseline baseline);

struct DemoOptions {
  std::string orchestration;  // path of the orchestration file
  int episodes = 5;
  std::uint64_t seed = 1;
  Baseline baseline = Baseline::constant;
  std::string trace_path;  // trajectory CSV; none when empty
  PlantConfig plant;
  // Called after every finished run of an episode (policy and baseline count separately) with
  // the number of runs done and their total.
  std::function<void(int done, int total)> progress;
};

struct RunTotals {
  double reward = 0.0;
  double discomfort_kh = 0.0;
  double energy_kwh = 0.0;
  double stale_air = 0.0;
  int mask_violations = 0;
};

struct EpisodeSummary {
  std::uint64_t seed = 0;
  RunTotals policy;
  RunTotals baseline;
  std::vector<std::int64_t> choices;  // per child of the root selector
};

struct LatencySummary {
  std::int64_t steps = 0;
  double p50_us = 0.0;
  double p99_us = 0.0;
  double mean_us = 0.0;
  double max_us = 0.0;
  double first_us = 0.0;  // the first step of the process, after packaging
};

struct DemoReport {
  std::string orchestration_id;
  std::string root_agent;
  std::vector<std::string> children;  // of the root selector; empty when the root is a skill
  Baseline baseline = Baseline::constant;
  int steps_per_episode = 0;
  std::vector<EpisodeSummary> episodes;
  std::vector<std::int64_t> choice_totals;
  LatencySummary latency;

  double mean_return() const;
  double mean_baseline_return() const;
  // Mean return of the shipped policy minus that of the baseline (positive: the policy is better).
  double improvement() const { return mean_return() - mean_baseline_return(); }
};

// Columns of the trajectory CSV, one row per step of every run ("policy" or "baseline").
inline constexpr const char* kTraceHeader =
    "run,episode,seed,step,hour,temperature,setpoint,outside,co2,occupied,agent,heater,ventilation,reward";

// Runs the demo. Errors of loading, packaging or stepping propagate; InvalidArgumentError for
// fewer than one episode, RuntimeError when the trace file cannot be written.
DemoReport run_demo(const DemoOptions& options);

// The report as the demo command prints it.
void print_report(const DemoReport& report, std::ostream& out);

// Nearest-rank percentile (0 < p <= 100) of `values`, which it reorders; 0 for none.
double percentile(std::vector<double>& values, double p);

}  // namespace thermal
