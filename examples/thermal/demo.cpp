#include "examples/thermal/demo.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "common/nd_array.hpp"
#include "host/policy_host.hpp"
#include "processor/skillkit.hpp"

namespace thermal {
namespace {

using tavrin_inference::BaseAgentProcessor;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::Map;
using tavrin_inference::PolicyHost;
using tavrin_inference::RuntimeError;
using tavrin_inference::Value;

constexpr double kConstantHeater = 0.5;

double first_value(const Value& sensors, const char* name) {
  const Value& v = sensors[name];
  return v.is_array() ? v.as_array().at_double(0) : v.as_double();
}

void add(RunTotals& totals, const StepOutcome& outcome) {
  totals.reward += outcome.reward;
  totals.discomfort_kh += outcome.discomfort_kh;
  totals.energy_kwh += outcome.energy_kwh;
  totals.stale_air += outcome.stale_air;
  if (outcome.mask_violated) ++totals.mask_violations;
}

// One CSV row per step; formatted after the step's timing has been taken.
class TraceWriter {
 public:
  explicit TraceWriter(const std::string& path) : out_(path) {
    if (!out_) throw RuntimeError("cannot write the trace file " + path);
    out_ << kTraceHeader << '\n' << std::fixed;
  }
  void row(const char* run, int episode, std::uint64_t seed, const PlantState& before, const std::string& agent,
           const ZoneCommand& command, const StepOutcome& outcome) {
    out_ << run << ',' << episode << ',' << seed << ',' << before.step << ',' << std::setprecision(2) << before.hour
         << ',' << std::setprecision(3) << before.temperature << ',' << before.setpoint << ',' << before.outside << ','
         << std::setprecision(1) << before.co2 << ',' << (before.occupied ? 1 : 0) << ',' << agent << ','
         << std::setprecision(4) << std::clamp(command.heater, 0.0, 1.0) << ',' << command.ventilation << ','
         << std::setprecision(5) << outcome.reward << '\n';
  }
  void close(const std::string& path) {
    out_.flush();
    if (!out_) throw RuntimeError("cannot write the trace file " + path);
  }

 private:
  std::ofstream out_;
};

// The baseline's command for the plant's current state.
class BaselinePolicy {
 public:
  BaselinePolicy(Baseline kind, std::uint64_t seed) : kind_(kind), rng_(seed * 0x9E3779B97F4A7C15ull + 17) {}

  ZoneCommand command(const ThermalPlant& plant) {
    ZoneCommand c;
    switch (kind_) {
      case Baseline::constant: c.heater = kConstantHeater; break;
      case Baseline::random: {
        if (unit() < 0.5) {
          c.heater = unit();
        } else {
          const auto mask = plant.ventilation_mask();
          do c.ventilation = static_cast<int>(rng_() % 3);
          while (mask[static_cast<std::size_t>(c.ventilation)] == 0);
        }
        break;
      }
      case Baseline::thermostat: {
        const Value sensors = plant.sensors();
        c.heater = first_value(sensors, "temperature") < first_value(sensors, "setpoint") - 0.5 ? 1.0 : 0.0;
        break;
      }
    }
    return c;
  }

 private:
  double unit() { return static_cast<double>(rng_() >> 11) * (1.0 / 9007199254740992.0); }

  Baseline kind_;
  std::mt19937_64 rng_;
};

std::string child_name(const DemoReport& report, std::int64_t choice) {
  if (choice >= 0 && choice < static_cast<std::int64_t>(report.children.size()))
    return report.children[static_cast<std::size_t>(choice)];
  return report.root_agent;
}

asio::awaitable<void> run_policy_episode(BaseAgentProcessor& root, ThermalPlant& plant, DemoReport& report,
                                         EpisodeSummary& episode, int index, std::vector<double>& latencies_us,
                                         TraceWriter* trace) {
  co_await root.reset();
  Value previous_choice;
  const bool selector_root = !report.children.empty();
  while (!plant.done()) {
    const Value sensors = plant.sensors();
    const Value mask = plant.action_mask();
    const auto start = std::chrono::steady_clock::now();
    Value result = co_await root._execute(sensors, mask, false, false, previous_choice, true);
    const auto stop = std::chrono::steady_clock::now();
    latencies_us.push_back(std::chrono::duration<double, std::micro>(stop - start).count());

    Map& teacher_map = result.as_map();
    std::int64_t choice = -1;
    if (selector_root) {
      if (const Value* chosen = teacher_map.find("top_orchestrator_action")) {
        choice = chosen->as_int();
        if (choice >= 0 && choice < static_cast<std::int64_t>(episode.choices.size()))
          ++episode.choices[static_cast<std::size_t>(choice)];
        previous_choice = Value(choice);
      }
    }
    const ZoneCommand command = ThermalPlant::command_from_action(teacher_map.at("action"));
    const PlantState before = plant.state();
    const StepOutcome outcome = plant.step(command);
    add(episode.policy, outcome);
    if (trace) trace->row("policy", index, episode.seed, before, child_name(report, choice), command, outcome);
  }
}

void run_baseline_episode(Baseline kind, ThermalPlant& plant, EpisodeSummary& episode, int index, TraceWriter* trace) {
  BaselinePolicy policy(kind, episode.seed);
  const std::string agent = "baseline";
  while (!plant.done()) {
    const ZoneCommand command = policy.command(plant);
    const PlantState before = plant.state();
    const StepOutcome outcome = plant.step(command);
    add(episode.baseline, outcome);
    if (trace) trace->row("baseline", index, episode.seed, before, agent, command, outcome);
  }
}

double mean_of(const std::vector<EpisodeSummary>& episodes, double RunTotals::*field, bool baseline) {
  if (episodes.empty()) return 0.0;
  double sum = 0.0;
  for (const auto& e : episodes) sum += (baseline ? e.baseline : e.policy).*field;
  return sum / static_cast<double>(episodes.size());
}

struct BaselineEntry {
  Baseline baseline;
  const char* name;
  const char* description;
};
constexpr BaselineEntry kBaselines[] = {
    {Baseline::constant, "constant", "heater at 50 %, flap closed"},
    {Baseline::random, "random", "random heater power or allowed ventilation level"},
    {Baseline::thermostat, "thermostat", "bang-bang thermostat, flap closed"},
};

const BaselineEntry* baseline_entry(Baseline baseline) {
  for (const auto& entry : kBaselines) {
    if (entry.baseline == baseline) return &entry;
  }
  return nullptr;
}

}  // namespace

Baseline parse_baseline(const std::string& text) {
  for (const auto& entry : kBaselines) {
    if (text == entry.name) return entry.baseline;
  }
  throw InvalidArgumentError("unknown baseline '" + text + "' (expected constant, random or thermostat)");
}

std::string baseline_name(Baseline baseline) {
  const BaselineEntry* entry = baseline_entry(baseline);
  return entry != nullptr ? entry->name : "?";
}

std::string baseline_description(Baseline baseline) {
  const BaselineEntry* entry = baseline_entry(baseline);
  return entry != nullptr ? entry->description : "?";
}

double DemoReport::mean_return() const { return mean_of(episodes, &RunTotals::reward, false); }
double DemoReport::mean_baseline_return() const { return mean_of(episodes, &RunTotals::reward, true); }

double percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0.0;
  const auto n = values.size();
  auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(n)));
  rank = std::clamp<std::size_t>(rank, 1, n);
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank - 1), values.end());
  return values[rank - 1];
}

DemoReport run_demo(const DemoOptions& options) {
  if (options.episodes < 1) {
    throw InvalidArgumentError("the demo needs at least one episode, got " + std::to_string(options.episodes));
  }
  ThermalPlant plant(options.plant);
  std::unique_ptr<TraceWriter> trace;
  if (!options.trace_path.empty()) trace = std::make_unique<TraceWriter>(options.trace_path);

  DemoReport report;
  report.baseline = options.baseline;
  report.steps_per_episode = options.plant.steps_per_episode;
  std::vector<double> latencies;
  latencies.reserve(static_cast<std::size_t>(options.episodes) *
                    static_cast<std::size_t>(options.plant.steps_per_episode));

  PolicyHost host;
  tavrin_inference::run_sync(
      [&]() -> asio::awaitable<void> {
        co_await host.load_orchestration(options.orchestration);
        co_await host.package();
        report.orchestration_id = host.orchestration->id();
        const auto top = host.orchestration->get_top_agent();
        report.root_agent = top->get_name();
        report.children = top->get_children();
        report.choice_totals.assign(report.children.size(), 0);
        const int total_runs = 2 * options.episodes;
        for (int i = 0; i < options.episodes; ++i) {
          EpisodeSummary episode;
          episode.seed = options.seed + static_cast<std::uint64_t>(i);
          episode.choices.assign(report.children.size(), 0);
          plant.reset(episode.seed);
          co_await run_policy_episode(*host.agent_processor, plant, report, episode, i, latencies, trace.get());
          if (options.progress) options.progress(2 * i + 1, total_runs);
          plant.reset(episode.seed);
          run_baseline_episode(options.baseline, plant, episode, i, trace.get());
          if (options.progress) options.progress(2 * i + 2, total_runs);
          for (std::size_t c = 0; c < episode.choices.size(); ++c) report.choice_totals[c] += episode.choices[c];
          report.episodes.push_back(std::move(episode));
        }
        co_await host.close();
      }(),
      "demo");
  if (trace) trace->close(options.trace_path);

  report.latency.steps = static_cast<std::int64_t>(latencies.size());
  if (!latencies.empty()) {
    double sum = 0.0;
    for (double v : latencies) sum += v;
    report.latency.mean_us = sum / static_cast<double>(latencies.size());
    report.latency.max_us = *std::max_element(latencies.begin(), latencies.end());
    report.latency.first_us = latencies.front();  // before the percentiles reorder them
    report.latency.p50_us = percentile(latencies, 50.0);
    report.latency.p99_us = percentile(latencies, 99.0);
  }
  return report;
}

void print_report(const DemoReport& report, std::ostream& out) {
  const int steps = report.steps_per_episode;
  out << report.orchestration_id << ": " << report.episodes.size() << " episode(s) of " << steps
      << " steps against the thermal plant, baseline: " << baseline_name(report.baseline) << " ("
      << baseline_description(report.baseline) << ")\n\n";

  std::ostringstream line;
  line << std::fixed;
  out << "episode  seed    return  baseline  discomfort_Kh  energy_kWh  stale_air";
  for (const auto& child : report.children) out << "  " << child;
  out << '\n';
  for (std::size_t i = 0; i < report.episodes.size(); ++i) {
    const auto& e = report.episodes[i];
    line.str("");
    line << std::setw(7) << i + 1 << std::setw(6) << e.seed << std::setprecision(2) << std::setw(10) << e.policy.reward
         << std::setw(10) << e.baseline.reward << std::setw(15) << e.policy.discomfort_kh << std::setw(12)
         << e.policy.energy_kwh << std::setw(11) << e.policy.stale_air;
    for (std::size_t c = 0; c < report.children.size(); ++c)
      line << std::setw(static_cast<int>(report.children[c].size()) + 2) << e.choices[c];
    out << line.str() << '\n';
  }

  std::int64_t total_choices = 0;
  for (auto n : report.choice_totals) total_choices += n;
  if (!report.children.empty()) {
    out << "\nselector choices (" << report.root_agent << "):";
    for (std::size_t c = 0; c < report.children.size(); ++c) {
      const double share =
          total_choices > 0 ? 100.0 * static_cast<double>(report.choice_totals[c]) / total_choices : 0.0;
      line.str("");
      line << std::setprecision(1) << share;
      out << (c == 0 ? " " : ", ") << report.children[c] << ' ' << report.choice_totals[c] << " (" << line.str()
          << " %)";
    }
    out << '\n';
  }

  int violations = 0;
  for (const auto& e : report.episodes) violations += e.policy.mask_violations;
  const double policy = report.mean_return();
  const double baseline = report.mean_baseline_return();
  const double gain = report.improvement();
  line.str("");
  line << std::setprecision(2) << "mean return: shipped policy " << policy << ", baseline " << baseline;
  out << '\n' << line.str() << '\n';
  line.str("");
  if (gain > 0) {
    line << "the shipped policy beats the baseline by " << std::setprecision(2) << gain;
    if (baseline != 0.0)
      line << " per episode (" << std::setprecision(1) << 100.0 * gain / std::abs(baseline) << " % less cost)";
  } else {
    line << "the shipped policy does NOT beat the baseline (" << std::setprecision(2) << gain << " per episode)";
  }
  out << line.str() << '\n';
  out << "forbidden ventilation commands: " << violations << '\n';
  line.str("");
  line << std::setprecision(1) << "step latency (" << report.latency.steps << " steps): p50 " << report.latency.p50_us
       << " us, p99 " << report.latency.p99_us << " us, mean " << report.latency.mean_us << " us, max "
       << report.latency.max_us << " us; first step " << report.latency.first_us << " us ("
       << (report.latency.p50_us > 0 ? report.latency.first_us / report.latency.p50_us : 0.0) << " x the p50)";
  out << line.str() << '\n';
}

}  // namespace thermal
